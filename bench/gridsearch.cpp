// Speed of the local grid search in coil-point evaluations per second (grid
// points x coils), for every walk variant this CPU supports, the literal
// reference walk, and a roofline loop of two independent divisions per
// element (the two divisions per coil-point that no exact walk can avoid).
//
// Grids: "million" is about a million points (six windows of 10 under the
// default cap) in both offer orders; "example" is the typical job of the
// example ranges (minormax 20000, 7776 points), whose time per call includes
// all per-call overhead. The coils are the 60 of examples/coils-example.txt.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "gridsearch_reference.h"
#include "settings/symtab.h"
#include "testhooks.h"
#include "workers/gridsearch.h"

namespace {

// The least-squares fit of the example coils (see examples/ranges-example.txt).
constexpr double kFit[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985, -4.98,   1,      427.9,
                                            -3.36e5,  -2.14,   0.250, 1,       -9.1e-4, 0.00650,
                                            1,        -2.24,   -0.27};

int coilCount() {
    int count = 0;
    for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) ++count;
    return count;
}

ResultRecord fitSet() {
    ResultRecord set{};
    for (int k = 0; k < kCoefficientCount; ++k) set.coefficients[k] = kFit[k];
    return set;
}

enum class Grid { millionForward, millionBackward, example };

// The tables as the example ranges file sets them, read once.
struct Tables {
    std::array<SymbolEntry, kSymbolCount> settings;
    std::array<RangeEntry, kCoefficientCount> ranges;
};

const Tables& exampleTables() {
    static const Tables tables = [] {
        // The ranges reader lists the settings; keep that out of the report.
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        resetTables();
        readSymtab(projectPath("examples/ranges-example.txt").c_str());
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(null);
        close(saved);
        return Tables{S, R};
    }();
    return tables;
}

int64_t pointCount(const ResultRecord& candidate, bool forward) {
    const GridWindows windows = planGridWindows(&candidate, forward);
    int64_t points = 1;
    for (int k = 0; k < kCoefficientCount; ++k) points *= windows.count[k];
    return points;
}

// Sets the tables and swapper for the grid; returns its number of points per
// call (the mean of both orders for the example job, which alternates them).
double setUpGrid(Grid grid, const ResultRecord& candidate) {
    resetTables();
    if (grid == Grid::example) {
        S = exampleTables().settings;
        R = exampleTables().ranges;
    } else {
        // Windows of exactly 10 values everywhere (12 clipped at high, which
        // keeps rounding from making it 9): the default cap grants six.
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double c = candidate.coefficients[k];
            R[k].minorInc = std::fabs(c) * 0.001;
            R[k].low = c - std::fabs(c);
            R[k].high = c + 4.5 * R[k].minorInc;
            R[k].mcount = 12;
        }
    }
    swapper = grid == Grid::millionBackward ? 0 : 1;
    if (grid == Grid::example)
        return (pointCount(candidate, true) + pointCount(candidate, false)) / 2.0;
    return static_cast<double>(pointCount(candidate, (swapper & 1) != 0));
}

const char* gridName(Grid grid) {
    switch (grid) {
    case Grid::millionForward: return "million_fwd";
    case Grid::millionBackward: return "million_bwd";
    case Grid::example: return "example";
    }
    return "?";
}

void reportRate(benchmark::State& state, double points) {
    state.counters["points"] = points;
    state.counters["coilpoints/s"] = benchmark::Counter(points * coilCount(),
                                                        benchmark::Counter::kIsIterationInvariantRate);
}

void productionWalk(benchmark::State& state, GridPath path, Grid grid) {
    if (!gridPathSupported(path)) {
        state.SkipWithError("variant not supported by this CPU");
        return;
    }
    const ResultRecord candidate = fitSet();
    const InductorRecord* coils = exampleCoils();
    const double points = setUpGrid(grid, candidate);
    const uint8_t first = swapper;
    for (auto _ : state) {
        // The million grids repeat one order; the example job alternates as a
        // worker does.
        if (grid != Grid::example) swapper = first;
        ResultRecord* result = runMajorOn(path, coils, &candidate);
        benchmark::DoNotOptimize(result->goodness);
        freeResult(result);
    }
    reportRate(state, points);
}

void referenceWalk(benchmark::State& state, Grid grid) {
    const ResultRecord candidate = fitSet();
    const InductorRecord* coils = exampleCoils();
    const double points = setUpGrid(grid, candidate);
    const uint8_t first = swapper;
    for (auto _ : state) {
        if (grid != Grid::example) swapper = first;
        ResultRecord* result = reference::runMajor(coils, &candidate);
        benchmark::DoNotOptimize(result->goodness);
        freeResult(result);
    }
    reportRate(state, points);
}

// Two independent division streams per element, results summed into several
// accumulators so that only the divider limits the loop.
constexpr int kRooflineElements = 1024;

