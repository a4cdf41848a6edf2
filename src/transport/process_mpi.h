// The parts of the MPI exchange that only its own program's entry uses; rank
// 0's side of the exchange is the transport of process.h.
#pragma once

// MPI tags of the exchange's point-to-point messages.
inline constexpr int kJobTag = 1;     // master to worker: one 144-byte record
inline constexpr int kResultTag = 2;  // worker to master: one 144-byte record
inline constexpr int kStopTag = 3;    // master to worker: no data, the worker ends

// A worker rank's life: receives the start-up state, serves jobs until told
// to stop, and returns 0 (also when the master ends before starting workers).
int serveJobs();
// Master, at a clean end (status 0): lets every worker rank end, whether the
// workers were started, are still busy or were already told to stop.
void releaseWorkers();
// Master: true once every worker rank has been told to stop and has handed
// back the jobs it held, so that each is on its way to a clean end.
bool workersReleased();
