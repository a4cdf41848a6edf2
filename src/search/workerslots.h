// The worker slots' part of the search state: which window order each slot's
// worker takes next, and the jobs out with workers. The dispatch loop keeps
// it, the transports start their workers from it, and snapshots save and
// restore it. The run's instance is with the rest of the search state
// (search/searchstate.h).
#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include "coils/records.h"

// Largest number of workers any transport can serve.
inline constexpr int kMaxWorkers = 1024;

struct OutJob {
    int32_t slot;
    ResultRecord* candidate;  // a copy of the candidate handed out
};

struct WorkerSlots {
    // Per slot, the number of jobs handed to it, modulo 2: the grid search
    // alternates its window order job by job, so this is the order the slot's
    // worker takes for its next job. A worker started on the slot starts
    // there.
    std::array<uint8_t, kMaxWorkers> phases{};
    // The jobs out, in hand-over order: ordered dispatch awaits the oldest,
    // and a resumed run hands them out again first.
    std::deque<OutJob> outstanding;

    // The phase is kept here alone. A job handed to `slot`: its worker takes
    // the other order next.
    void handedOver(int slot) { phases[static_cast<size_t>(slot)] ^= 1; }
    // The order a worker started on `slot` takes first: the slot's, or, for
    // a replacement that redoes the job its predecessor took, the one before.
    uint8_t startPhase(int slot, bool redo) const {
        return static_cast<uint8_t>(phases[static_cast<size_t>(slot)] ^ (redo ? 1 : 0));
    }
    // A resumed run hands the saved jobs out again: each slot goes back to
    // the phase it stood at before them, so that its worker starts there.
    void beforeSavedJobs() {
        for (const OutJob& job : outstanding) handedOver(job.slot);
    }
};
