// The generation driver: the start population, the generations and the end.
#pragma once

#include <string>

#include "engine/outcome.h"

// What the run sequence tells the search beyond the settings.
struct SearchSetup {
    // Why no ranges file was read, when none was: every range is then zero,
    // and the search soon runs out of distinct sets; this says what to fix.
    std::string noRangesReason;
};

// Runs the search from its start population (or the snapshot it resumes
// from) to its end, and returns how it ended; the caller makes the final
// report and stops the workers.
RunOutcome optimizeProc(const SearchSetup& setup);
