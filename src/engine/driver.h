// The generation driver: the start population, the generations and the end.
#pragma once

void optimizeProc();
