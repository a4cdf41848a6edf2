// The walk of the local grid search, shared by the scalar and the vector
// variants. Each variant's file defines a lane type and calls gridWalk<Lanes>.
//
// A lane type V provides: `reg` (a register of `width` doubles), `unroll`
// (registers per block), load/store (unaligned), set1, add, sub, mul, div,
// sqrt, `refuseToNan(x)` (NaN where x is 0 or NaN, else x),
// `accumulate(sum, count, L, e)` (adds e and 1 in the lanes where neither L
// nor e is 1e208 or NaN), and `notWorse(g, t)` (bit i set where lane i of g
// is <= t; never for NaN).
//
// How the walk stays bit-identical to evaluating every grid point in walk
// order with evalInductorAbs:
// - Per coil, M = (R(a)*mu0)*T(N) depends only on the numerator side of the
//   point, D = Lambda(len)*W(w) only on the denominator side; both are formed
//   by the terms of equation_terms.h, which evalInductorAbs uses too.
// - One side runs across lanes (tabulated per chunk of lanes and coil), the
//   other is broadcast. A coil whose broadcast M or D is refused (0 or NaN)
//   is left out for the whole broadcast combination; a refused tabulated
//   value is replaced by NaN, which makes L NaN and so leaves the coil out of
//   that lane. Every lane adds its own coils in list order.
// - Points are visited out of walk order, so the best is kept as (goodness,
//   index) with strict improvement and ties going to the smaller index: the
//   same point the in-order walk keeps, the first one with the minimum.
//
// Everything here has internal linkage on purpose: each variant's file is
// compiled for its own instruction set, and an inline function with external
// linkage could be merged across those files by the linker, putting vector
// instructions into code that runs on any CPU. For the same reason this
// header uses no standard library templates.
#pragma once

#include <cstdint>

#include "coils/equation_terms.h"
#include "common/version.h"
#include "workers/gridsearch.h"

