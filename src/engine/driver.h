// The generation driver: the start population, the generations and the end.
#pragma once

#include <string>

#include "engine/outcome.h"
#include "settings/symtab.h"

// What the run sequence tells the search beyond the settings.
struct SearchSetup {
    // Why no ranges file was read, when none was: every range is then zero,
    // and the search soon runs out of distinct sets; this says what to fix.
    std::string noRangesReason;
    // Whether a file can stand at the checkpoint's path (settled by the
    // checks of the run's files): without, no checkpoint is written.
    bool checkpoints = true;
    // The range table as the ranges file gives it (or the defaults without
    // one), before range adaptation or a snapshot moves its ends.
    RangeTable startRanges{};
};

// Runs the search from its start population (or the snapshot it resumes
// from) to its end, and returns how it ended; the caller makes the final
// report and stops the workers.
RunOutcome optimizeProc(const SearchSetup& setup);
