// The search's part of a run's state: taken for a snapshot, and put back
// when a run resumes from one.
#pragma once

#include <string>

#include "state/snapshot.h"

// Fills the search's part of `state` from the run as it stands: counters,
// random state, goodDir direction, range table, population and duplicate
// library (its own records, not copies).
void captureSearchState(RunState& state);
// Puts the search's part of `state` into the program, the library into an
// empty one. False with the cause when a library set repeats an earlier one,
// which a run never stores.
bool restoreSearchState(const RunState& state, std::string& cause);
