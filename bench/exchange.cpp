// The exchange between master and workers.
//
// RoundTrip: one job at a time through the file exchange, in process, with
// a one-point grid (minormax 1), so what is timed is the exchange itself:
// the request written and renamed, the doorbell, the worker's read, its
// reply and wake-up, and the master's read.
//
// Run: whole runs of the program on the example coils, timed as processes:
// short jobs with one worker (the per-job cost of a run), the quick-start
// fit, and the example's jobs with one and two workers. When the variable
// QUELMO_REFERENCE_BIN names another build of the program (for example the
// previous commit's), every run is timed with it too, in the same process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "settings/symtab.h"
#include "transport/process.h"

namespace fs = std::filesystem;

namespace {

const std::string kSource = QUELMO_SOURCE_DIR;

fs::path makeScratch() {
    std::string pattern = (fs::temp_directory_path() / "quelmo-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// Reads a ranges file with the listing it prints sent to /dev/null.
void readRangesQuietly(const std::string& path) {
    std::fflush(stdout);
    const int kept = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    readSymtab(path.c_str());
    std::fflush(stdout);
    dup2(kept, STDOUT_FILENO);
    close(null);
    close(kept);
}

void BM_RoundTrip(benchmark::State& state) {
    // One worker for the whole benchmark process, in a scratch directory.
    static const bool started = [] {
        const fs::path dir = makeScratch();
        const std::string ranges = (dir / "ranges.txt").string();
        std::ofstream(ranges) << exampleSearchRanges()
                              << "minormax 1\nprocesses 1\n";
        readTestInductors((kSource + "/examples/coils-example.txt").c_str());
        readRangesQuietly(ranges);
        fs::current_path(dir);
        initProcs(R);
        std::atexit(terminateProcesses);
        return true;
    }();
    (void)started;
    ResultRecord* candidate = newResult();
    for (int k = 0; k < 15; ++k) candidate->coefficients[k] = (R[k].low + R[k].high) / 2;
    for (auto _ : state) {
        handOver(0, candidate);
        while (!hasFinished(0)) awaitActivity(0.001);
        freeResult(takeResult(0));
    }
    freeResult(candidate);
    state.counters["jobs/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

struct RunCase {
    const char* name;
    const char* settings;
    int jobs;  // candidates the run hands out
};

constexpr RunCase kRuns[] = {
    {"short_jobs_1_worker", "minormax 1\nmaxgenerations 20\nprocesses 1\n", 20 * 70},
    {"quick_start", "", 200 * 70},
    {"example_jobs_1_worker", "maxgenerations 60\nprocesses 1\n", 60 * 70},
    {"example_jobs_2_workers", "maxgenerations 60\nprocesses 2\n", 60 * 70},
};

// Runs `binary` on the example coils in a scratch directory and waits for it.
void runOnce(const std::string& binary, const RunCase& run) {
    const fs::path dir = makeScratch();
    std::ofstream(dir / "ranges.txt") << exampleSearchRanges()
                                      << run.settings;
    const bool ran = runProgram(binary, dir.string(), kSource + "/examples/coils-example.txt");
    fs::remove_all(dir);
    if (!ran) throw std::runtime_error("run failed");
}

void BM_Run(benchmark::State& state, const std::string& binary, const RunCase& run) {
    for (auto _ : state) runOnce(binary, run);
    state.counters["ms/job"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * run.jobs * 1e-3,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

const bool registered = [] {
    std::vector<std::pair<std::string, std::string>> binaries = {{"current", QUELMO_BIN}};
    if (const char* reference = std::getenv("QUELMO_REFERENCE_BIN")) binaries.push_back({"reference", reference});
    for (const RunCase& run : kRuns)
        for (const auto& [label, binary] : binaries)
            benchmark::RegisterBenchmark(("BM_Run/" + std::string(run.name) + "/" + label).c_str(),
                                         [path = binary, &run](benchmark::State& state) { BM_Run(state, path, run); })
                ->Unit(benchmark::kSecond)
                ->Iterations(1)
                ->Repetitions(3)
                ->ReportAggregatesOnly(true)
                ->UseRealTime();
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