struct RooflineData {
    std::vector<double> a, b, c, d;
    RooflineData() {
        for (int i = 0; i < kRooflineElements; ++i) {
            a.push_back(1.0 + i * 1e-3);
            b.push_back(1.5 + i * 7e-4);
            c.push_back(2.0 - i * 5e-4);
            d.push_back(1.25 + i * 3e-4);
        }
    }
};

#if defined(__x86_64__)
__attribute__((target("avx2"))) double rooflineAvx2(const RooflineData& x) {
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (int i = 0; i < kRooflineElements; i += 8) {
        s0 = _mm256_add_pd(s0, _mm256_div_pd(_mm256_loadu_pd(&x.a[i]), _mm256_loadu_pd(&x.b[i])));
        s1 = _mm256_add_pd(s1, _mm256_div_pd(_mm256_loadu_pd(&x.c[i]), _mm256_loadu_pd(&x.d[i])));
        s2 = _mm256_add_pd(s2, _mm256_div_pd(_mm256_loadu_pd(&x.a[i + 4]), _mm256_loadu_pd(&x.b[i + 4])));
        s3 = _mm256_add_pd(s3, _mm256_div_pd(_mm256_loadu_pd(&x.c[i + 4]), _mm256_loadu_pd(&x.d[i + 4])));
    }
    double out[4];
    _mm256_storeu_pd(out, _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    return out[0] + out[1] + out[2] + out[3];
}

__attribute__((target("avx512f"))) double rooflineAvx512(const RooflineData& x) {
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (int i = 0; i < kRooflineElements; i += 16) {
        s0 = _mm512_add_pd(s0, _mm512_div_pd(_mm512_loadu_pd(&x.a[i]), _mm512_loadu_pd(&x.b[i])));
        s1 = _mm512_add_pd(s1, _mm512_div_pd(_mm512_loadu_pd(&x.c[i]), _mm512_loadu_pd(&x.d[i])));
        s2 = _mm512_add_pd(s2, _mm512_div_pd(_mm512_loadu_pd(&x.a[i + 8]), _mm512_loadu_pd(&x.b[i + 8])));
        s3 = _mm512_add_pd(s3, _mm512_div_pd(_mm512_loadu_pd(&x.c[i + 8]), _mm512_loadu_pd(&x.d[i + 8])));
    }
    double out[8];
    _mm512_storeu_pd(out, _mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
    return out[0] + out[1] + out[2] + out[3] + out[4] + out[5] + out[6] + out[7];
}
#endif

double rooflineScalar(const RooflineData& x) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int i = 0; i < kRooflineElements; i += 2) {
        s0 += x.a[i] / x.b[i];
        s1 += x.c[i] / x.d[i];
        s2 += x.a[i + 1] / x.b[i + 1];
        s3 += x.c[i + 1] / x.d[i + 1];
    }
    return s0 + s1 + s2 + s3;
}

void divisionRoofline(benchmark::State& state, GridPath width) {
    if (!gridPathSupported(width)) {
        state.SkipWithError("width not supported by this CPU");
        return;
    }
    const RooflineData data;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&data);
#if defined(__x86_64__)
        double sum = width == GridPath::avx512 ? rooflineAvx512(data)
                     : width == GridPath::avx2 ? rooflineAvx2(data)
                                               : rooflineScalar(data);
#else
        double sum = rooflineScalar(data);
#endif
        benchmark::DoNotOptimize(sum);
    }
    state.counters["coilpoints/s"] =
        benchmark::Counter(kRooflineElements, benchmark::Counter::kIsIterationInvariantRate);
}

int registerAll() {
    const GridPath widest = gridPathBest();
    benchmark::RegisterBenchmark((std::string("DivisionRoofline/") + gridPathName(widest)).c_str(),
                                 divisionRoofline, widest);
    if (widest != GridPath::scalar)
        benchmark::RegisterBenchmark("DivisionRoofline/scalar", divisionRoofline, GridPath::scalar);
    for (Grid grid : {Grid::millionForward, Grid::millionBackward, Grid::example}) {
        for (GridPath path : {GridPath::avx512, GridPath::avx2, GridPath::scalar}) {
            if (!gridPathSupported(path)) continue;
            const std::string name = std::string("GridSearch/") + gridName(grid) + "/" + gridPathName(path);
            auto* bench = benchmark::RegisterBenchmark(name.c_str(), productionWalk, path, grid);
            bench->Unit(grid == Grid::example ? benchmark::kMicrosecond : benchmark::kMillisecond);
        }
        const std::string name = std::string("GridSearch/") + gridName(grid) + "/reference";
        auto* bench = benchmark::RegisterBenchmark(name.c_str(), referenceWalk, grid);
        if (grid == Grid::example)
            bench->Unit(benchmark::kMicrosecond);
        else
            bench->Unit(benchmark::kMillisecond)->Iterations(2);
    }
    return 0;
}

const int registered = registerAll();

}  // namespace

BENCHMARK_MAIN();
