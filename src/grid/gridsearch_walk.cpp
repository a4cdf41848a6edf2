// The grid walk's plan: the windows around a candidate, settled greedily in
// an order that alternates from one call to the next under the minormax cap,
// and the arrays and scratch memory a walk variant runs on. The walk itself
// lives in gridsearch_kernel.h, built once per variant (scalar, AVX2,
// AVX-512, each in a file of its own); its results are bit-identical on
// every variant.
#include <cstddef>
#include <memory>
#include <new>

#include "grid/gridsearch_quotient.h"
#include "grid/gridsearch_walk.h"
#include "settings/symtab.h"

namespace {

constexpr int kNumeratorCoefficients[] = {cR0, cR1, cR2, cR3, cT0, cT1, cT2, cT3};
constexpr int kDenominatorCoefficients[] = {cW0, cW1, cW2, cL0, cL1, cL2, cL3};

template <std::size_t N>
GridSide makeSide(const GridWindows& windows, const int (&coefficients)[N]) {
    static_assert(N <= kGridSideMax);
    GridSide side{};
    side.size = static_cast<int>(N);
    side.combos = 1;
    for (std::size_t s = 0; s < N; ++s) {
        side.coef[s] = coefficients[s];
        side.count[s] = windows.count[coefficients[s]];
        side.combos *= side.count[s];
    }
    return side;
}

int64_t groupCombos(const GridWindows& windows, int first, int last) {
    int64_t combos = 1;
    for (int k = first; k <= last; ++k) combos *= windows.count[k];
    return combos;
}

// Scratch memory of the walk, kept between calls so that small jobs do not
// pay for allocation; it only grows.
template <class T>
class ScratchBuffer {
public:
    T* reserve(std::size_t size) {
        if (size > capacity_) {
            data_.reset(static_cast<T*>(::operator new(size * sizeof(T), std::align_val_t{64})));
            capacity_ = size;
        }
        return data_.get();
    }

private:
    struct Release {
        void operator()(T* p) const { ::operator delete(p, std::align_val_t{64}); }
    };
    std::unique_ptr<T, Release> data_;
    std::size_t capacity_ = 0;
};

ScratchBuffer<double> doubleScratch;
ScratchBuffer<GridCoilTerm> termScratch;
ScratchBuffer<GridTermSet> termSetScratch;

// Lanes per chunk: the chunk's tables (one row per coil, two where the
// lanes hold divisors with their reciprocals) are kept to about
// 128 KiB so they stay in the level-2 cache while every broadcast
// combination streams over them.
int64_t chunkLanes(int64_t laneCombos, int32_t coilCount, int tables) {
    constexpr int64_t kTableDoubles = 16384;
    int64_t chunk = kTableDoubles / tables / coilCount / kGridBlockMax * kGridBlockMax;
    if (chunk < kGridBlockMax) chunk = kGridBlockMax;
    if (chunk > 4096) chunk = 4096;
    const int64_t needed = (laneCombos + kGridBlockMax - 1) / kGridBlockMax * kGridBlockMax;
    return needed < chunk ? needed : chunk;
}

constexpr std::size_t roundUp(std::size_t n) { return (n + 7) / 8 * 8; }

}  // namespace

