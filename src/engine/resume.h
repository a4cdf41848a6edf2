// Snapshots during a run and resumption from one (settings statefile,
// stateevery and resume). With statefile unset every function here does
// nothing, and the run is what it always was.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/outcome.h"
#include "settings/symtab.h"

// Before the workers start: refuses `resume 1` without a statefile and a
// statefile that cannot be written, and reads and checks the snapshot to
// resume from (a snapshot that cannot be used ends the run with status 255)
// against the range table the ranges file gave, `startRanges`.
void prepareSnapshots(const char* coilPath, const char* rangesPath, const RangeTable& startRanges);
// True when snapshots are written: SIGINT, SIGTERM (common/stopsignals.h) and
// Escape then stop the run at the end of the generation, where one is.
bool snapshotsOn();

// True when this run continues from a snapshot.
bool resuming();
enum class Resumed {
    continues,  // the run goes on from the snapshot's generation
    finished,   // the snapshot was written at the end of its run: only the final report remains
};
// The snapshot was read into the run before the workers started (each at
// its phase): hands the jobs that were out to the same slots in the same
// order.
Resumed resumeRun();

// The end of a generation, with `done` generations complete; `ended`: the
// run ends here. Writes a snapshot every stateevery generations, at the end
// and when a stop was asked (a signal, or Escape in `stop`). After a stop
// request, once its lines are printed, the end of the search it makes.
// `failed` is set when a snapshot could not be written.
std::optional<RunOutcome> generationEnd(int32_t done, bool ended, const StopRequest& stop, bool& failed);
