// The search's counters and stop request, shared by the generation driver,
// the dispatch loop, the progress line and logs, and the snapshots. They
// live here, below all of those, so that each reads them without reaching
// into another.
#pragma once

#include <cstdint>

// The generation under way, the last one that improved the best goodness,
// and that goodness.
extern int32_t gen;
extern int32_t lastgen;
extern double bestGoodness;

// Results harvested so far, and their count at the last improvement.
extern uint64_t tested;
extern uint64_t lastTested;
// Job time since the last key report, and the number of jobs in it.
extern double accumSeconds;
extern uint32_t accumCnt;

// Set while a stop must wait for the end of the generation, so that a
// snapshot can be written there (snapshots are on).
extern bool stopWaitsForGenerationEnd;
// The Escape key asked for such a stop.
extern bool escapeRequested;

// The Escape key: true when the stop waits for the end of the generation
// (and is now asked for), false when the run must end at once.
bool stopAtGenerationEnd();
