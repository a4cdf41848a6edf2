// Workers as MPI ranks: rank 0 is the master, rank N + 1 serves slot N.
//
// When the workers start, the master broadcasts what a forked worker would
// inherit (the coils, the settings, the range table). Each job is then one
// message holding the 144-byte binary record, each result one message back,
// and a message of its own tag tells a worker to stop.
//
// Neither side blocks inside MPI while it waits: a blocking receive polls at
// full speed for as long as the wait lasts, which on a machine with more ranks
// than cores takes the cores from the ranks that compute. A waiting side
// probes for its message; for the first 50 µs of a wait it yields the CPU
// between probes (a reply to a short job is often there by then), and after
// that it naps, an eighth of the time it has waited so far, between 20 µs and
// 1 ms. Each wake-up costs CPU, so the master, which knows how long jobs have
// been taking, naps half the time left until the next result is due when that
// is longer. The master's naps end early when a key arrives on standard input.
#include "transport/process_mpi.h"

#include <mpi.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

#include "coils/readind.h"
#include "coils/storage.h"
#include "common/clock.h"
#include "common/fatal.h"
#include "grid/gridsearch.h"
#include "settings/symtab.h"
#include "transport/process.h"
#include "transport/terminal.h"
#include "transport/worker.h"
#include "transport/workerstate.h"

