// The search state a snapshot holds, apart from the live run.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "coils/records.h"
#include "search/random.h"
#include "search/searchstate.h"
#include "settings/symtab.h"

// The search state a snapshot holds, by value, apart from the live run: a
// snapshot is read into a fresh one, checked whole, and only then put in
// place of the run's own state.
struct SavedSearch {
    SearchCounters counters;  // gen: the generations complete
    RandomState random{};
    std::array<RangeEntry, kCoefficientCount> ranges{};
    std::vector<ResultRecord> population;  // in rank order; `next` unused
    std::array<uint8_t, kMaxWorkers> phases{};
    struct Job {
        int32_t slot = 0;
        ResultRecord candidate{};
    };
    std::vector<Job> jobs;  // in hand-over order
    // The duplicate library's sets (change mask and coefficients) in the
    // order they were stored; a deque, so that restoring it gives its memory
    // back as the live library takes the sets over.
    std::deque<ResultRecord> library;
    bool ended = false;  // the run ended at this snapshot
};