namespace {
namespace grid {

constexpr double kNaN = __builtin_nan("");
constexpr double kInfinity = __builtin_inf();

// Sets j to the digits of `index` over the side's counts (last fastest).
inline void odometerSet(const GridSide& side, int64_t index, int64_t* j) {
    for (int s = side.size - 1; s >= 0; --s) {
        j[s] = index % side.count[s];
        index /= side.count[s];
    }
}

inline void odometerStep(const GridSide& side, int64_t* j) {
    for (int s = side.size - 1; s >= 0; --s) {
        if (++j[s] < side.count[s]) return;
        j[s] = 0;
    }
}

// The equation's terms for one value, from x = r0..r3, t0..t3 (numerator
// side) or x = w0..w2, l0..l3 (denominator side).
using equation::Plain;
using equation::groupAt;

inline double radiusTermOf(const double* x, double a) {
    return equation::radiusTerm<Plain>(equation::radiusPoly<Plain>(groupAt(x), a));
}
inline double turnsPolyOf(const double* x, double n) { return equation::turnsPoly<Plain>(groupAt(x + 4), n); }
inline double wirePolyOf(const double* x, double w) { return equation::wirePoly<Plain>(groupAt(x), w); }
inline double lengthPolyOf(const double* x, double len) {
    return equation::lengthPoly<Plain>(groupAt(x + 3), len);
}

// M of one coil.
inline double numeratorValue(const double* x, double a, double n) {
    return equation::numerator<Plain>(radiusTermOf(x, a), turnsPolyOf(x, n));
}

// D of one coil.
inline double denominatorValue(const double* x, double w, double len) {
    return equation::denominator<Plain>(lengthPolyOf(x, len), wirePolyOf(x, w));
}

// Coefficient s of a group for `width` lanes: row s of `stride` from x.
template <class V>
auto laneGroupAt(const double* x, int64_t stride) {
    return [x, stride](int s) { return V::load(x + s * stride); };
}

// Row of coil c of the chunk's lane table: M (numerator lanes) or D per lane,
// refused values replaced by NaN. A group with a single combination has the
// same polynomial in every lane; it is evaluated once.
template <class V, bool lanesAreNumerator, bool firstVaries, bool secondVaries>
void tabulateRow(const GridPlan& plan, int c, int64_t padded) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    const int64_t chunk = plan.chunk;
    const double* coef = plan.laneCoef;
    double* row = plan.laneTable + c * chunk;
    constexpr int kSideSize = lanesAreNumerator ? 8 : 7;
    double x[kSideSize];  // the coefficients of lane 0
    for (int s = 0; s < kSideSize; ++s) x[s] = coef[s * chunk];
    if constexpr (lanesAreNumerator) {
        const double a = plan.radius[c];
        const double n = plan.turns[c];
        const reg radiusConst = V::set1(radiusTermOf(x, a));
        const reg turnsConst = V::set1(turnsPolyOf(x, n));
        for (int64_t o = 0; o < padded; o += W) {
            const reg radius =
                firstVaries
                    ? equation::radiusTerm<V>(equation::radiusPoly<V>(laneGroupAt<V>(coef + o, chunk), V::set1(a)))
                    : radiusConst;
            const reg turns =
                secondVaries ? equation::turnsPoly<V>(laneGroupAt<V>(coef + 4 * chunk + o, chunk), V::set1(n))
                             : turnsConst;
            V::store(row + o, V::refuseToNan(equation::numerator<V>(radius, turns)));
        }
    } else {
        const double w = plan.wire[c];
        const double len = plan.length[c];
        const reg wireConst = V::set1(wirePolyOf(x, w));
        const reg lengthConst = V::set1(lengthPolyOf(x, len));
        for (int64_t o = 0; o < padded; o += W) {
            const reg wire =
                firstVaries ? equation::wirePoly<V>(laneGroupAt<V>(coef + o, chunk), V::set1(w)) : wireConst;
            const reg length =
                secondVaries ? equation::lengthPoly<V>(laneGroupAt<V>(coef + 3 * chunk + o, chunk), V::set1(len))
                             : lengthConst;
            V::store(row + o, V::refuseToNan(equation::denominator<V>(length, wire)));
        }
    }
}

template <class V, bool lanesAreNumerator>
void tabulateChunk(const GridPlan& plan, bool firstVaries, bool secondVaries, int64_t padded) {
    for (int c = 0; c < plan.coilCount; ++c) {
        if (firstVaries && secondVaries)
            tabulateRow<V, lanesAreNumerator, true, true>(plan, c, padded);
        else if (firstVaries)
            tabulateRow<V, lanesAreNumerator, true, false>(plan, c, padded);
        else if (secondVaries)
            tabulateRow<V, lanesAreNumerator, false, true>(plan, c, padded);
        else
            tabulateRow<V, lanesAreNumerator, false, false>(plan, c, padded);
    }
}

// Goodness of one block of width * unroll lanes over the counted coils of the
// current broadcast combination; stores it per lane and returns the lanes
// whose goodness is not worse than `threshold`.
template <class V, bool lanesAreNumerator>
unsigned evaluateBlock(const GridPlan& plan, const double* table, int counted, double threshold,
                       double* goodness) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    constexpr int U = V::unroll;
    reg sum[U];
    reg count[U];
    for (int u = 0; u < U; ++u) sum[u] = count[u] = V::set1(0.0);
    for (int i = 0; i < counted; ++i) {
        const double* row = table + plan.coilRow[i];
        const reg y = V::set1(plan.coilValue[i]);
        const reg m = V::set1(plan.coilMeasured[i]);
        for (int u = 0; u < U; ++u) {
            const reg x = V::load(row + u * W);
            const reg inductance = lanesAreNumerator ? V::div(x, y) : V::div(y, x);
            const reg relative = V::div(V::sub(inductance, m), m);
            V::accumulate(sum[u], count[u], inductance, V::mul(relative, relative));
        }
    }
    unsigned hits = 0;
    for (int u = 0; u < U; ++u) {
        // No counted coil gives 0/0 = NaN, which is never "not worse".
        const reg g = V::sqrt(V::div(sum[u], count[u]));
        V::store(goodness + u * W, g);
        hits |= V::notWorse(g, threshold) << (u * W);
    }
    return hits;
}

// Index in walk order of the point with the given side indices.
inline int64_t pointIndex(const GridPlan& plan, int64_t numerator, int64_t denominator) {
    const int64_t r = numerator / plan.countT;
    const int64_t t = numerator % plan.countT;
    const int64_t w = denominator / plan.countL;
    const int64_t l = denominator % plan.countL;
    return ((r * plan.countW + w) * plan.countT + t) * plan.countL + l;
}

