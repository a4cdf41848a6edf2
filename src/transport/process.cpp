// Worker processes and the file exchange between the master and its workers.
//
// Each worker slot N has a request file "quelmoi.N", written by the master
// (one 144-byte record, or a single zero byte that stops the worker), and a
// reply file "quelmor.N", written by the worker. Every file is written under
// a temporary name that no one can guess ("quelmoi.N.XXXXXX"), created
// exclusively so that it is never a link someone planted, and renamed into
// place, so a reader never sees it half-written. Readers take only a
// regular file at the name, never follow a link and never wait on a FIFO.
//
// The files carry the records; wake-ups tell the other side that there is
// something to read. Each worker has a doorbell socket that the master rings
// after a hand-over, and all workers ring the master on one shared socket
// after writing a reply. Both sides still look at the files after a short
// time-out, so a lost wake-up costs no more than a poll interval. A worker
// whose doorbell reports end-of-file knows that its master has gone.
#include "transport/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <vector>

#include "coils/readind.h"
#include "coils/storage.h"
#include "common/clock.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "common/stopsignals.h"
#include "grid/gridsearch.h"
#include "settings/settingstable.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"
#include "transport/runlock.h"
#include "transport/terminal.h"
#include "transport/worker.h"
#include "transport/workerstate.h"

namespace {

struct ProcSlot {
    char* requestPath;    // "quelmoi.%d"
    char* replyPath;      // "quelmor.%d"
    double startTime;     // monotonicSeconds() at the hand-over of the current job
    uint8_t busy;         // 1 from hand-over until harvest
    char* requestTemp;    // "quelmoi.%d.": a request's temporary name, before its random end
    char* replyTemp;      // "quelmor.%d.": a reply's temporary name, before its random end
    int doorbell;         // master: the end that wakes this slot's worker
    pid_t pid;            // the slot's worker
    ResultRecord job;     // the current job, to give a replacement worker
};

constexpr int kProcSlots = 48;
ProcSlot P[kProcSlots];

constexpr int kIdlePollMs = 1;             // between looks while nothing is there
constexpr useconds_t kWritingPoll = 10000; // while a file is being written
constexpr useconds_t kRetryPoll = 1000;    // before reading a short reply again
constexpr double kStopWaitSeconds = 1.0;   // longest wait for a busy worker to take its job
constexpr int kReadTries = 1000;           // looks at a short reply or an unreadable request
// Workers that die this often are not replaced: something kills them all.
constexpr int kDeathLimit = 3;
constexpr double kDeathWindowSeconds = 60;

pid_t masterPid = 0;
// The range table the workers search with, as initProcs was given it: a
// worker started again later starts from it too.
RangeTable workerRanges{};

double deathTimes[kDeathLimit];
int deaths = 0;
// Master: the end on which workers ring. Worker: the end it rings on.
int masterBell = -1;
int workerBell = -1;

char* formatSlotText(const char* format, int slot) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, slot);
    char* copy = strdup(buffer);
    if (copy == nullptr) fatal("Out of space for result\n");
    return copy;
}

