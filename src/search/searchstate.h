// The search's state beside the population and the library: its counters
// and its worker slots, shared by the generation driver, the dispatch loop,
// the transports, the progress line and logs, and the snapshots. They live
// here, below all of those, so that each reads them without reaching into
// another.
#pragma once

#include <cstdint>

#include "search/workerslots.h"

// The search's counters, in one owner that snapshots write and read whole;
// the names the rest of the program uses refer into it.
struct SearchCounters {
    // The generation under way, the last one that improved the best
    // goodness, and that goodness.
    int32_t gen = 0;
    int32_t lastgen = 0;
    double bestGoodness = 0;
    // Results harvested so far, and their count at the last improvement.
    uint64_t tested = 0;
    uint64_t lastTested = 0;
    // Job time since the last key report, and the number of jobs in it.
    double accumSeconds = 0;
    uint32_t accumCnt = 0;
    // Sets stored in the duplicate library, and candidates it turned away.
    int64_t libCnt = 0;
    int64_t rejects = 0;
    // The direction of the next goodDir call (true: up).
    bool goodDirUp = false;
};
extern SearchCounters searchCounters;
inline int32_t& gen = searchCounters.gen;
inline int32_t& lastgen = searchCounters.lastgen;
inline double& bestGoodness = searchCounters.bestGoodness;
inline uint64_t& tested = searchCounters.tested;
inline uint64_t& lastTested = searchCounters.lastTested;
inline double& accumSeconds = searchCounters.accumSeconds;
inline uint32_t& accumCnt = searchCounters.accumCnt;
inline int64_t& libCnt = searchCounters.libCnt;
inline int64_t& rejects = searchCounters.rejects;

// The worker slots: each slot's window order, and the jobs out.
inline WorkerSlots workerSlots;
