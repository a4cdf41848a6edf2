// The final report's ranking of the coils.
//
//   rank/insertion  the one-by-one insertion that defines the order (sortInd),
//                   quadratic: the reference
//   rank/sorted     the report's ranking (rankWorstFirst), same order
//   run_100000      a whole run of quelmo with 10^5 coils and maxgenerations 0
//                   (start population, ranking, report), 2 workers; the target
//                   is under 5 s
//
// The errors are drawn from a few hundred values with some NaNs, so that ties
// and passed-over coils occur as in real data.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "reports/ranking.h"
#include "reports/reports.h"

namespace fs = std::filesystem;

namespace {

std::vector<InductorRecord> coilsWithErrors(size_t n) {
    std::mt19937_64 random(7);
    std::vector<InductorRecord> coils(n);
    for (InductorRecord& coil : coils)
        coil.squaredError = random() % 100 == 0 ? NAN : static_cast<double>(random() % 500) * 1e-4;
    return coils;
}

void BM_RankInsertion(benchmark::State& state) {
    std::vector<InductorRecord> coils = coilsWithErrors(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        InductorRecord* list = nullptr;
        for (InductorRecord& coil : coils) list = sortInd(list, &coil);
        benchmark::DoNotOptimize(list);
    }
}
BENCHMARK(BM_RankInsertion)->Name("rank/insertion")->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_RankSorted(benchmark::State& state) {
    std::vector<InductorRecord> coils = coilsWithErrors(static_cast<size_t>(state.range(0)));
    std::vector<InductorRecord*> order;
    for (InductorRecord& coil : coils) order.push_back(&coil);
    for (auto _ : state) benchmark::DoNotOptimize(rankWorstFirst(order));
}
BENCHMARK(BM_RankSorted)->Name("rank/sorted")->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// 10^5 coils: the example coils over and over, each measured a little off so
// that the errors differ.
void writeManyCoils(const fs::path& path, int count) {
    std::ifstream example(projectPath("examples/coils-example.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(example, line);)
        if (!line.empty() && line[0] != '/' && !std::isalpha(static_cast<unsigned char>(line[0])))
            lines.push_back(line);
    std::ofstream out(path);
    for (int i = 0; i < count; ++i) {
        const std::string& line = lines[static_cast<size_t>(i) % lines.size()];
        const size_t comma = line.find(',');
        const std::string rest = line.substr(comma, line.rfind(',') - comma);
        out << std::stod(line.substr(0, comma)) * (1 + 1e-6 * (i % 997)) << rest << ",c" << i << '\n';
    }
}

void BM_Run100000(benchmark::State& state) {
    std::string pattern = (fs::temp_directory_path() / "quelmo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const fs::path dir = pattern;
    writeManyCoils(dir / "coils.txt", 100000);
    std::ifstream ranges(projectPath("examples/ranges-example.txt"));
    std::ofstream(dir / "ranges.txt") << ranges.rdbuf() << "maxgenerations 0\nprocesses 2\ncheckpoint cp.txt\n";
    for (auto _ : state) {
        if (!runProgram(QUELMO_BIN, dir.string(), "coils.txt")) state.SkipWithError("run failed");
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_Run100000)->Name("run_100000")->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
