// The master's run sequence: the banner, the input files, the checks of the
// settings and outputs, the workers, the search and the exit status.
#include "run/run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coils/readind.h"
#include "coils/unitcheck.h"
#include "common/fatal.h"
#include "common/version.h"
#include "engine/driver.h"
#include "engine/outcome.h"
#include "engine/resume.h"
#include "grid/gridsearch.h"
#include "reports/finalreport.h"
#include "reports/reports.h"
#include "run/fitcheck.h"
#include "run/help.h"
#include "run/lastresort.h"
#include "run/outputs.h"
#include "search/library.h"
#include "search/random.h"
#include "settings/holdsetting.h"
#include "settings/settingstable.h"
#include "common/stopsignals.h"
#include "settings/basesetting.h"
#include "settings/ownvalues.h"
#include "settings/reportstyle.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"
#include "transport/process.h"

namespace {

// The second argument is the ranges file when it opens; otherwise, as the
// last argument, it names the result file. A third argument names the
// result file. Returns the ranges file's path, or null when none was read,
// and then says why in `setup`.
const char* readArguments(int argc, char** argv, SearchSetup& setup) {
    if (argc < 3) {
        setup.noRangesReason = rangesNotReadReason(argc, argv, nullptr);
        return nullptr;
    }
    if (FILE* ranges = std::fopen(argv[2], "rb")) {
        std::fclose(ranges);
        readSymtab(argv[2]);
        if (argc > 3) S[kResultFile].value.s = strdup(argv[3]);
        return argv[2];
    }
    setup.noRangesReason = rangesNotReadReason(argc, argv, std::strerror(errno));
    if (argc == 3) S[kResultFile].value.s = strdup(argv[2]);
    return nullptr;
}

// Settings the search cannot work with, refused before anything starts.
void refuseUnusableSettings() {
    settleWorkerCount();
    // The accepted values are in the settings table. Far beyond the bounds
    // on save and tries the duplicate library fills up, memory runs out or a
    // generation never ends; one fold of cross-validation would leave
    // nothing to fit to.
    refuseUnacceptedSettings();
    // A base formula the program does not know is refused with the known ones.
    chosenBase();
    refuseUnusableUncertainty();
    refuseUnusableHold();
    warnAboutUnheldSingleValues();
    chosenReportStyle();
    warnAboutIdleSettings();
}

// The one end of every run whose workers have started, however its search
// ended: the final report when the end has one, the workers stopped, and the
// exit status by the table in docs/output.md.
int endRun(const RunOutcome& outcome, const SearchSetup& setup) {
    const bool reportFailed = makesFinalReport(outcome) && !finalReport(setup.checkpoints);
    terminateProcesses();
    // A stop signal that came during the final report: the report is whole,
    // and the status says that the run was interrupted.
    return exitStatus(outcome, {reportFailed || outcome.snapshotFailed, stopSignalNumber()});
}

}  // namespace

int runMaster(int argc, char** argv) {
    installLastResort();
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
    rememberCoilFile(argv[1]);
    warnAboutUnits(theInductors, argv[1]);
    SearchSetup setup;
    const char* rangesPath = readArguments(argc, argv, setup);
    setup.startRanges = R;
    dumpRangeTable(stdout, "test range\n");
    refuseUnusableSettings();
    setup.checkpoints = checkRunFiles(argv[1], rangesPath);
    // Before the snapshots, which score their sets on the coils, and the
    // workers, which are given the coils.
    applyBase();
    checkCoilsToFit(argv[1]);
    // Empty before a snapshot to resume from fills it; a resumed run takes
    // its random source from the snapshot, not from the seed.
    initLibrary();
    prepareSnapshots(argv[1], rangesPath, setup.startRanges);
    if (!resuming()) init_genrand64(static_cast<uint64_t>(longSetting<kSeed>()));
    // Settled here, once: forked workers inherit the walk variant, worker
    // ranks are sent it.
    gridPathChosen();
    holdStopSignals();
    initProcs(setup.startRanges);
    catchStopSignals();
    return endRun(optimizeProc(setup), setup);
}