inline void offer(GridBest& best, double goodness, int64_t index) {
    if (goodness == kNoValue || goodness != goodness) return;
    if (!best.found || goodness < best.goodness ||
        (goodness == best.goodness && index < best.index)) {
        best.found = true;
        best.goodness = goodness;
        best.index = index;
    }
}

template <class V, bool lanesAreNumerator>
void walkSides(const GridPlan& plan, GridBest& best) {
    constexpr int B = V::width * V::unroll;
    static_assert(B <= kGridBlockMax && kGridBlockMax % B == 0);
    const GridWindows& windows = *plan.windows;
    const GridSide& lanes = lanesAreNumerator ? plan.numerator : plan.denominator;
    const GridSide& other = lanesAreNumerator ? plan.denominator : plan.numerator;
    const int64_t chunk = plan.chunk;
    int64_t laneDigits[kGridSideMax];
    int64_t otherDigits[kGridSideMax];
    double otherCoef[kGridSideMax];
    alignas(64) double goodness[B];

    for (int64_t first = 0; first < lanes.combos; first += chunk) {
        const int64_t filled = lanes.combos - first < chunk ? lanes.combos - first : chunk;
        const int64_t padded = (filled + B - 1) / B * B;

        // Coefficient values of the chunk's lanes; padding lanes get NaN.
        odometerSet(lanes, first, laneDigits);
        for (int64_t lane = 0; lane < filled; ++lane) {
            for (int s = 0; s < lanes.size; ++s)
                plan.laneCoef[s * chunk + lane] = gridValue(windows, lanes.coef[s], laneDigits[s]);
            odometerStep(lanes, laneDigits);
        }
        for (int s = 0; s < lanes.size; ++s)
            for (int64_t lane = filled; lane < padded; ++lane) plan.laneCoef[s * chunk + lane] = kNaN;

        // M or D per coil and lane. The side's first group is r0..r3 or
        // w0..w2, its second t0..t3 or l0..l3.
        const int firstSize = lanesAreNumerator ? 4 : 3;
        int64_t firstCombos = 1;
        for (int s = 0; s < firstSize; ++s) firstCombos *= lanes.count[s];
        tabulateChunk<V, lanesAreNumerator>(plan, firstCombos > 1, lanes.combos > firstCombos, padded);

        for (int s = 0; s < other.size; ++s) otherDigits[s] = 0;
        for (int64_t b = 0; b < other.combos; ++b, odometerStep(other, otherDigits)) {
            for (int s = 0; s < other.size; ++s)
                otherCoef[s] = gridValue(windows, other.coef[s], otherDigits[s]);
            // The coils this combination does not refuse, in list order.
            int counted = 0;
            for (int c = 0; c < plan.coilCount; ++c) {
                const double y = lanesAreNumerator
                                     ? denominatorValue(otherCoef, plan.wire[c], plan.length[c])
                                     : numeratorValue(otherCoef, plan.radius[c], plan.turns[c]);
                if (y == 0 || y != y) continue;
                plan.coilValue[counted] = y;
                plan.coilMeasured[counted] = plan.measured[c];
                plan.coilRow[counted] = c * chunk;
                ++counted;
            }
            if (counted == 0) continue;

            double threshold = best.found ? best.goodness : kInfinity;
            for (int64_t o = 0; o < padded; o += B) {
                unsigned hits = evaluateBlock<V, lanesAreNumerator>(plan, plan.laneTable + o, counted,
                                                                     threshold, goodness);
                for (int lane = 0; hits != 0; ++lane, hits >>= 1) {
                    if ((hits & 1) == 0 || o + lane >= filled) continue;
                    const int64_t v = first + o + lane;
                    offer(best, goodness[lane],
                          lanesAreNumerator ? pointIndex(plan, v, b) : pointIndex(plan, b, v));
                }
                if (best.found) threshold = best.goodness;
            }
        }
    }
}

template <class V>
void gridWalk(const GridPlan& plan, GridBest& best) {
    if (plan.lanesAreNumerator)
        walkSides<V, true>(plan, best);
    else
        walkSides<V, false>(plan, best);
}

}  // namespace grid
}  // namespace
