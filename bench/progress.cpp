// Cost of the progress line and of the generation log against the work
// they report on.
//
//   job_tick     what the driver adds per candidate while the line is shown:
//                a clock read and a count, with a draw whenever 0.1 s of real
//                time has passed (so draws are included at their real rate)
//   draw         one draw: the figures, the text, the terminal width and the
//                write (to /dev/null here)
//   example_job  the reference: one candidate's grid search of the example
//                fit (60 coils, minormax 20000), the least work a candidate
//                of the quick-start fit costs before any exchange overhead
//   log_rewrite  one rewrite of the generation log (temporary file and rename)
//                holding 10^3 to 10^5 generations, made every 100 generations
//
// The share of wall time is job_tick / example_job, plus 10 draws a second,
// plus one log rewrite per 100 generations (7000 candidates at the defaults).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "common/clock.h"
#include "grid/gridsearch.h"
#include "reports/csvfiles.h"
#include "reports/progress.h"
#include "search/searchstate.h"
#include "search/sort.h"
#include "settings/symtab.h"
#include "testhooks.h"

namespace {

// The least-squares fit of the example coils (see examples/ranges-example.txt).
constexpr double kFit[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985, -4.98,   1,      427.9,
                                            -3.36e5,  -2.14,   0.250, 1,       -9.1e-4, 0.00650,
                                            1,        -2.24,   -0.27};

// The example coils and ranges, read once with the reader's listing discarded.
void loadExample() {
    static const bool loaded = [] {
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        readTestInductors(projectPath("examples/coils-example.txt").c_str());
        resetTables();
        readSymtab(projectPath("examples/ranges-example.txt").c_str());
        computeInc();
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(null);
        close(saved);
        return true;
    }();
    (void)loaded;
}

// A line drawn to /dev/null, with a population to show.
struct Line {
    int fd = open("/dev/null", O_WRONLY);
    ResultRecord best{};
    Line() {
        best.goodness = 0.0812345;
        collected = &best;
        gen = 12;
        progressBegin(fd, monotonicSeconds());
    }
    ~Line() {
        progressEnd();
        collected = nullptr;
        close(fd);
    }
};

void jobTick(benchmark::State& state) {
    const Line line;
    for (auto _ : state) progressJob(monotonicSeconds());
}
BENCHMARK(jobTick);

void draw(benchmark::State& state) {
    const Line line;
    double now = monotonicSeconds();
    for (auto _ : state) {
        now += 1.0;  // always due
        progressJob(now);
    }
}
BENCHMARK(draw);

void exampleJob(benchmark::State& state) {
    loadExample();
    ResultRecord candidate{};
    for (int k = 0; k < kCoefficientCount; ++k) candidate.coefficients[k] = kFit[k];
    for (auto _ : state) {
        ResultRecord* result = runMajor(theInductors, &candidate);
        benchmark::DoNotOptimize(result->goodness);
        freeResult(result);
    }
}
BENCHMARK(exampleJob)->Unit(benchmark::kMicrosecond);

void logRewrite(benchmark::State& state) {
    std::string text = kGenerationCsvHeader;
    for (int32_t g = 0; g < state.range(0); ++g)
        text += generationCsvRow({g, 70u * static_cast<uint32_t>(g), {0.0812345678901234, 0.0812345678901234,
                                  0.0812345678901234, 0.0812345678901234}, 70 * g + 7, g / 10, g * 0.07123456789});
    char dir[] = "/tmp/quelmo-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(dir) + "/log.csv";
    std::string error;
    for (auto _ : state)
        if (!writeCsvFile(path.c_str(), text, error)) state.SkipWithError(error.c_str());
    state.counters["bytes"] = static_cast<double>(text.size());
    unlink(path.c_str());
    rmdir(dir);
}
BENCHMARK(logRewrite)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