// -1 when no regular file stands at the name: a link, a FIFO or anything
// else there is not an exchange file, and is left for the writer's rename to
// replace.
off_t fileSize(const char* path) {
    struct stat status;
    if (lstat(path, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    return status.st_size;
}

// Opens an exchange file for reading: a regular file only, never through a
// link and never waiting on a FIFO. Null, with errno set, otherwise.
FILE* openRecordFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE* in = fdopen(fd, "rb");
    if (in == nullptr) close(fd);
    return in;
}

// Whether `name` is one of slot `slot`'s temporary exchange names (any
// slot's when `slot` is -1): "quelmoi.N." or "quelmor.N." and six letters or
// digits, or "new" as earlier versions named them.
bool isTemporaryName(const char* name, int slot) {
    if (std::strncmp(name, "quelmoi.", 8) != 0 && std::strncmp(name, "quelmor.", 8) != 0) return false;
    const char* digits = name + 8;
    const char* end = digits;
    while (*end >= '0' && *end <= '9') ++end;
    if (end == digits || *end != '.') return false;
    if (slot >= 0 && std::strtol(digits, nullptr, 10) != slot) return false;
    const char* suffix = end + 1;
    if (std::strcmp(suffix, "new") == 0) return true;
    if (std::strlen(suffix) != 6) return false;
    return std::all_of(suffix, suffix + 6, [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Removes `name` in the directory `parent` and, when it is a directory,
// everything in it, as "rm -rf" would. Each directory is opened relative to
// the one above it and never through a link, so that another user who swaps
// a directory for a link while it is being emptied cannot make the run
// remove files elsewhere; the link itself is what gets removed.
void removeTree(int parent, const char* name) {
    if (unlinkat(parent, name, 0) == 0 || errno != EISDIR) return;
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    if (DIR* directory = fdopendir(fd)) {
        while (const dirent* entry = readdir(directory))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                removeTree(fd, entry->d_name);
        closedir(directory);
    } else {
        close(fd);
    }
    unlinkat(parent, name, AT_REMOVEDIR);
}

// Removes temporary exchange files that a run left when it was killed
// between a write and its rename: slot `slot`'s, or every slot's when -1.
void removeTemporaries(int slot) {
    DIR* directory = opendir(".");
    if (directory == nullptr) return;
    while (const dirent* entry = readdir(directory))
        if (isTemporaryName(entry->d_name, slot)) unlink(entry->d_name);
    closedir(directory);
}

// One byte on a socket, never blocking and never raising SIGPIPE. False when
// the other side has gone.
bool ring(int fd) {
    const char byte = 0;
    return send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1 || errno == EAGAIN;
}

// Writes `record` (or the stop byte when null) under a new temporary name
// that begins with `tempPrefix`, then renames it to `path`. False, with errno
// set, when any step fails.
bool writeRecordFile(const char* tempPrefix, const char* path, const ResultRecord* record) {
    char temp[64];
    std::snprintf(temp, sizeof temp, "%sXXXXXX", tempPrefix);
    const int fd = mkostemp(temp, O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        const int saved = errno;
        close(fd);
        unlink(temp);
        errno = saved;
        return false;
    }
    if (record != nullptr)
        writeResult(record, out);
    else
        std::fputc(0, out);
    bool ok = closeChecked(out);
    int saved = errno;
    if (ok && std::rename(temp, path) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) unlink(temp);
    errno = saved;
    return ok;
}

// Whether a waiting side may keep looking before it sleeps: only when the
// master and its workers leave a processor free, so that looking never takes
// time from a worker's search. Decided in the master before the fork.
bool lookBeforeSleep = false;

// Waits up to `ms` for one of `fds`. The other side usually answers within
// microseconds, and a process that sleeps takes tens of microseconds to wake
// (more on a virtual machine), so where a processor is free it first looks
// for a short while, giving way to any process that wants the processor, and
// only then sleeps.
int pollSoon(pollfd* fds, int count, int ms) {
    constexpr long kLookNanoseconds = 50000;
    if (!lookBeforeSleep) return poll(fds, static_cast<nfds_t>(count), ms);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (true) {
        const int ready = poll(fds, static_cast<nfds_t>(count), 0);
        if (ready != 0) return ready;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) > kLookNanoseconds) break;
        sched_yield();
    }
    return poll(fds, static_cast<nfds_t>(count), ms);
}

// Worker: waits up to `ms` for the doorbell; false when the master has gone.
bool waitForDoorbell(int fd, int ms) {
    pollfd bell{fd, POLLIN, 0};
    if (pollSoon(&bell, 1, ms) <= 0) return true;
    char drained[64];
    return recv(fd, drained, sizeof drained, MSG_DONTWAIT) != 0;
}

// Worker: reports why `path` failed and ends; the master sees the status and
// stops the run.
[[noreturn]] void workerFails(const char* path, const char* reason) {
    reportCause(path, reason);
    std::exit(-1);
}

// A forked worker's way to its master: the slot's request and reply files,
// its doorbell and the master's bell.
class FileChannel final : public WorkerChannel {
public:
    FileChannel(int slot, int bell) : self_(P[slot]), bell_(bell) {}

    bool nextJob(ResultRecord& job) override {
        while (true) {
            if (getppid() != masterPid) return false;
            off_t size = fileSize(self_.requestPath);
            if (size < 0) {
                if (!waitForDoorbell(bell_, kIdlePollMs)) return false;
                continue;
            }
            if (size == 0) {
                // Only a file written by something other than the master can
                // be seen empty; give it the time a writer would need.
                usleep(kWritingPoll);
                size = fileSize(self_.requestPath);
            }
            if (size == 1) return false;

            FILE* in = openRecordFile(self_.requestPath);
            const int openError = errno;
            ResultRecord* request = nullptr;
            if (in != nullptr) {
                request = readResult(in);
                std::fclose(in);
            }
            if (request == nullptr) {
                // Not yet readable, or not a whole record: look again a few
                // times, but never wait for ever on a file that cannot be read.
                if (++failedReads_ >= kReadTries)
                    workerFails(self_.requestPath, in == nullptr ? std::strerror(openError) : "holds no whole record");
                usleep(kWritingPoll);
                continue;
            }
            failedReads_ = 0;
            // A request left in place would be searched again.
            if (unlink(self_.requestPath) != 0) workerFails(self_.requestPath, std::strerror(errno));
            copyResult(&job, request);
            freeResult(request);
            return true;
        }
    }

    bool sendReply(const ResultRecord& reply) override {
        if (!writeRecordFile(self_.replyTemp, self_.replyPath, &reply)) {
            reportCause(self_.replyPath, std::strerror(errno));
            fatal("%s (%s:%d) should never happen\n", "process", "evaluatePolynomial", 69);
        }
        return ring(workerBell);
    }

    // A forked worker checks its own range table and reports under its pid.
    void afterJob() override {
        checkRangeTable();
        std::fflush(stdout);
    }

private:
    const ProcSlot& self_;
    int bell_;
    int failedReads_ = 0;
};

// Runs in a new worker: ignores the stop signals, keeps its own doorbell and
// the master's bell, closes every other exchange socket, asks to be ended
// with its master, takes the start state the master packed for it and serves
// its jobs.
[[noreturn]] void becomeWorker(int slot, int bell, const std::vector<unsigned char>& start, bool redo) {
    ignoreStopSignalsInWorker();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != masterPid) std::exit(0);  // the master died before prctl
    for (int i = 0; i < kProcSlots; ++i)
        if (P[i].doorbell >= 0) close(P[i].doorbell);
    close(masterBell);
    if (runLockFd() >= 0) close(runLockFd());
    // A worker starts where its slot stands, as a worker rank does: the
    // range table as the ranges file gives it (so no result depends on when
    // a worker began), and the grid search's alternation at the slot's phase
    // (a replacement: the phase before the job it redoes).
    unpackWorkerState(start.data(), start.size(), slot);
    swapper = workerSlots.startPhase(slot, redo);
    FileChannel channel(slot, bell);
    std::exit(serveWorker(channel));
}

void startWorker(int slot) {
    int bell[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bell) != 0)
        fatal("%s (%s:%d) couldn't start process because %s\n", "process", "startProcess", 179,
              std::strerror(errno));
    const std::vector<unsigned char> start = packWorkerState(workerCount(), workerRanges);
    const ProcSlot& self = P[slot];
    const bool redo = self.busy && fileSize(self.replyPath) < 0;
    // Text still buffered would otherwise be written again by the worker.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        fatal("%s (%s:%d) couldn't start process because %s\n", "process", "startProcess", 179,
              std::strerror(errno));
    }
    if (pid == 0) {
        close(bell[0]);
        becomeWorker(slot, bell[1], start, redo);
    }
    close(bell[1]);
    P[slot].doorbell = bell[0];
    P[slot].pid = pid;
}

