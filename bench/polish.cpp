// Time of the least-squares polish (setting polish) against one goodness
// evaluation of the same coils, the plain reference: a polish costs what
// that many goodness evaluations cost. Target: at most 50 ms a polish.
//
// Coils: the 60 of examples/coils-example.txt, and 120 made of those and
// a geometrically similar copy of each (radius, wire radius and length
// scaled by 0.95, 0.97, 1.03 or 1.05 in turn, the measured inductance by the
// same factor, as for a coil built to scale). Start set: the best set of the
// first 20 generations of the example fit with one worker (goodness 0.0875).
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

constexpr std::array<double, kCoefficientCount> kFoundAfter20Generations = {
    0.00002442312341, 0.00009804970108, 3.76357191414569, -31.69034624432601, 1.24672884299402,
    -280.72249376538269, 277172.27999999996973, -0.70913176626091, 0.0, 1.01986636527706,
    -0.00054010473582, 0.00887910499358, 1.13531389598634, -0.63392294585783, -11.01539417776527};

// The example coils followed by their scaled copies.
const InductorRecord* doubledCoils() {
    static const InductorRecord* coils = [] {
        constexpr double kFactors[] = {0.95, 0.97, 1.03, 1.05};
        InductorRecord* head = nullptr;
        int i = 0;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next, ++i) {
            const double s = kFactors[i % 4];
            InductorRecord* copy = newInductor();
            *copy = *coil;
            copy->radius *= s;
            copy->wire *= s;
            copy->length *= s;
            copy->measuredInductance *= s;
            copy->next = head;
            head = copy;
        }
        // The originals after the copies: 120 coils in one list.
        InductorRecord* last = head;
        while (last->next != nullptr) last = last->next;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) {
            InductorRecord* copy = newInductor();
            *copy = *coil;
            copy->next = nullptr;
            last->next = copy;
            last = copy;
        }
        return head;
    }();
    return coils;
}

const InductorRecord* coilsOf(int count) { return count == 60 ? exampleCoils() : doubledCoils(); }

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
