// Time of the least-squares polish (setting polish) against one goodness
// evaluation of the same coils, the plain reference: a polish costs what
// that many goodness evaluations cost. Target: at most 50 ms a polish.
//
// Coils: the 60 of examples/coils-example.txt, and the 120 of doubledCoils
// (bench_support.h). Start set: the best set of the first 20 generations of
// the example fit with one worker (goodness 0.0875).
#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

#include "bench_support.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "refine/polish.h"

namespace {

ResultRecord startSet() {
    ResultRecord set{};
    set.coefficients = kFoundAfter20Generations;
    return set;
}

void polish(benchmark::State& state) {
    const InductorRecord* coils = coilsOf(static_cast<int>(state.range(0)));
    PolishOutcome outcome;
    for (auto _ : state) {
        ResultRecord set = startSet();
        outcome = polishSet(coils, &set, 0);
        benchmark::DoNotOptimize(set);
    }
    if (!outcome.replaced) state.SkipWithError(("the polish kept the found set: " + outcome.kept).c_str());
    state.counters["iterations"] = outcome.iterations;
    state.counters["goodness_before"] = outcome.found;
    state.counters["goodness_after"] = outcome.polished;
}

void goodness(benchmark::State& state) {
    const InductorRecord* coils = coilsOf(static_cast<int>(state.range(0)));
    ResultRecord set = startSet();
    for (auto _ : state) {
        evalInductors(coils, &set);
        benchmark::DoNotOptimize(set.goodness);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(polish)->Name("Polish/coils")->Arg(60)->Arg(120)->Unit(benchmark::kMillisecond);
BENCHMARK(goodness)->Name("Goodness/coils")->Arg(60)->Arg(120)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
