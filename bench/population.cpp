// Time to build the start population: save + 1 random sets drawn, checked
// against the duplicate library, scored on the 60 example coils and ranked,
// as the driver does before the first generation. Ranked all at once
// (rankAll) against the plain reference, inserting the sets one by one with
// sortgen, whose time grows with the square of save. Target: save 1000000
// in under 10 s. The reference runs at the smaller sizes only: at 1000000
// it would take hours.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_support.h"
#include "coils/equation.h"
#include "search/library.h"
#include "search/operators.h"
#include "search/random.h"
#include "search/rankall.h"
#include "search/sort.h"

namespace {

std::vector<ResultRecord*> drawSets(int save) {
    const ExampleTables& tables = exampleTables();
    S = tables.settings;
    R = tables.ranges;
    init_genrand64(static_cast<uint64_t>(S[kSeed].value.l));
    initLibrary();
    std::vector<ResultRecord*> sets;
    sets.reserve(static_cast<size_t>(save) + 1);
    while (sets.size() < static_cast<size_t>(save) + 1) {
        ResultRecord* set = genRandResult();
        if (doneAlready(set)) {
            freeResult(set);
            continue;
        }
        evalInductors(exampleCoils(), set);
        sets.push_back(set);
    }
    return sets;
}

void giveBack(ResultRecord* list) {
    while (list != nullptr) {
        ResultRecord* next = list->next;
        freeResult(list);
        list = next;
    }
}

void startPopulation(benchmark::State& state, bool allAtOnce) {
    const int save = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<ResultRecord*> sets = drawSets(save);
        ResultRecord* list = nullptr;
        if (allAtOnce) {
            list = rankAll(nullptr, sets);
        } else {
            for (ResultRecord* set : sets) list = sortgen(list, set);
        }
        benchmark::DoNotOptimize(list);
        state.PauseTiming();
        giveBack(list);
        state.ResumeTiming();
    }
    state.counters["save"] = save;
}

void allAtOnce(benchmark::State& state) { startPopulation(state, true); }
void oneByOne(benchmark::State& state) { startPopulation(state, false); }

}  // namespace

BENCHMARK(allAtOnce)->Arg(10000)->Arg(30000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(oneByOne)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
