// Snapshots during a run, the stop requests that wait for them, and the
// resumption of a run from a snapshot.
//
// A snapshot is taken only at the end of a generation, after its generation
// line, checkpoint and range adaptation. The state there is small and the
// next step is the first operator call of the next generation, so a resumed
// run repeats exactly what the interrupted one would have done, given that
// its workers are put back as they were (see resumeRun).
#include "engine/resume.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "coils/readind.h"
#include "common/backgroundwrite.h"
#include "common/fatal.h"
#include "common/outfile.h"
#include "engine/dispatch.h"
#include "reports/runmonitor.h"
#include "search/schedule.h"
#include "common/stopsignals.h"
#include "search/searchstate.h"
#include "settings/inputdigest.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"
#include "state/snapshot.h"
#include "transport/process.h"

namespace {

// Snapshots are written (statefile is set).
bool snapshotsWritten = false;
bool resumeAsked = false;

SnapshotInputs inputs;
// The snapshot resumed from was written at the end of its run.
bool resumedEnded = false;

const char* statePath() { return textSetting<kStateFile>(); }

void reportCannotResume(const std::string& cause) {
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, "Cannot resume from %s: %s\n", statePath(), cause.c_str());
}

// A snapshot that a run without `resume 1` would write over: it may hold
// days of work, so the run does not start.
void refuseOverwritingSnapshot(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return;
    fatal("The snapshot %s exists and resume is 0: set resume 1 to continue it, or remove it to start afresh\n",
          path);
}

// A snapshot written at the end of a run that reached its maxgenerations is
// continued when this run's maxgenerations is larger (the checks refuse it
// otherwise).
bool continuesFinishedRun() { return gen < intSetting<kMaxGenerations>(); }

void reportWriteFailure(bool& failed) {
    std::fflush(stdout);
    clearForMessage();
    std::fprintf(stderr, "Couldn't write snapshot %s: %s\n", statePath(), std::strerror(errno));
    failed = true;
}

// Writes the snapshot of the run as it stands; waits for the write when
// `wait`, otherwise it completes in the background. True unless a failure
// is known (then `failed` is set: of this write, or of the one before).
bool saveSnapshot(int32_t done, bool ended, bool wait, bool& failed) {
    if (!endBackgroundWrite()) reportWriteFailure(failed);
    std::vector<uint8_t> bytes = reusableWriteBuffer();
    encodeSnapshot(done, ended, inputs, bytes);
    if (!beginBackgroundWrite(statePath(), std::move(bytes))) {
        reportWriteFailure(failed);
        return false;
    }
    if (wait && !endBackgroundWrite()) {
        reportWriteFailure(failed);
        return false;
    }
    return true;
}

}  // namespace

void prepareSnapshots(const char* coilPath, const char* rangesPath, const RangeTable& startRanges) {
    resumeAsked = intSetting<kResume>() == 1;
    const char* path = statePath();
    if (path == nullptr) {
        if (resumeAsked) fatal("Setting resume is 1, but no statefile names the snapshot to resume from\n");
        return;
    }
    snapshotsWritten = true;
    inputs.coilPath = coilPath;
    inputs.rangesPath = rangesPath != nullptr ? rangesPath : "";
    if (!digestCoilFile(coilPath, inputs.coilDigest)) fatal("Couldn't read %s: %s\n", coilPath, std::strerror(errno));
    if (rangesPath != nullptr && !digestRangesFile(rangesPath, inputs.rangesDigest, &inputs.legacyRangesDigest))
        fatal("Couldn't read %s: %s\n", rangesPath, std::strerror(errno));
    inputs.coils = theInductors;
    inputs.startRanges = startRanges;
    inputs.workers = workerCount();
    inputs.candidatesPerGeneration = candidatesPerGeneration(intSetting<kSave>(), intSetting<kTries>());
    inputs.minCandidatesPerGeneration = fewestCandidatesPerGeneration(intSetting<kSave>(), intSetting<kTries>());
    if (resumeAsked) {
        std::string cause;
        // Read whole and checked, then put in place of the run's state
        // before the workers start; the run's own start (the seed, the start
        // population) is then passed over.
        SavedSearch saved;
        if (!readSnapshot(path, inputs, saved, cause)) {
            reportCannotResume(cause);
            fatalExit();
        }
        resumedEnded = saved.ended;
        restoreSnapshot(std::move(saved));
        // The workers start at the phases they stood at before the jobs they
        // are given again: the exact alternation, with no job thrown away.
        workerSlots.beforeSavedJobs();
    } else {
        refuseOverwritingSnapshot(path);
    }
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode))
        fatal("Cannot write snapshots to %s: %s\n", path, std::strerror(EISDIR));
    if (const char* problem = outFileProblem(path)) fatal("Cannot write snapshots to %s: %s\n", path, problem);
}

bool resuming() { return resumeAsked; }

bool snapshotsOn() { return snapshotsWritten; }

Resumed resumeRun() {
    std::printf("Resuming from %s at generation %d\n", statePath(), gen);
    monitorResumed();
    if (resumedEnded && !continuesFinishedRun()) return Resumed::finished;
    handOutSavedJobs();
    return Resumed::continues;
}

std::optional<RunOutcome> generationEnd(int32_t done, bool ended, const StopRequest& stop, bool& failed) {
    if (!snapshotsWritten) return std::nullopt;
    const int signal = stopSignalNumber();
    const bool stopping = signal != 0 || stop.escape;
    if (ended || stopping || done % intSetting<kStateEvery>() == 0) {
        if (saveSnapshot(done, ended, ended || stopping, failed) && stopping)
            std::printf("State saved in %s at generation %d\n", statePath(), done);
    }
    if (!stopping) return std::nullopt;
    if (signal != 0) {
        std::printf("Interrupted by %s\n", stopSignalName(signal));
        return RunOutcome{SearchEnd::signal, signal};
    }
    std::printf("Quitting early\n");
    return RunOutcome{SearchEnd::escape};
}
