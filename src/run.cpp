// The master's run sequence: the banner, the input files, the checks of the
// settings, the workers, the search and the exit status.
#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"
#include "geneticproc.h"
#include "library.h"
#include "process.h"
#include "random.h"
#include "readind.h"
#include "symtab.h"
#include "version.h"

namespace {

void printUsage() {
    std::printf("Usage: quelmo <testinductors> [<ranges>] [outf]\n");
    std::printf("  Coefficients: ");
    for (const char* name : kCoefficientNames) std::printf(" %s ", name);
    std::printf("\n");
}

// The second argument is the ranges file when it opens; otherwise, as the
// last argument, it names the result file. A third argument names the
// result file.
void readArguments(int argc, char** argv) {
    if (argc < 3) return;
    if (FILE* ranges = std::fopen(argv[2], "rb")) {
        std::fclose(ranges);
        readSymtab(argv[2]);
        if (argc > 3) S[kResultFile].value.s = strdup(argv[3]);
    } else if (argc == 3) {
        S[kResultFile].value.s = strdup(argv[2]);
    }
}

// Settings the search cannot work with, refused before anything starts.
void refuseUnusableSettings() {
    settleWorkerCount();
    const int save = S[kSave].value.i;
    if (save < 4) fatal("Setting save is %d, accepted range is 4 or more\n", save);
    const int raiselower = S[kRaiseLower].value.i;
    if (raiselower < 1) fatal("Setting raiselower is %d, accepted range is 1 or more\n", raiselower);
    for (const int flag : {kOrdered, kResume, kPolish}) {
        const int value = S[flag].value.i;
        if (value != 0 && value != 1)
            fatal("Setting %s is %d, accepted range is 0 to 1\n", S[flag].name, value);
    }
    const int stateevery = S[kStateEvery].value.i;
    if (stateevery < 1) fatal("Setting stateevery is %d, accepted range is 1 or more\n", stateevery);
}

}  // namespace

int runMaster(int argc, char** argv) {
    std::printf("quelmo V%d.%02d.%03d %s RMS goodness\n", kVersionMajor, kVersionMinor, kVersionPatch,
                kEquationLabel);
    if (argc < 2) {
        printUsage();
        return 0;
    }
    readTestInductors(argv[1]);
    readArguments(argc, argv);
    dumpRangeTable(stdout, "test range\n");
    refuseUnusableSettings();
    init_genrand64(static_cast<uint64_t>(S[kSeed].value.l));
    initProcs();
    initLibrary();
    optimizeProc();
    terminateProcesses();
    // A final report that could not write its result file is no success.
    return resultFileFailed ? 255 : 0;
}
