// Cost of a fit of the equation as a correction to a classical formula
// (setting base) against a fit of the equation alone of the same size, the
// plain reference. A fit here is what the program does with the coils from
// reading them to the final goodness, minus the search's random choices:
// read the 60 coils of examples/coils-example.txt, give them their targets
// under the base, then 70 local grid searches (one generation of the
// example fit: minormax 20000, windows of 6, 7776 points each) around the
// best set of the form and a final goodness. The reference fits the
// equation alone with examples/ranges-example.txt around its best set; the
// corrections use examples/ranges-sheet.txt around the sheet correction's
// best set. Target: a `base sheet` fit at most 5 % above a `base none` fit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "settings/basesetting.h"
#include "settings/symtab.h"
#include "testhooks.h"
#include "grid/gridsearch.h"

namespace {

constexpr const char* kBases[] = {"none", "wheeler", "sheet", "sheetrosa"};
constexpr int kWalks = 70;

// The best sets of the two forms on the example coils (least squares).
constexpr std::array<double, kCoefficientCount> kEquationFit = {
    -8.73e-6, 0.00996, 1.985, -4.98, 1, 427.9, -3.36e5, -2.14, 0.250, 1, -9.1e-4, 0.00650, 1, -2.24, -0.27};
constexpr std::array<double, kCoefficientCount> kSheetFit = {
    1.0233, 7.82, -393.05, 6171.7, 1, 394.6, -2.3378e5, 1, -3.2196e-3, 3.592e-5, -1.4995e-7, 1, -4.036, 44.256, -157.87};

// Reads a ranges file into S and R, its listing kept out of the report.
void readRangesQuietly(const char* relative) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    resetTables();
    readSymtab(projectPath(relative).c_str());
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
}

void releaseCoils() {
    while (theInductors != nullptr) {
        InductorRecord* next = theInductors->next;
        std::free(theInductors->fileName);
        std::free(theInductors);
        theInductors = next;
    }
}

void fit(benchmark::State& state) {
    const bool none = state.range(0) == 0;
    readRangesQuietly(none ? "examples/ranges-example.txt" : "examples/ranges-sheet.txt");
    std::free(S[kBase].value.s);
    S[kBase].value.s = strdup(kBases[state.range(0)]);
    S[kMinorMax].value.i = 20000;
    ResultRecord candidate{};
    candidate.coefficients = none ? kEquationFit : kSheetFit;
    candidate.changeMask = 0x7fff;
    const std::string coils = projectPath("examples/coils-example.txt");
    double goodness = 0;
    for (auto _ : state) {
        theInductors = nullptr;
        readTestInductors(coils.c_str());
        applyBase();
        for (int walk = 0; walk < kWalks; ++walk) {
            ResultRecord* result = runMajor(theInductors, &candidate);
            goodness = result->goodness;
            freeResult(result);
        }
        ResultRecord final = candidate;
        evalInductors(theInductors, &final);
        benchmark::DoNotOptimize(final.goodness);
        releaseCoils();
    }
    state.counters["best_goodness"] = goodness;
    for (const bool forward : {true, false}) {
        const GridWindows windows = planGridWindows(&candidate, forward);
        double points = 1;
        for (int k = 0; k < kCoefficientCount; ++k) points *= windows.count[k];
        state.counters[forward ? "points_fwd" : "points_bwd"] = points;
    }
    state.SetLabel(std::string("base ") + kBases[state.range(0)]);
}

}  // namespace

BENCHMARK(fit)->Name("Fit/base")->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_MAIN();
