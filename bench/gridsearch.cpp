// Speed of the local grid search in coil-point evaluations per second (grid
// points x coils), for every walk variant this CPU supports, the scalar walk
// dividing by reciprocals (scalar_fma, which the program does not use here),
// the literal reference walk, and roofline loops: two independent divisions
// per element (the two divisions per coil-point of a walk that divides), the
// same two quotients by reciprocal pairs (each coil-point the screen lets
// through), and the screen's two fused multiply-adds (every other one).
//
// Grids: "million" is about a million points (six windows of 10 under the
// default cap) in both offer orders; "example" is the typical job of the
// example ranges (minormax 20000, 7776 points), whose time per call includes
// all per-call overhead. The coils are the 60 of examples/coils-example.txt.
#include <benchmark/benchmark.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "coils/readind.h"
#include "coils/storage.h"
#include "gridsearch_reference.h"
#include "settings/symtab.h"
#include "testhooks.h"
#include "grid/gridsearch.h"

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

void productionWalk(benchmark::State& state, GridWalk walk, Grid grid) {
    const ResultRecord candidate = fitSet();
    const InductorRecord* coils = exampleCoils();
    const double points = setUpGrid(grid, candidate);
    const uint8_t first = swapper;
    for (auto _ : state) {
        // The million grids repeat one order; the example job alternates as a
        // worker does.
        if (grid != Grid::example) swapper = first;
        ResultRecord* result = runMajorWith(walk, coils, &candidate);
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

// The divisors of the reciprocal and screen loops are broadcast, as in the
// walk: d0 and d1 with their reciprocal pairs, and the screen's factor.
struct Broadcast {
    double d0 = 1.3, d1 = 2.1e-6, d0High, d0Low, d1High, d1Low, factor = 0.77;
    Broadcast() {
        d0High = 1 / d0;
        d0Low = d0High * std::fma(-d0, d0High, 1.0);
        d1High = 1 / d1;
        d1Low = d1High * std::fma(-d1, d1High, 1.0);
    }
};

enum class Roofline { division, reciprocal, screen };

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

__attribute__((target("avx2,fma"))) inline __m256d quotientAvx2(__m256d a, __m256d b, __m256d high, __m256d low) {
    const __m256d q0 = _mm256_fmadd_pd(a, high, _mm256_mul_pd(a, low));
    return _mm256_fmadd_pd(_mm256_fnmadd_pd(b, q0, a), high, q0);
}

__attribute__((target("avx2,fma"))) double reciprocalAvx2(const RooflineData& x, const Broadcast& y) {
    const __m256d d0 = _mm256_set1_pd(y.d0), d0High = _mm256_set1_pd(y.d0High), d0Low = _mm256_set1_pd(y.d0Low);
    const __m256d d1 = _mm256_set1_pd(y.d1), d1High = _mm256_set1_pd(y.d1High), d1Low = _mm256_set1_pd(y.d1Low);
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (int i = 0; i < kRooflineElements; i += 8) {
        s0 = _mm256_add_pd(s0, quotientAvx2(_mm256_loadu_pd(&x.a[i]), d0, d0High, d0Low));
        s1 = _mm256_add_pd(s1, quotientAvx2(_mm256_loadu_pd(&x.c[i]), d1, d1High, d1Low));
        s2 = _mm256_add_pd(s2, quotientAvx2(_mm256_loadu_pd(&x.a[i + 4]), d0, d0High, d0Low));
        s3 = _mm256_add_pd(s3, quotientAvx2(_mm256_loadu_pd(&x.c[i + 4]), d1, d1High, d1Low));
    }
    double out[4];
    _mm256_storeu_pd(out, _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3)));
    return out[0] + out[1] + out[2] + out[3];
}

