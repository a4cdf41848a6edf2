// The generation driver: the start population, the generations and the end.
#pragma once

#include "engine/outcome.h"

// Runs the search from its start population (or the snapshot it resumes
// from) to its end, and returns how it ended; the caller makes the final
// report and stops the workers.
RunOutcome optimizeProc();