// Stops the run: every worker is ended with the master.
[[noreturn]] void stopRun(const char* format, int slot, long pid, int detail) {
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, format, slot, pid, detail);
    std::exit(-1);
}

// A worker that died is replaced by a new one on the same slot, which is
// given the lost job again unless its result had already arrived. A worker
// that ended by itself has reported a failure it cannot get past, and one
// that keeps being killed would only be killed again: both stop the run.
void replaceWorker(int slot, int status) {
    ProcSlot& lost = P[slot];
    const long pid = lost.pid;
    if (WIFEXITED(status))
        stopRun("Worker %d (pid %ld) ended with status %d; the run stops\n", slot, pid, WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, "Worker %d (pid %ld) was killed by signal %d (%s); a new worker takes its job\n", slot,
                 pid, signal, strsignal(signal));
    const double now = monotonicSeconds();
    if (deaths == kDeathLimit) {
        for (int i = 1; i < kDeathLimit; ++i) deathTimes[i - 1] = deathTimes[i];
        --deaths;
    }
    deathTimes[deaths++] = now;
    if (deaths == kDeathLimit && now - deathTimes[0] < kDeathWindowSeconds)
        stopRun("Workers keep dying (%d of them within %ld s, the last on slot %d); the run stops\n", kDeathLimit,
                static_cast<long>(kDeathWindowSeconds), slot);

    close(lost.doorbell);
    lost.doorbell = -1;
    removeTemporaries(slot);
    // The lost job is put back before the replacement starts, and only when
    // the dead worker had taken it: a request written while the new worker
    // reads could reach it twice.
    const bool redo = lost.busy && fileSize(lost.replyPath) < 0;
    if (redo && fileSize(lost.requestPath) < 0 &&
        !writeRecordFile(lost.requestTemp, lost.requestPath, &lost.job)) {
        reportCause(lost.requestPath, std::strerror(errno));
        fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 160);
    }
    startWorker(slot);
}