namespace {

constexpr double kYieldingWait = 50e-6;
constexpr double kShortestNap = 20e-6;
constexpr double kLongestNap = 1e-3;
// Naps this short need the kernel's timer slack (50 µs by default) cut down.
constexpr unsigned long kTimerSlackNs = 1000;
constexpr int kRecordBytes = sizeof(ResultRecord);

enum class Phase { waiting, started, stopped };
Phase phase = Phase::waiting;

struct Slot {
    bool busy = false;      // from hand-over until its result is taken
    bool arrived = false;   // the result has been received and waits in `reply`
    double startTime = 0;   // monotonicSeconds() at the hand-over
    double handedOver = 0;  // monotonicSeconds() at the hand-over
    ResultRecord reply{};
};
std::vector<Slot> slots;
std::vector<int> workerPids;  // process id of each slot's worker, for its reports
double lastExchange = 0;      // monotonicSeconds() at the master's last hand-over or take
int lastAsked = -1;           // the slot hasFinished was asked about last
bool lookedThisSweep = false; // hasFinished has looked for results since a sweep began
double typicalJob = 0;        // moving average of the time from hand-over to arrival

int worldSize() {
    int size = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

// The slot this worker rank serves.
int workerSlot() {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank - 1;
}

// Lets a wait that has lasted `waited` seconds go on, for at most `seconds`:
// yields the CPU early in the wait, naps later. `dueIn`: the time until what
// is awaited is expected, when known. With `watchKeys`, a nap ends early when
// standard input turns readable, and true says so.
bool idle(double waited, double seconds, bool watchKeys = false, double dueIn = 0) {
    if (waited < kYieldingWait) {
        sched_yield();
        return false;
    }
    seconds = std::min(seconds, std::clamp(std::max(waited / 8, dueIn / 2), kShortestNap, kLongestNap));
    timespec length{};
    length.tv_sec = static_cast<time_t>(seconds);
    length.tv_nsec = static_cast<long>((seconds - static_cast<double>(length.tv_sec)) * 1e9);
    const int fd = watchKeys ? keyWatchFd() : -1;
    if (fd < 0) {
        nanosleep(&length, nullptr);
        return false;
    }
    pollfd keys{fd, POLLIN, 0};
    if (ppoll(&keys, 1, &length, nullptr) <= 0) return false;
    keyWatchReadable();
    return true;
}

void idle(double waited) { idle(waited, kLongestNap); }

void awaitRequest(MPI_Request& request) {
    const double start = monotonicSeconds();
    int done = 0;
    while (MPI_Test(&request, &done, MPI_STATUS_IGNORE), done == 0) idle(monotonicSeconds() - start);
}

void broadcast(void* data, int bytes) {
    MPI_Request request;
    MPI_Ibcast(data, bytes, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
    awaitRequest(request);
}

// The state's length first, so that workers can make room; 0 says that the
// run ends before any job.
void broadcastState(std::vector<unsigned char>& state) {
    uint64_t size = state.size();
    if (size > static_cast<uint64_t>(INT_MAX)) fatal("Too many coils to send to the workers\n");
    broadcast(&size, sizeof size);
    if (size > 0) broadcast(state.data(), static_cast<int>(size));
}

void gatherPids() {
    int pid = static_cast<int>(getpid());
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    std::vector<int> all(rank == 0 ? static_cast<size_t>(worldSize()) : 0);
    MPI_Request request;
    MPI_Igather(&pid, 1, MPI_INT, all.data(), 1, MPI_INT, 0, MPI_COMM_WORLD, &request);
    awaitRequest(request);
    if (rank == 0) workerPids.assign(all.begin() + 1, all.end());
}

// Master: receives a result that has come from the slot's worker.
void receiveResult(int slot) {
    Slot& s = slots[static_cast<size_t>(slot)];
    MPI_Recv(&s.reply, kRecordBytes, MPI_BYTE, slot + 1, kResultTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    s.arrived = true;
    const double took = monotonicSeconds() - s.handedOver;
    typicalJob = typicalJob == 0 ? took : typicalJob + (took - typicalJob) / 4;
    // A forked worker checks its table after every job; worker ranks print
    // nothing, so the master reports for them as each result arrives.
    checkRangeTableOf(workerPids[static_cast<size_t>(slot)]);
}

// Master: receives the slot's result when it has come; true when it is there.
bool receiveIfThere(int slot) {
    if (slots[static_cast<size_t>(slot)].arrived) return true;
    int flag = 0;
    MPI_Iprobe(slot + 1, kResultTag, MPI_COMM_WORLD, &flag, MPI_STATUS_IGNORE);
    if (flag == 0) return false;
    receiveResult(slot);
    return true;
}

// Master: receives every result that has come; true when there was one. A
// result received before does not count, so a wait for another slot's result
// does not end again and again on it.
bool receiveNewResults() {
    bool any = false;
    while (true) {
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, kResultTag, MPI_COMM_WORLD, &flag, &status);
        if (flag == 0) return any;
        receiveResult(status.MPI_SOURCE - 1);
        any = true;
    }
}

// Master: the time until the next result is due, from when the oldest job
// still out was handed over and how long jobs have been taking; 0 when
// unknown or overdue.
double nextResultDueIn(double now) {
    double due = 0;
    bool found = false;
    for (const Slot& s : slots) {
        if (!s.busy || s.arrived) continue;
        const double at = s.handedOver + typicalJob;
        if (!found || at < due) due = at;
        found = true;
    }
    return found && due > now ? due - now : 0;
}

void awaitResult(int slot) {
    const double start = monotonicSeconds();
    while (!receiveIfThere(slot)) idle(monotonicSeconds() - start);
}

// Worker: the next message from the master, probed, not yet received.
MPI_Status awaitMessage() {
    const double start = monotonicSeconds();
    while (true) {
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(0, MPI_ANY_TAG, MPI_COMM_WORLD, &flag, &status);
        if (flag != 0) return status;
        idle(monotonicSeconds() - start);
    }
}

// Worker: srun, and Slurm's signals before a time limit, send SIGTERM to every
// rank of the job. The master answers it by ending the run with its final
// report (with snapshots, after finishing the generation and saving), for
// which it needs its workers, so they ignore SIGINT and SIGTERM as forked
// workers do; they end when the master tells them.
void ignoreStopSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGTERM, &ignore, nullptr);
}

}  // namespace

void settleWorkerCount() {
    const int started = worldSize() - 1;
    if (S[kProcesses].value.i != started) {
        std::printf("Setting processes is %d: the %d worker ranks started serve instead\n",
                    S[kProcesses].value.i, started);
        S[kProcesses].value.i = started;
    }
}

void initProcs(const RangeTable& startRanges) {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    phase = Phase::started;
    std::vector<unsigned char> state = packWorkerState(workerCount(), startRanges);
    broadcastState(state);
    gatherPids();
    slots.assign(static_cast<size_t>(workerCount()), Slot{});
    lastExchange = monotonicSeconds();
}

int workerCount() { return worldSize() - 1; }

// Records travel as messages: no file in the run directory is the exchange's.
const char* exchangeFileRole(const char*) { return nullptr; }