__attribute__((target("avx2,fma"))) double screenAvx2(const RooflineData& x, const Broadcast& y) {
    const __m256d factor = _mm256_set1_pd(y.factor), minusOne = _mm256_set1_pd(-1.0);
    __m256d s[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    for (int i = 0; i < kRooflineElements; i += 16)
        for (int k = 0; k < 4; ++k) {
            const __m256d relative = _mm256_fmadd_pd(_mm256_loadu_pd(&x.a[i + 4 * k]), factor, minusOne);
            s[k] = _mm256_fmadd_pd(relative, relative, s[k]);
        }
    double out[4];
    _mm256_storeu_pd(out, _mm256_add_pd(_mm256_add_pd(s[0], s[1]), _mm256_add_pd(s[2], s[3])));
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

__attribute__((target("avx512f"))) inline __m512d quotientAvx512(__m512d a, __m512d b, __m512d high, __m512d low) {
    const __m512d q0 = _mm512_fmadd_pd(a, high, _mm512_mul_pd(a, low));
    return _mm512_fmadd_pd(_mm512_fnmadd_pd(b, q0, a), high, q0);
}

__attribute__((target("avx512f"))) double reciprocalAvx512(const RooflineData& x, const Broadcast& y) {
    const __m512d d0 = _mm512_set1_pd(y.d0), d0High = _mm512_set1_pd(y.d0High), d0Low = _mm512_set1_pd(y.d0Low);
    const __m512d d1 = _mm512_set1_pd(y.d1), d1High = _mm512_set1_pd(y.d1High), d1Low = _mm512_set1_pd(y.d1Low);
    __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (int i = 0; i < kRooflineElements; i += 16) {
        s0 = _mm512_add_pd(s0, quotientAvx512(_mm512_loadu_pd(&x.a[i]), d0, d0High, d0Low));
        s1 = _mm512_add_pd(s1, quotientAvx512(_mm512_loadu_pd(&x.c[i]), d1, d1High, d1Low));
        s2 = _mm512_add_pd(s2, quotientAvx512(_mm512_loadu_pd(&x.a[i + 8]), d0, d0High, d0Low));
        s3 = _mm512_add_pd(s3, quotientAvx512(_mm512_loadu_pd(&x.c[i + 8]), d1, d1High, d1Low));
    }
    double out[8];
    _mm512_storeu_pd(out, _mm512_add_pd(_mm512_add_pd(s0, s1), _mm512_add_pd(s2, s3)));
    return out[0] + out[1] + out[2] + out[3] + out[4] + out[5] + out[6] + out[7];
}

__attribute__((target("avx512f"))) double screenAvx512(const RooflineData& x, const Broadcast& y) {
    const __m512d factor = _mm512_set1_pd(y.factor), minusOne = _mm512_set1_pd(-1.0);
    __m512d s[4] = {_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd()};
    for (int i = 0; i < kRooflineElements; i += 32)
        for (int k = 0; k < 4; ++k) {
            const __m512d relative = _mm512_fmadd_pd(_mm512_loadu_pd(&x.a[i + 8 * k]), factor, minusOne);
            s[k] = _mm512_fmadd_pd(relative, relative, s[k]);
        }
    double out[8];
    _mm512_storeu_pd(out, _mm512_add_pd(_mm512_add_pd(s[0], s[1]), _mm512_add_pd(s[2], s[3])));
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

double rooflineOf(Roofline kind, GridPath width, const RooflineData& data, const Broadcast& broadcast) {
#if defined(__x86_64__)
    if (width == GridPath::avx512)
        return kind == Roofline::division     ? rooflineAvx512(data)
               : kind == Roofline::reciprocal ? reciprocalAvx512(data, broadcast)
                                              : screenAvx512(data, broadcast);
    if (width == GridPath::avx2)
        return kind == Roofline::division     ? rooflineAvx2(data)
               : kind == Roofline::reciprocal ? reciprocalAvx2(data, broadcast)
                                              : screenAvx2(data, broadcast);
#endif
    (void)kind;
    (void)width;
    (void)broadcast;
    return rooflineScalar(data);
}

void roofline(benchmark::State& state, GridPath width, Roofline kind) {
    if (!gridPathSupported(width)) {
        state.SkipWithError("width not supported by this CPU");
        return;
    }
    const RooflineData data;
    const Broadcast broadcast;
    for (auto _ : state) {
        benchmark::DoNotOptimize(&data);
        double sum = rooflineOf(kind, width, data, broadcast);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["coilpoints/s"] =
        benchmark::Counter(kRooflineElements, benchmark::Counter::kIsIterationInvariantRate);
}

int registerAll() {
    struct Kind {
        const char* name;
        Roofline kind;
    };
    for (const Kind& roof : {Kind{"Division", Roofline::division}, Kind{"Reciprocal", Roofline::reciprocal},
                             Kind{"Screen", Roofline::screen}})
        for (GridPath width : {GridPath::avx512, GridPath::avx2, GridPath::scalar}) {
            if (!gridPathSupported(width) || (width == GridPath::scalar && roof.kind != Roofline::division)) continue;
            const std::string name = std::string(roof.name) + "Roofline/" + gridPathName(width);
            benchmark::RegisterBenchmark(name.c_str(), roofline, width, roof.kind);
        }
    for (Grid grid : {Grid::millionForward, Grid::millionBackward, Grid::example}) {
        std::vector<std::pair<std::string, GridWalk>> walks;
        for (GridPath path : {GridPath::avx512, GridPath::avx2, GridPath::scalar})
            if (gridPathSupported(path)) walks.emplace_back(gridPathName(path), gridWalkFor(path));
        walks.emplace_back("scalar_fma", gridWalkScalarFma);
        for (const auto& [walkName, walk] : walks) {
            const std::string name = std::string("GridSearch/") + gridName(grid) + "/" + walkName;
            auto* bench = benchmark::RegisterBenchmark(name.c_str(), productionWalk, walk, grid);
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
