// The master's run sequence: the banner, the input files, the checks of the
// settings and outputs, the workers, the search and the exit status.
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coils/readind.h"
#include "common/fatal.h"
#include "common/version.h"
#include "reports/reports.h"
#include "run/help.h"
#include "run/outputs.h"
#include "search/driver.h"
#include "search/library.h"
#include "search/random.h"
#include "settings/basesetting.h"
#include "settings/symtab.h"
#include "state/resume.h"
#include "workers/gridsearch.h"
#include "workers/process.h"

namespace {

constexpr int kMaxSave = 1000000;
constexpr int kMaxTries = 1000000;

// The second argument is the ranges file when it opens; otherwise, as the
// last argument, it names the result file. A third argument names the
// result file. Returns the ranges file's path, or null when none was read.
const char* readArguments(int argc, char** argv) {
    if (argc < 3) {
        noteRangesNotRead(argc, argv, nullptr);
        return nullptr;
    }
    if (FILE* ranges = std::fopen(argv[2], "rb")) {
        std::fclose(ranges);
        readSymtab(argv[2]);
        if (argc > 3) S[kResultFile].value.s = strdup(argv[3]);
        return argv[2];
    }
    noteRangesNotRead(argc, argv, std::strerror(errno));
    if (argc == 3) S[kResultFile].value.s = strdup(argv[2]);
    return nullptr;
}

// Settings the search cannot work with, refused before anything starts.
void refuseUnusableSettings() {
    settleWorkerCount();
    // Bounds on the settings that size the population and the draws of a
    // generation: far beyond them the duplicate library fills up, memory
    // runs out or a generation never ends.
    const int save = S[kSave].value.i;
    if (save < 4 || save > kMaxSave) fatal("Setting save is %d, accepted range is 4 to %d\n", save, kMaxSave);
    const int tries = S[kTries].value.i;
    if (tries > kMaxTries) fatal("Setting tries is %d, accepted range is %d or less\n", tries, kMaxTries);
    const int raiselower = S[kRaiseLower].value.i;
    if (raiselower < 1) fatal("Setting raiselower is %d, accepted range is 1 or more\n", raiselower);
    for (const int flag : {kOrdered, kResume, kPolish, kStatistics, kPrune, kBaselines}) {
        const int value = S[flag].value.i;
        if (value != 0 && value != 1)
            fatal("Setting %s is %d, accepted range is 0 to 1\n", S[flag].name, value);
    }
    const int stateevery = S[kStateEvery].value.i;
    if (stateevery < 1) fatal("Setting stateevery is %d, accepted range is 1 or more\n", stateevery);
    // One fold would leave nothing to fit to.
    const int folds = S[kCrossValidate].value.i;
    if (folds < 0 || folds == 1) fatal("Setting crossvalidate is %d, accepted range is 0 or 2 or more\n", folds);
    // A base formula the program does not know is refused with the known ones.
    chosenBase();
}

}  // namespace

int runMaster(int argc, char** argv) {
    std::printf("quelmo V%d.%02d.%03d %s RMS goodness\n", kVersionMajor, kVersionMinor, kVersionPatch,
                kEquationLabel);
    if (argc < 2) {
        printUsage();
        return 0;
    }
    if (asksForHelp(argc, argv)) {
        printHelp(argv[1]);
        return 0;
    }
    readTestInductors(argv[1]);
    const char* rangesPath = readArguments(argc, argv);
    dumpRangeTable(stdout, "test range\n");
    refuseUnusableSettings();
    checkRunFiles(argv[1], rangesPath);
    // Before the snapshots, which score their sets on the coils, and the
    // workers, which are given the coils.
    applyBase();
    prepareSnapshots(argv[1], rangesPath);
    init_genrand64(static_cast<uint64_t>(S[kSeed].value.l));
    // Settled here, once: forked workers inherit the walk variant, worker
    // ranks are sent it.
    gridPathChosen();
    initProcs();
    watchStopSignals();
    initLibrary();
    optimizeProc();
    terminateProcesses();
    // A final report that could not write its result file, or a snapshot
    // that could not be written, is no success.
    return resultFileFailed || snapshotFailed ? 255 : 0;
}