bool slotBusy(int slot) { return slots[static_cast<size_t>(slot)].busy; }

double slotStartTime(int slot) { return slots[static_cast<size_t>(slot)].startTime; }

void handOver(int slot, const ResultRecord* candidate) {
    ResultRecord job;
    copyResult(&job, candidate);
    job.next = nullptr;  // a link means nothing in another process
    MPI_Send(&job, kRecordBytes, MPI_BYTE, slot + 1, kJobTag, MPI_COMM_WORLD);
    Slot& s = slots[static_cast<size_t>(slot)];
    s.busy = true;
    s.startTime = monotonicSeconds();
    s.handedOver = monotonicSeconds();
    lastExchange = s.handedOver;
}

bool hasFinished(int slot) {
    // A look for results costs a progress pass over every connection (and a
    // yield of the CPU where Open MPI finds the cores oversubscribed), so a
    // sweep that asks the slots in ascending order, as the dispatch loop's
    // harvest does, looks once, at its first slot whose result has not come
    // yet, and takes in every result that has come; the other slots are
    // answered from that. Asking a slot not above the one asked last starts
    // a new sweep. Results that come during a sweep are seen by the next.
    if (slot <= lastAsked) lookedThisSweep = false;
    lastAsked = slot;
    const Slot& s = slots[static_cast<size_t>(slot)];
    if (!s.arrived && !lookedThisSweep) {
        receiveNewResults();
        lookedThisSweep = true;
    }
    return s.arrived;
}

ResultRecord* takeResult(int slot) {
    awaitResult(slot);
    Slot& s = slots[static_cast<size_t>(slot)];
    ResultRecord* record = newResult();
    copyResult(record, &s.reply);
    s.arrived = false;
    s.busy = false;
    lastExchange = monotonicSeconds();
    return record;
}

void awaitActivity(double timeoutSeconds) {
    const double deadline = monotonicSeconds() + timeoutSeconds;
    while (!receiveNewResults()) {
        const double now = monotonicSeconds();
        if (now >= deadline) return;
        if (idle(now - lastExchange, deadline - now, true, nextResultDueIn(now))) return;
    }
}

void terminateProcesses() {
    if (phase != Phase::started) return;
    phase = Phase::stopped;
    const int workers = workerCount();
    for (int i = 0; i < workers; ++i) MPI_Send(nullptr, 0, MPI_BYTE, i + 1, kStopTag, MPI_COMM_WORLD);
    // Results still on their way are received and dropped, so that no
    // message is left unreceived when the ranks end.
    for (int i = 0; i < workers; ++i) {
        Slot& s = slots[static_cast<size_t>(i)];
        if (s.busy) awaitResult(i);
        s.arrived = false;
        s.busy = false;
    }
}

bool workersReleased() { return phase == Phase::stopped; }

void releaseWorkers() {
    if (phase == Phase::waiting) {
        phase = Phase::stopped;
        std::vector<unsigned char> none;
        broadcastState(none);
        return;
    }
    terminateProcesses();
}

namespace {

// A worker rank's way to its master: messages from and to rank 0.
class RankChannel final : public WorkerChannel {
public:
    bool nextJob(ResultRecord& job) override {
        const MPI_Status status = awaitMessage();
        if (status.MPI_TAG == kStopTag) {
            MPI_Recv(nullptr, 0, MPI_BYTE, 0, kStopTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            return false;
        }
        MPI_Recv(&job, kRecordBytes, MPI_BYTE, 0, kJobTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        return true;
    }
    // Worker ranks print nothing: the master checks each one's range table
    // as its result arrives.
    bool sendReply(const ResultRecord& reply) override {
        MPI_Send(&reply, kRecordBytes, MPI_BYTE, 0, kResultTag, MPI_COMM_WORLD);
        return true;
    }
};

}  // namespace

int serveJobs() {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    uint64_t size = 0;
    broadcast(&size, sizeof size);
    if (size == 0) return 0;
    std::vector<unsigned char> state(size);
    broadcast(state.data(), static_cast<int>(size));
    unpackWorkerState(state.data(), state.size(), workerSlot());
    ignoreStopSignals();
    gatherPids();
    RankChannel channel;
    return serveWorker(channel);
}
