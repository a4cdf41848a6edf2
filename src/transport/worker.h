// A worker: one loop that serves the master's jobs, whatever carries them.
// Each transport gives the loop a channel to its master (the request and
// reply files of a forked worker, the messages of an MPI rank); both start
// their worker from the same packed start state (transport/workerstate.h).
#pragma once

#include "coils/records.h"

class WorkerChannel {
public:
    virtual ~WorkerChannel() = default;
    // Waits for the next job and puts it in `job`; false when the worker is
    // to stop: the master said so, or it has gone.
    virtual bool nextJob(ResultRecord& job) = 0;
    // Sends the refined set back; false when the master has gone.
    virtual bool sendReply(const ResultRecord& reply) = 0;
    // After each reply: what the transport's worker reports of itself.
    virtual void afterJob() {}
};

// Serves jobs through `channel` until it says to stop: each job is refined
// by the grid search on the worker's coils and sent back. Returns the
// worker's exit status, 0.
int serveWorker(WorkerChannel& channel);
