// Snapshots during a run and resumption from one (settings statefile,
// stateevery and resume). With statefile unset every function here does
// nothing, and the run is what it always was.
#pragma once

#include <cstdint>

// Before the workers start: refuses `resume 1` without a statefile and a
// statefile that cannot be written, reads and checks the snapshot to resume
// from (a snapshot that cannot be used ends the run with status 255), and
// ignores SIGINT and SIGTERM, which the workers inherit: a Control-C at a
// terminal reaches the whole process group, and the master still needs its
// workers to finish the generation.
void prepareSnapshots(const char* coilPath, const char* rangesPath);
// After the workers have started: SIGINT and SIGTERM ask the master to stop
// at the end of the generation; a second one ends it at once.
void watchStopSignals();

// True when this run continues from a snapshot.
bool resuming();
// Puts the run where the snapshot left it: the state of the search, each
// worker's grid-search phase, and the jobs that were out, handed to the same
// slots in the same order. False when the snapshot was written at the end of
// its run: only the final report remains.
bool resumeRun();

// The end of a generation, with `done` generations complete; `ended`: the
// run ends here. Writes a snapshot every stateevery generations, at the end
// and when a stop was asked; a stop then ends the run (Escape with status
// 255, SIGINT and SIGTERM with 128 + the signal number).
void generationEnd(int32_t done, bool ended);
// Set when a snapshot could not be written; the run then ends with status
// 255 (the file keeps the snapshot before).
extern bool snapshotFailed;
