// The dispatch loop: candidates out to the workers, results ranked in.
#pragma once

#include <cstdint>

#include "coils/records.h"
#include "state/snapshot.h"

// Hands `candidate` to a worker, ranking finished results first.
void runOne(ResultRecord* candidate);
// The dispatch loop's part of a run's state: each worker's phase in the
// grid search's alternation of window orders (the number of jobs it was
// given, modulo 2) and the jobs out with workers in hand-over order.
void captureDispatchState(RunState& state);
// Puts the workers where `state` has them, before the next generation
// begins: each worker at its phase, and each saved job back on its slot.
void restoreDispatchState(const RunState& state);
