// Snapshots during a run, the stop requests that wait for them, and the
// resumption of a run from a snapshot.
//
// A snapshot is taken only at the end of a generation, after its generation
// line, checkpoint and range adaptation. The state there is small and the
// next step is the first operator call of the next generation, so a resumed
// run repeats exactly what the interrupted one would have done, given that
// its workers are put back as they were (see resumeRun).
#include "state/resume.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "coils/storage.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "reports/finalreport.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "state/snapshot.h"
#include "workers/dispatch.h"
#include "workers/process.h"

bool snapshotFailed = false;

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr double kWorkerPoll = 0.001;

bool snapshotsOn = false;
bool resumeAsked = false;
volatile sig_atomic_t stopSignal = 0;
// Signals that were ignored when the program started stay ignored.
bool ignoredAtStart[std::size(kStopSignals)] = {};

SnapshotInputs inputs;
Snapshot saved;

const char* statePath() { return S[kStateFile].value.s; }

[[noreturn]] void cannotResume(const std::string& cause) {
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, "Cannot resume from %s: %s\n", statePath(), cause.c_str());
    std::exit(255);
}

void onStopSignal(int signal) {
    if (stopSignal != 0) {
        // The second request: the default action, at once.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigaction(signal, &action, nullptr);
        raise(signal);
        return;
    }
    stopSignal = signal;
}

void reportWriteFailure() {
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, "Couldn't write snapshot %s: %s\n", statePath(), std::strerror(errno));
    snapshotFailed = true;
}

// Writes the snapshot of the run as it stands; waits for the write when
// `wait`, otherwise it completes in the background. True unless a failure
// is known.
bool saveSnapshot(int32_t done, bool ended, bool wait) {
    if (!endSnapshotWrite()) reportWriteFailure();
    if (!beginSnapshotWrite(statePath(), encodeSnapshot(inputs, done, ended))) {
        reportWriteFailure();
        return false;
    }
    if (wait && !endSnapshotWrite()) {
        reportWriteFailure();
        return false;
    }
    return true;
}

// Each worker's grid search alternates its window order from one job to the
// next, and a fresh worker starts at phase 0. A worker that must stand at
// phase 1 before its saved job (or, idle, before its next one) is first
// given a job whose result is thrown away. Then every saved job goes back to
// its slot, oldest first, as the newest outstanding job.
void restoreWorkers() {
    const int workers = workerCount();
    std::vector<bool> busy(static_cast<size_t>(workers), false);
    for (const SavedJob& job : saved.outstanding) busy[static_cast<size_t>(job.slot)] = true;
    std::vector<int> turning;
    for (int slot = 0; slot < workers; ++slot) {
        const uint8_t phase = saved.workerPhases[static_cast<size_t>(slot)] ^ (busy[static_cast<size_t>(slot)] ? 1 : 0);
        setWorkerPhase(slot, phase);
        if (phase == 0) continue;
        handOver(slot, collected);
        turning.push_back(slot);
    }
    while (!turning.empty()) {
        for (size_t i = 0; i < turning.size();) {
            if (hasFinished(turning[i])) {
                freeResult(takeResult(turning[i]));
                turning.erase(turning.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        if (!turning.empty()) awaitActivity(kWorkerPoll);
    }
    for (const SavedJob& job : saved.outstanding) {
        ResultRecord* candidate = cloneResult(&job.candidate);
        handOutAgain(job.slot, candidate);
        freeResult(candidate);
    }
}

}  // namespace

void prepareSnapshots(const char* coilPath, const char* rangesPath) {
    resumeAsked = S[kResume].value.i == 1;
    const char* path = statePath();
    if (path == nullptr) {
        if (resumeAsked) fatal("Setting resume is 1, but no statefile names the snapshot to resume from\n");
        return;
    }
    snapshotsOn = true;
    stopWaitsForGenerationEnd = true;
    inputs.coilPath = coilPath;
    inputs.rangesPath = rangesPath != nullptr ? rangesPath : "";
    if (!digestCoilFile(coilPath, inputs.coilDigest)) fatal("Couldn't read %s: %s\n", coilPath, std::strerror(errno));
    if (rangesPath != nullptr && !digestRangesFile(rangesPath, inputs.rangesDigest))
        fatal("Couldn't read %s: %s\n", rangesPath, std::strerror(errno));
    if (resumeAsked) {
        std::string cause;
        if (!readSnapshot(path, inputs, saved, cause)) cannotResume(cause);
    }
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode))
        fatal("Cannot write snapshots to %s: %s\n", path, std::strerror(EISDIR));
    if (const char* problem = outFileProblem(path)) fatal("Cannot write snapshots to %s: %s\n", path, problem);
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        struct sigaction ignore {};
        struct sigaction before {};
        ignore.sa_handler = SIG_IGN;
        sigaction(kStopSignals[i], &ignore, &before);
        ignoredAtStart[i] = before.sa_handler == SIG_IGN;
    }
}

void watchStopSignals() {
    if (!snapshotsOn) return;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        if (!ignoredAtStart[i]) sigaction(kStopSignals[i], &action, nullptr);
}

bool resuming() { return resumeAsked; }

bool resumeRun() {
    std::printf("Resuming from %s at generation %d\n", statePath(), saved.generation);
    std::string cause;
    if (!applySnapshot(saved, cause)) {
        terminateProcesses();
        cannotResume(cause);
    }
    if (saved.ended) return false;
    restoreWorkers();
    saved = Snapshot{};
    return true;
}

void generationEnd(int32_t done, bool ended) {
    if (!snapshotsOn) return;
    const int signal = stopSignal;
    const bool stopping = signal != 0 || escapeRequested;
    if (ended || stopping || done % S[kStateEvery].value.i == 0) {
        if (saveSnapshot(done, ended, ended || stopping) && stopping)
            std::printf("State saved in %s at generation %d\n", statePath(), done);
    }
    if (!stopping) return;
    if (signal != 0)
        std::printf("Interrupted by %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    else
        std::printf("Quitting early\n");
    finalReport();
    terminateProcesses();
    std::exit(signal != 0 ? 128 + signal : 255);
}

