// The dispatch loop: candidates out to the workers, results ranked in.
#pragma once

#include <cstdint>

#include "coils/records.h"

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

// The grid search alternates its window order job by job in each worker, so
// a worker's phase is the number of jobs it was given, modulo 2. A resumed
// run sets the phases its workers stood at.
uint8_t workerPhase(int slot);
void setWorkerPhase(int slot, uint8_t phase);
