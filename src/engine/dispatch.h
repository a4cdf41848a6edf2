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
// Hands each saved job back to its slot, oldest first, before the next
// generation begins (the workers started at the phases before them).
void restoreDispatchState(const RunState& state);