GridBest walkGrid(GridWalk walk, const GridWindows& windows, const InductorRecord* coils) {
    GridBest best{false, kNoValue, 0};
    int32_t coilCount = 0;
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next) ++coilCount;
    if (coilCount == 0) return best;  // no point can be evaluated

    GridPlan plan{};
    plan.windows = &windows;
    plan.numerator = makeSide(windows, kNumeratorCoefficients);
    plan.denominator = makeSide(windows, kDenominatorCoefficients);
    plan.countW = groupCombos(windows, cW0, cW2);
    plan.countT = groupCombos(windows, cT0, cT3);
    plan.countL = groupCombos(windows, cL0, cL3);
    plan.lanesAreNumerator = plan.numerator.combos >= plan.denominator.combos;
    const int64_t laneCombos =
        plan.lanesAreNumerator ? plan.numerator.combos : plan.denominator.combos;
    const int tables = plan.lanesAreNumerator ? 1 : 2;
    plan.chunk = chunkLanes(laneCombos, coilCount, tables);
    plan.coilCount = coilCount;

    const std::size_t coilsRounded = roundUp(static_cast<std::size_t>(coilCount));
    const std::size_t chunk = static_cast<std::size_t>(plan.chunk);
    double* memory =
        doubleScratch.reserve(7 * coilsRounded + (kGridSideMax + tables * coilsRounded) * chunk);
    double* radius = memory;
    double* wire = radius + coilsRounded;
    double* length = wire + coilsRounded;
    double* turns = length + coilsRounded;
    double* measured = turns + coilsRounded;
    double* measuredHigh = measured + coilsRounded;
    double* measuredLow = measuredHigh + coilsRounded;
    plan.laneCoef = measuredLow + coilsRounded;
    plan.laneTable = plan.laneCoef + kGridSideMax * chunk;
    plan.laneHigh = plan.lanesAreNumerator ? nullptr : plan.laneTable + coilsRounded * chunk;
    // Room for every broadcast combination's coil terms, up to 4 MiB of them.
    constexpr int64_t kKeptTerms = 65536;
    const int64_t otherCombos = plan.lanesAreNumerator ? plan.denominator.combos : plan.numerator.combos;
    const bool keep = laneCombos > plan.chunk && otherCombos * coilCount <= kKeptTerms;
    plan.termSetCount = keep ? otherCombos : 1;
    plan.coilTerms = termScratch.reserve(static_cast<std::size_t>(plan.termSetCount * coilCount));
    plan.termSets = termSetScratch.reserve(static_cast<std::size_t>(plan.termSetCount));

    plan.measuredDivides = true;
    int c = 0;
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next, ++c) {
        radius[c] = coil->radius;
        wire[c] = coil->wire;
        length[c] = coil->length;
        turns[c] = static_cast<double>(coil->turns);
        measured[c] = coil->measuredInductance;
        if (plan.measuredDivides && (plan.measuredDivides = grid::safeDivisor(measured[c])))
            grid::reciprocalPair(measured[c], measuredHigh[c], measuredLow[c]);
    }
    plan.radius = radius;
    plan.wire = wire;
    plan.length = length;
    plan.turns = turns;
    plan.measured = measured;
    plan.measuredHigh = measuredHigh;
    plan.measuredLow = measuredLow;

    walk(plan, best);
    return best;
}

GridWindows planGridWindows(const ResultRecord* candidate, bool forward) {
    GridWindows windows{};
    const int32_t minormax = S[kMinorMax].value.i;
    int64_t product = 1;
    for (int i = 0; i < kCoefficientCount; ++i) {
        const int k = forward ? i : kCoefficientCount - 1 - i;
        const RangeEntry& range = R[k];
        const double centre = candidate->coefficients[k];
        // Held unless a window is granted below.
        windows.start[k] = centre;
        windows.inc[k] = range.minorInc;
        windows.count[k] = 1;
        if (minormax <= 1) continue;
        const double half = static_cast<double>(range.mcount / 2) * range.minorInc;
        const double start = centre - half > range.low ? centre - half : range.low;
        const double end = half + centre < range.high ? half + centre : range.high;
        // A count below 1, at or beyond 2^31 or not a number (zero minorInc)
        // cannot be walked: the coefficient stays held.
        const double quotient = (end - start) / range.minorInc;
        if (!(quotient >= 1.0 && quotient < 2147483648.0)) continue;
        const int32_t count = static_cast<int32_t>(quotient);
        if (product * count >= minormax) continue;
        windows.start[k] = start;
        windows.count[k] = count;
        product *= count;
    }
    return windows;
}

