// The generation driver: the start population, the generations and the end.
#pragma once

#include <cstdint>

// The generation under way, the last one that improved the best goodness,
// and that goodness.
extern int32_t gen;
extern int32_t lastgen;
extern double bestGoodness;

void optimizeProc();
// The final report of the population as it stands, however the run ended.
void finalReport();