// Collects every worker that has ended and replaces it.
void reapWorkers() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (int i = 0; i < workerCount(); ++i)
            if (P[i].pid == pid) replaceWorker(i, status);
    }
}

}  // namespace

void settleWorkerCount() {
    static_assert(kSettingRows[kProcesses].accepted.low == 1 && kSettingRows[kProcesses].accepted.high == kProcSlots,
                  "the settings table accepts as many processes as there are slots");
    refuseUnaccepted(kProcesses);
}

void initProcs(const RangeTable& startRanges) {
    workerRanges = startRanges;
    // The exchange files live in the current directory: one run at a time.
    lockRunDirectory();
    warnIfDirectoryShared();
    masterPid = getpid();
    for (ProcSlot& slot : P) slot.doorbell = -1;
    int bell[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, bell) != 0)
        fatal("%s (%s:%d) couldn't start process because %s\n", "process", "startProcess", 179,
              std::strerror(errno));
    masterBell = bell[0];
    workerBell = bell[1];
    fcntl(masterBell, F_SETFL, O_NONBLOCK);
    lookBeforeSleep = workerCount() < sysconf(_SC_NPROCESSORS_ONLN);
    removeTemporaries(-1);

    const int processes = workerCount();
    for (int i = 0; i < processes; ++i) {
        ProcSlot& slot = P[i];
        slot.replyPath = formatSlotText("quelmor.%d", i);
        slot.replyTemp = formatSlotText("quelmor.%d.", i);
        removeTree(AT_FDCWD, slot.replyPath);
        slot.requestPath = formatSlotText("quelmoi.%d", i);
        slot.requestTemp = formatSlotText("quelmoi.%d.", i);
        unlink(slot.requestPath);
        slot.startTime = monotonicSeconds();
        startWorker(i);
    }
}

int workerCount() { return intSetting<kProcesses>(); }

