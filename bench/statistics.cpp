// Time of the fit statistics of the final set (setting statistics), alone
// and together with 10-fold cross-validation and pruning (crossvalidate 10,
// prune 1), against the polish that precedes them, the plain reference.
// Target: at most 200 ms for everything, on 60 and on 120 coils.
//
// Coils: the 60 example coils and the 120 of doubledCoils (bench_support.h).
// The set analysed is the polished best set of the first 20 generations.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench_support.h"
#include "refine/fitanalysis.h"
#include "refine/polish.h"

namespace {

struct Final {
    std::vector<const InductorRecord*> coils;
    ResultRecord set;
    int32_t held;
};

Final finalSet(int count) {
    Final f{{}, {}, 0};
    const InductorRecord* list = coilsOf(count);
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) f.coils.push_back(coil);
    std::reverse(f.coils.begin(), f.coils.end());
    f.set.coefficients = kFoundAfter20Generations;
    f.held = polishSet(list, &f.set, 0).held;
    return f;
}

void analysis(benchmark::State& state, int folds, bool prune) {
    const Final f = finalSet(static_cast<int>(state.range(0)));
    FitAnalysis a;
    for (auto _ : state) {
        a = analyseFit(f.coils, &f.set, 0, f.held, folds, prune);
        benchmark::DoNotOptimize(a);
    }
    if (!a.statistics.unavailable.empty()) state.SkipWithError(a.statistics.unavailable.c_str());
    if (a.crossValidation) state.counters["prediction_rms"] = a.crossValidation->rms;
    if (a.pruning) state.counters["pruned_terms"] = static_cast<double>(a.pruning->steps.size());
}

void polish(benchmark::State& state) {
    const InductorRecord* list = coilsOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ResultRecord set{};
        set.coefficients = kFoundAfter20Generations;
        benchmark::DoNotOptimize(polishSet(list, &set, 0));
    }
}

}  // namespace

BENCHMARK_CAPTURE(analysis, statistics, 0, false)->Name("Statistics/coils")->Arg(60)->Arg(120)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(analysis, all, 10, true)
    ->Name("StatisticsCrossValidatePrune/coils")
    ->Arg(60)
    ->Arg(120)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(polish)->Name("Polish/coils")->Arg(60)->Arg(120)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
