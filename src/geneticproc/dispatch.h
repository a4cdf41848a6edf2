// The dispatch loop: candidates out to the workers, results ranked in.
#pragma once

#include <cstdint>

#include "records.h"

// Results harvested so far, and their count at the last improvement.
extern uint64_t tested;
extern uint64_t lastTested;
// Job time since the last key report, and the number of jobs in it.
extern double accumSeconds;
extern uint32_t accumCnt;

// Hands `candidate` to a worker, ranking finished results first.
void runOne(ResultRecord* candidate);
// The candidates out with workers, oldest hand-over first.
int outstandingCount();
const ResultRecord* outstandingCandidate(int i);
int outstandingSlot(int i);
// Hands `candidate` to the idle `slot` as the newest outstanding job, as
// runOne would have; for a resumed run, which puts every saved job back on
// the slot it was on.
void handOutAgain(int slot, ResultRecord* candidate);
