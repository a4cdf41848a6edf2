// Time of compare 1 with 5 repeats of 10-fold cross-validation (cvrepeats 5)
// on 10^4 coils, against the plain reference in the same run: the polish of
// the run's own final set on the same coils, which every run with the
// setting makes anyway.
//
// Coils: the 60 example coils, each copied 167 times (10020 coils) scaled to
// a similar coil (radius, wire radius and length by 0.9 to 1.1, the measured
// inductance by the same factor and a fixed pseudo-random 0.5 % more).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench_support.h"
#include "refine/compare.h"
#include "refine/polish.h"

namespace {

constexpr int kCopies = 167;

const std::vector<const InductorRecord*>& manyCoils() {
    static const std::vector<const InductorRecord*> coils = [] {
        std::vector<const InductorRecord*> list;
        std::mt19937_64 random(20261208);
        std::normal_distribution<double> noise(0.0, 0.005);
        std::vector<const InductorRecord*> examples;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) examples.push_back(coil);
        std::reverse(examples.begin(), examples.end());
        for (int copy = 0; copy < kCopies; ++copy)
            for (const InductorRecord* coil : examples) {
                const double s = 0.9 + 0.2 * copy / (kCopies - 1);
                InductorRecord* scaled = newInductor();
                *scaled = *coil;
                scaled->radius *= s;
                scaled->wire *= s;
                scaled->length *= s;
                scaled->measuredInductance *= s * (1 + noise(random));
                scaled->next = nullptr;
                list.push_back(scaled);
            }
        for (size_t i = 0; i + 1 < list.size(); ++i)
            const_cast<InductorRecord*>(list[i])->next = const_cast<InductorRecord*>(list[i + 1]);
        return list;
    }();
    return coils;
}

OwnForm ownForm() {
    OwnForm own;
    ResultRecord set{};
    set.coefficients = kFoundAfter20Generations;
    own.held = polishSet(manyCoils().front(), &set, 0).held;
    own.coefficients = set.coefficients;
    return own;
}

void plainFit(benchmark::State& state) {
    for (auto _ : state) {
        ResultRecord set{};
        set.coefficients = kFoundAfter20Generations;
        benchmark::DoNotOptimize(polishSet(manyCoils().front(), &set, 0));
    }
    state.counters["coils"] = static_cast<double>(manyCoils().size());
}

void compare(benchmark::State& state) {
    const OwnForm own = ownForm();
    Comparison c;
    for (auto _ : state) {
        c = compareForms(manyCoils(), own, 10, static_cast<int>(state.range(0)), 0);
        benchmark::DoNotOptimize(c);
    }
    state.counters["coils"] = static_cast<double>(manyCoils().size());
    if (c.recommended >= 0) state.counters["recommended_prediction_rms"] = c.rows[c.recommended].cvMean;
}

}  // namespace

BENCHMARK(plainFit)->Name("PlainFit")->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(compare)->Name("Compare/repeats")->Arg(5)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