const char* exchangeFileRole(const char* name) {
    if (std::strcmp(name, "quelmo.lock") == 0) return "the lock of the run directory";
    if (isTemporaryName(name, -1)) return "a temporary name of the exchange files";
    char slotName[32];
    for (int i = 0; i < workerCount(); ++i) {
        std::snprintf(slotName, sizeof slotName, "quelmoi.%d", i);
        if (std::strcmp(name, slotName) == 0) return "a request file of the exchange with the workers";
        std::snprintf(slotName, sizeof slotName, "quelmor.%d", i);
        if (std::strcmp(name, slotName) == 0) return "a reply file of the exchange with the workers";
    }
    return nullptr;
}

bool slotBusy(int slot) { return P[slot].busy != 0; }

double slotStartTime(int slot) { return P[slot].startTime; }

bool hasFinished(int slot) {
    // A reply is renamed into place whole; an empty file there was put by
    // something else, and is taken (and refused) rather than waited on for ever.
    for (int looks = 1;; ++looks) {
        const off_t size = fileSize(P[slot].replyPath);
        if (size < 0) return false;
        if (size > 0 || looks >= kReadTries) return true;
        usleep(kWritingPoll);
    }
}

void handOver(int slot, const ResultRecord* candidate) {
    ProcSlot& target = P[slot];
    if (!writeRecordFile(target.requestTemp, target.requestPath, candidate)) {
        reportCause(target.requestPath, std::strerror(errno));
        fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 160);
    }
    copyResult(&target.job, candidate);
    target.job.next = nullptr;
    ring(target.doorbell);
    target.busy = 1;
    target.startTime = monotonicSeconds();
}

ResultRecord* takeResult(int slot) {
    const char* path = P[slot].replyPath;
    for (int tries = 1;; ++tries) {
        FILE* in = openRecordFile(path);
        if (in == nullptr) {
            std::printf("%s fails because %s\n", path, std::strerror(errno));
            fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 88);
        }
        ResultRecord* record = readResult(in);
        std::fclose(in);
        if (record != nullptr) {
            // A reply left in place would be taken again.
            if (unlink(path) != 0) {
                reportCause(path, std::strerror(errno));
                fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 88);
            }
            P[slot].busy = 0;
            return record;
        }
        std::printf("*****rval for %s is NULL\n", path);
        if (tries >= kReadTries) {
            reportCause(path, "holds no whole record");
            fatal("%s (%s:%d) should never happen\n", "geneticproc", "runOne", 88);
        }
        usleep(kRetryPoll);
    }
}

void awaitActivity(double timeoutSeconds) {
    reapWorkers();
    pollfd watched[2] = {{masterBell, POLLIN, 0}, {keyWatchFd(), POLLIN, 0}};
    const int count = watched[1].fd >= 0 ? 2 : 1;
    const int ms = std::max(1, static_cast<int>(std::ceil(timeoutSeconds * 1000)));
    if (pollSoon(watched, count, ms) <= 0) return;
    if (watched[0].revents != 0) {
        char drained[256];
        while (recv(masterBell, drained, sizeof drained, MSG_DONTWAIT) > 0) {
        }
    }
    if (count == 2 && watched[1].revents != 0) keyWatchReadable();
}

void terminateProcesses() {
    const int processes = workerCount();
    for (int i = 0; i < processes; ++i) {
        ProcSlot& slot = P[i];
        // A stop byte written while the worker is between reading its job and
        // removing the request file would be removed with it: wait until the
        // worker has taken the job.
        if (slot.busy) {
            const double deadline = monotonicSeconds() + kStopWaitSeconds;
            while (fileSize(slot.requestPath) >= 0 && monotonicSeconds() < deadline) usleep(kRetryPoll);
        }
        if (!writeRecordFile(slot.requestTemp, slot.requestPath, nullptr)) {
            reportCause(slot.requestPath, std::strerror(errno));
            fatal("%s (%s:%d) should never happen\n", "process", "terminateProcesses", 275);
        }
        ring(slot.doorbell);
    }
}
