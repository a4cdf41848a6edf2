// The worker's loop, the one place a job is refined.
#include "transport/worker.h"

#include "coils/readind.h"
#include "coils/storage.h"
#include "grid/gridsearch.h"

int serveWorker(WorkerChannel& channel) {
    ResultRecord job{};
    while (channel.nextJob(job)) {
        job.next = nullptr;
        ResultRecord* best = runMajor(theInductors, &job);
        best->next = nullptr;  // a link means nothing in another process
        const bool sent = channel.sendReply(*best);
        freeResult(best);
        if (!sent) break;
        channel.afterJob();
    }
    return 0;
}
