// The grid walk's quotient routine (grid/gridsearch_quotient.h) against the
// hardware division: whether it ever differs, and how fast it is. A divisor
// serves a batch of 256 dividends, as in the walk, where a divisor's
// reciprocal pair is computed once and used many times.
//
// QuotientExactness/<variant>/<operands> compares 2^30 quotients bit for bit
// with the division (counters: quotients, byRoutine, mismatches):
// - "walk": the operands the walk meets on the example: M / D and
//   (L - m) / m for the 60 example coils and coefficient sets drawn
//   uniformly from the example ranges, each divisor with dividends of the
//   same coil;
// - "wide": significands drawn uniformly and exponents over the whole of the
//   routine's domain [2^-100, 2^100], every fifth divisor next to the largest
//   significand allowed.
// The widest variant runs all of them; scalar_fma (the routine on plain
// doubles, where std::fma is a call into the C library) a sixteenth. The
// speed of the routine in the walk is bench_gridsearch's business.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "coils/equation_terms.h"
#include "grid/gridsearch.h"

namespace {

constexpr int kBatch = 256;
constexpr int64_t kQuotients = int64_t{1} << 30;

uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double unitOf(uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1p-53; }

// Operands of the walk on the example, per coil: M, D and L - m for many
// coefficient sets, and the measured inductance m.
struct WalkOperands {
    static constexpr int kSets = 4096;
    std::vector<std::vector<double>> numerators, denominators, differences;
    std::vector<double> measured;

    WalkOperands() {
        const ExampleTables& tables = exampleTables();
        uint64_t state = 24;
        for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next) {
            numerators.emplace_back();
            denominators.emplace_back();
            differences.emplace_back();
            measured.push_back(coil->measuredInductance);
        }
        for (int n = 0; n < kSets; ++n) {
            ResultRecord set{};
            for (int k = 0; k < kCoefficientCount; ++k) {
                const RangeEntry& range = tables.ranges[k];
                set.coefficients[k] = range.low + (range.high - range.low) * unitOf(splitMix(state));
            }
            using equation::groupAt;
            using equation::Plain;
            const double* c = set.coefficients.data();
            size_t i = 0;
            for (const InductorRecord* coil = exampleCoils(); coil != nullptr; coil = coil->next, ++i) {
                const double m = equation::numerator<Plain>(
                    equation::radiusTerm<Plain>(equation::radiusPoly<Plain>(groupAt(c + cR0), coil->radius)),
                    equation::turnsPoly<Plain>(groupAt(c + cT0), static_cast<double>(coil->turns)));
                const double d = equation::denominator<Plain>(equation::lengthPoly<Plain>(groupAt(c + cL0), coil->length),
                                                              equation::wirePoly<Plain>(groupAt(c + cW0), coil->wire));
                numerators[i].push_back(m);
                denominators[i].push_back(d);
                differences[i].push_back(m / d - coil->measuredInductance);
            }
        }
    }
};

const WalkOperands& walkOperands() {
    static const WalkOperands operands;
    return operands;
}

// A random double in the routine's domain, sign included.
double wideOperand(uint64_t& state, bool divisor) {
    const uint64_t bits = splitMix(state);
    double significand = 1 + unitOf(bits << 1);
    if (divisor && bits % 5 == 0) significand = 0x1.ffffffff00000p0 - static_cast<double>(bits >> 58) * 0x1p-52;
    const int exponent = static_cast<int>((bits >> 1) % 200) - 100;
    return std::ldexp(bits & 1 ? -significand : significand, exponent);
}

enum class Operands { walk, wide };

void exactness(benchmark::State& state, GridQuotients quotients, Operands kind, int64_t count) {
    std::vector<double> a(kBatch), q(kBatch);
    int64_t byRoutine = 0, mismatches = 0, done = 0;
    uint64_t random = 7;
    for (auto _ : state) {
        for (done = 0; done < count; done += kBatch) {
            double b;
            if (kind == Operands::walk) {
                const WalkOperands& walk = walkOperands();
                const size_t coil = splitMix(random) % walk.measured.size();
                // Half the batches divide M by D, half L - m by m.
                const bool inductance = (done / kBatch) % 2 == 0;
                const std::vector<double>& dividends =
                    inductance ? walk.numerators[coil] : walk.differences[coil];
                b = inductance ? walk.denominators[coil][splitMix(random) % WalkOperands::kSets]
                               : walk.measured[coil];
                for (double& x : a) x = dividends[splitMix(random) % WalkOperands::kSets];
            } else {
                b = wideOperand(random, true);
                for (double& x : a) x = wideOperand(random, false);
            }
            byRoutine += quotients(a.data(), kBatch, b, q.data());
            for (int i = 0; i < kBatch; ++i) {
                const double expected = a[i] / b;
                mismatches += std::memcmp(&expected, &q[i], sizeof expected) != 0;
            }
        }
    }
    state.counters["quotients"] = static_cast<double>(done);
    state.counters["byRoutine"] = static_cast<double>(byRoutine);
    state.counters["mismatches"] = static_cast<double>(mismatches);
}

int registerAll() {
    struct Variant {
        std::string name;
        GridQuotients quotients;
        int64_t count;
    };
    std::vector<Variant> variants{{"scalar_fma", gridQuotientsScalarFma, kQuotients / 16}};
    for (GridPath path : {GridPath::avx2, GridPath::avx512})
        if (gridPathSupported(path)) variants.push_back({gridPathName(path), gridQuotientsFor(path), 0});
    variants.back().count = kQuotients;  // the widest runs all of them
    for (const Variant& v : variants) {
        if (v.count == 0) continue;
        for (Operands kind : {Operands::walk, Operands::wide}) {
            const std::string name = "QuotientExactness/" + v.name + (kind == Operands::walk ? "/walk" : "/wide");
            benchmark::RegisterBenchmark(name.c_str(), exactness, v.quotients, kind, v.count)
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
        }
    }
    return 0;
}

const int registered = registerAll();

}  // namespace

BENCHMARK_MAIN();
