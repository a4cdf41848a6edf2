// The walk of the local grid search, shared by the scalar and the vector
// variants. Each variant's file defines a lane type and calls gridWalk<Lanes>.
//
// A lane type V provides: `reg` (a register of `width` doubles), `unroll`
// (registers per block), load/store (unaligned), set1, add, sub, mul, div,
// sqrt, `refuseToNan(x)` (NaN where x is 0 or NaN, else x),
// `accumulate(sum, count, L, e)` (adds e and 1 in the lanes where neither L
// nor e is 1e208 or NaN), and `notWorse(g, t)` (bit i set where lane i of g
// is <= t; never for NaN). For the division by reciprocals it also provides
// `reciprocals` (whether the walk divides that way; false where a fused
// multiply-add would be slower than a division), fma(a, b, c) = RN(a*b + c),
// fnma(a, b, c) = RN(c - a*b), and what gridsearch_quotient.h's domain
// check asks for: abs, binade, min and outside.
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
// - The two quotients of each coil and point, L = M / D and (L - m) / m, are
//   formed from reciprocals computed once (gridsearch_quotient.h) when every
//   operand of the broadcast combination is in the routine's domain: each
//   M and D in [2^-100, 2^100] in magnitude, each D and m a divisor that
//   passes. Then L lies in [2^-200, 2^200] and L - m is 0 or at least 2^-252
//   (both are multiples of 2^-252), so (L - m) / m is inside the domain or
//   has a zero dividend; a zero's sign is lost in the square. Such an L is
//   never 1e208 and the squared error, below 2^604, never 1e208 or NaN:
//   every counted coil counts in every lane. Other combinations divide.
// - In such a combination, a block whose points are all proved worse than
//   the best point found before it is skipped (screenBlock): the in-order
//   walk would keep none of them.
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
#include "grid/gridsearch_quotient.h"
#include "grid/gridsearch_walk.h"

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
// refused values replaced by NaN; with `domain`, RN(1/D) too. A group with a
// single combination has the same polynomial in every lane; it is evaluated
// once. Returns the lanes (of all blocks, or-ed) whose value is outside the
// quotient routine's domain (with `domain` only).
template <class V, bool lanesAreNumerator, bool firstVaries, bool secondVaries>
unsigned tabulateRow(const GridPlan& plan, int c, int64_t padded, bool domain) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    const int64_t chunk = plan.chunk;
    const double* coef = plan.laneCoef;
    double* row = plan.laneTable + c * chunk;
    constexpr int kSideSize = lanesAreNumerator ? 8 : 7;
    double x[kSideSize];  // the coefficients of lane 0
    for (int s = 0; s < kSideSize; ++s) x[s] = coef[s * chunk];
    unsigned unsafe = 0;
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
            const reg value = V::refuseToNan(equation::numerator<V>(radius, turns));
            V::store(row + o, value);
            if (domain) unsafe |= unsafeLanes<V>(value, false);
        }
    } else {
        const double w = plan.wire[c];
        const double len = plan.length[c];
        const reg wireConst = V::set1(wirePolyOf(x, w));
        const reg lengthConst = V::set1(lengthPolyOf(x, len));
        double* high = plan.laneHigh + c * chunk;
        for (int64_t o = 0; o < padded; o += W) {
            const reg wire =
                firstVaries ? equation::wirePoly<V>(laneGroupAt<V>(coef + o, chunk), V::set1(w)) : wireConst;
            const reg length =
                secondVaries ? equation::lengthPoly<V>(laneGroupAt<V>(coef + 3 * chunk + o, chunk), V::set1(len))
                             : lengthConst;
            const reg value = V::refuseToNan(equation::denominator<V>(length, wire));
            V::store(row + o, value);
            if (!domain) continue;
            unsafe |= unsafeLanes<V>(value, true);
            V::store(high + o, V::div(V::set1(1.0), value));
        }
    }
    return unsafe;
}

// Tabulates the chunk; returns whether every value is in the quotient
// routine's domain (always false without `domain`).
template <class V, bool lanesAreNumerator>
bool tabulateChunk(const GridPlan& plan, bool firstVaries, bool secondVaries, int64_t padded, bool domain) {
    unsigned unsafe = 0;
    for (int c = 0; c < plan.coilCount; ++c) {
        if (firstVaries && secondVaries)
            unsafe |= tabulateRow<V, lanesAreNumerator, true, true>(plan, c, padded, domain);
        else if (firstVaries)
            unsafe |= tabulateRow<V, lanesAreNumerator, true, false>(plan, c, padded, domain);
        else if (secondVaries)
            unsafe |= tabulateRow<V, lanesAreNumerator, false, true>(plan, c, padded, domain);
        else
            unsafe |= tabulateRow<V, lanesAreNumerator, false, false>(plan, c, padded, domain);
    }
    return domain && unsafe == 0;
}

// Stores the goodness of each lane of the block and returns the lanes whose
// goodness is not worse than `threshold`.
template <class V>
unsigned finishBlock(const typename V::reg* sum, const typename V::reg* count, double threshold,
                     double* goodness) {
    constexpr int W = V::width;
    unsigned hits = 0;
    for (int u = 0; u < V::unroll; ++u) {
        // No counted coil gives 0/0 = NaN, which is never "not worse".
        const typename V::reg g = V::sqrt(V::div(sum[u], count[u]));
        V::store(goodness + u * W, g);
        hits |= V::notWorse(g, threshold) << (u * W);
    }
    return hits;
}

// Goodness of one block of width * unroll lanes, from lane `offset` of the
// chunk, over the counted coils of the current broadcast combination, by
// division.
template <class V, bool lanesAreNumerator>
unsigned evaluateBlock(const GridPlan& plan, const GridCoilTerm* terms, int counted, int64_t offset,
                       double threshold, double* goodness) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    constexpr int U = V::unroll;
    reg sum[U];
    reg count[U];
    for (int u = 0; u < U; ++u) sum[u] = count[u] = V::set1(0.0);
    for (int i = 0; i < counted; ++i) {
        const GridCoilTerm& term = terms[i];
        const double* row = plan.laneTable + term.row + offset;
        const reg y = V::set1(term.value);
        const reg m = V::set1(term.measured);
        for (int u = 0; u < U; ++u) {
            const reg x = V::load(row + u * W);
            const reg inductance = lanesAreNumerator ? V::div(x, y) : V::div(y, x);
            const reg relative = V::div(V::sub(inductance, m), m);
            V::accumulate(sum[u], count[u], inductance, V::mul(relative, relative));
        }
    }
    return finishBlock<V>(sum, count, threshold, goodness);
}

// The same by reciprocals, for a combination whose operands are all in the
// quotient routine's domain: every coil counts in every lane.
template <class V, bool lanesAreNumerator>
unsigned evaluateBlockByReciprocals(const GridPlan& plan, const GridCoilTerm* terms, int counted, int64_t offset,
                                   double threshold, double* goodness) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    constexpr int U = V::unroll;
    reg sum[U];
    reg count[U];
    for (int u = 0; u < U; ++u) {
        sum[u] = V::set1(0.0);
        count[u] = V::set1(static_cast<double>(counted));
    }
    for (int i = 0; i < counted; ++i) {
        const GridCoilTerm& term = terms[i];
        const double* row = plan.laneTable + term.row + offset;
        const reg y = V::set1(term.value);
        const reg m = V::set1(term.measured);
        const reg mHigh = V::set1(term.measuredHigh);
        const reg mLow = V::set1(term.measuredLow);
        if constexpr (lanesAreNumerator) {
            const reg yHigh = V::set1(term.valueHigh);
            const reg yLow = V::set1(term.valueLow);
            for (int u = 0; u < U; ++u) {
                const reg inductance = quotient<V>(V::load(row + u * W), y, yHigh, yLow);
                const reg relative = quotient<V>(V::sub(inductance, m), m, mHigh, mLow);
                sum[u] = V::add(sum[u], V::mul(relative, relative));
            }
        } else {
            // The low parts of the lanes' reciprocal pairs, needed only by
            // the blocks the screen lets through, are formed here.
            const double* high = plan.laneHigh + term.row + offset;
            for (int u = 0; u < U; ++u) {
                const reg x = V::load(row + u * W);
                const reg xHigh = V::load(high + u * W);
                const reg inductance = quotient<V>(y, x, xHigh, lowPart<V>(x, xHigh));
                const reg relative = quotient<V>(V::sub(inductance, m), m, mHigh, mLow);
                sum[u] = V::add(sum[u], V::mul(relative, relative));
            }
        }
    }
    return finishBlock<V>(sum, count, threshold, goodness);
}

// The screen: most points of a grid are worse than the best point found
// before them, and that is proved for a whole block at a fraction of the cost
// of its exact goodness. Each lane's sum of squared relative errors is
// approximated from the reciprocals' high parts alone, with the factor
// f = RN(RN(1/D)*RN(1/m)) or RN(M*RN(1/m)) of the broadcast side:
//   rel~ = RN(x*f - 1) for the tabulated M or RN(1/D) x,  S~ = sum of rel~^2
// in list order, by fused multiply-adds (by products and sums, rounded
// twice, where the walk does not divide by reciprocals), and a block none of
// whose lanes can reach the threshold is skipped. Only combinations whose
// operands are in the quotient routine's domain are screened: every value
// is then normal and finite, and every coil counts in every lane (see the
// top of this file).
//
// The bound, with u = 2^-53 and each rounding off by a factor 1 + d, |d| <= u:
// - x*f is M/(D*m) = l off by at most four roundings; the walk's L = RN(M/D)
//   is off M/D by one. With r = |L - m|/|m|, |l| <= (1 + r)(1 + u) and
//   |l - 1| <= r + 2.1u(1 + r); against rel = RN(RN(L - m)/m), with its two
//   roundings and the one or two of rel~: |rel~ - rel| <= 5.2u + 8.2u*r.
// - Squaring: |e~ - e| <= 2|rel||rel~ - rel| + |rel~ - rel|^2 + u(e~ + e)
//   <= 10.5u*r + 18.5u*r^2 <= 6u + 24u*e, as r <= (1 + r^2)/2 and
//   r^2 <= (1 + 6u)e.
// - Both sums of n terms in the same order are off their exact sums by at
//   most nu(1 + 2^-32) times those, for n <= 2^20:
//   |S~ - S| <= 7u*n + (2n + 32)u*S.
// So S >= (S~ - 7u*n)/(1 + (2n + 32)u). If S > n*T^2*(1 + 2^-40) for the
// threshold T, then RN(S/n) >= T^2*(1 + 2^-41), and the goodness
// RN(sqrt(RN(S/n))) is at least T plus an ulp of T: the lane is worse.
// screenLimit gives a limit on S~ that implies this, its own seven roundings
// covered by the factors 1 + 2^-39 (instead of 1 + 2^-40) and 1 + 2^-45;
// +inf (nothing is skipped) for more than 2^20 coils or a threshold outside
// [2^-400, 2^400], where T^2 could lose accuracy.
inline double screenLimit(double threshold, int counted) {
    if (!(threshold >= 0x1p-400 && threshold <= 0x1p400) || counted > (1 << 20)) return kInfinity;
    constexpr double u = 0x1p-53;
    const double n = counted;
    const double target = threshold * threshold * n * (1 + 0x1p-39);
    return (target * (1 + (2 * n + 32) * u) + 7 * u * n) * (1 + 0x1p-45);
}

// The lanes of a block whose approximate sum S~ is within `limit`: those
// that may not be worse than the threshold.
template <class V, bool lanesAreNumerator>
unsigned screenBlock(const GridPlan& plan, const GridCoilTerm* terms, int counted, int64_t offset, double limit) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    constexpr int U = V::unroll;
    const double* table = lanesAreNumerator ? plan.laneTable : plan.laneHigh;
    const reg one = V::set1(1.0);
    const reg minusOne = V::set1(-1.0);
    reg sum[U];
    for (int u = 0; u < U; ++u) sum[u] = V::set1(0.0);
    for (int i = 0; i < counted; ++i) {
        const GridCoilTerm& term = terms[i];
        const double* row = table + term.row + offset;
        const reg factor = V::set1(term.screenFactor);
        for (int u = 0; u < U; ++u) {
            if constexpr (V::reciprocals) {
                const reg relative = V::fma(V::load(row + u * W), factor, minusOne);
                sum[u] = V::fma(relative, relative, sum[u]);
            } else {
                const reg relative = V::sub(V::mul(V::load(row + u * W), factor), one);
                sum[u] = V::add(sum[u], V::mul(relative, relative));
            }
        }
    }
    unsigned maybe = 0;
    for (int u = 0; u < U; ++u) maybe |= V::notWorse(sum[u], limit) << (u * W);
    return maybe;
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

// Fills `terms` for the coils the broadcast combination `otherCoef` counts,
// in list order; returns how many. `inDomain` is cleared unless every
// operand is in the quotient routine's domain.
template <bool lanesAreNumerator>
int countCoils(const GridPlan& plan, const double* otherCoef, bool& inDomain, GridCoilTerm* terms) {
    int counted = 0;
    for (int c = 0; c < plan.coilCount; ++c) {
        const double y = lanesAreNumerator ? denominatorValue(otherCoef, plan.wire[c], plan.length[c])
                                           : numeratorValue(otherCoef, plan.radius[c], plan.turns[c]);
        if (y == 0 || y != y) continue;
        GridCoilTerm& term = terms[counted++];
        term.value = y;
        term.measured = plan.measured[c];
        term.row = c * plan.chunk;
        if (!inDomain) continue;
        term.measuredHigh = plan.measuredHigh[c];
        term.measuredLow = plan.measuredLow[c];
        if (!lanesAreNumerator) {
            inDomain = safeOperand(y);  // a dividend
            term.screenFactor = y * term.measuredHigh;
        } else if ((inDomain = safeDivisor(y))) {
            reciprocalPair(y, term.valueHigh, term.valueLow);
            term.screenFactor = term.valueHigh * term.measuredHigh;
        }
    }
    return counted;
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

    // Every combination's coil terms at once, where the plan keeps them.
    const bool keptTerms = plan.termSetCount == other.combos && other.combos > 1;
    if (keptTerms) {
        for (int s = 0; s < other.size; ++s) otherDigits[s] = 0;
        for (int64_t b = 0; b < other.combos; ++b, odometerStep(other, otherDigits)) {
            for (int s = 0; s < other.size; ++s)
                otherCoef[s] = gridValue(windows, other.coef[s], otherDigits[s]);
            GridTermSet& set = plan.termSets[b];
            set.inDomain = plan.measuredDivides;
            set.counted = countCoils<lanesAreNumerator>(plan, otherCoef, set.inDomain,
                                                         plan.coilTerms + b * plan.coilCount);
        }
    }

    for (int64_t first = 0; first < lanes.combos; first += chunk) {
        const int64_t filled = lanes.combos - first < chunk ? lanes.combos - first : chunk;
        const int64_t padded = (filled + B - 1) / B * B;

        // Coefficient values of the chunk's lanes. Padding lanes repeat the
        // last lane, so that they hold values like the others; their results
        // are never offered.
        odometerSet(lanes, first, laneDigits);
        for (int64_t lane = 0; lane < filled; ++lane) {
            for (int s = 0; s < lanes.size; ++s)
                plan.laneCoef[s * chunk + lane] = gridValue(windows, lanes.coef[s], laneDigits[s]);
            odometerStep(lanes, laneDigits);
        }
        for (int s = 0; s < lanes.size; ++s)
            for (int64_t lane = filled; lane < padded; ++lane)
                plan.laneCoef[s * chunk + lane] = plan.laneCoef[s * chunk + filled - 1];

        // M or D per coil and lane. The side's first group is r0..r3 or
        // w0..w2, its second t0..t3 or l0..l3.
        const int firstSize = lanesAreNumerator ? 4 : 3;
        int64_t firstCombos = 1;
        for (int s = 0; s < firstSize; ++s) firstCombos *= lanes.count[s];
        const bool chunkInDomain = tabulateChunk<V, lanesAreNumerator>(
            plan, firstCombos > 1, lanes.combos > firstCombos, padded, plan.measuredDivides);

        for (int s = 0; s < other.size; ++s) otherDigits[s] = 0;
        for (int64_t b = 0; b < other.combos; ++b, odometerStep(other, otherDigits)) {
            const GridCoilTerm* terms = plan.coilTerms;
            int counted;
            bool inDomain = chunkInDomain;
            if (keptTerms) {
                terms += b * plan.coilCount;
                counted = plan.termSets[b].counted;
                inDomain = inDomain && plan.termSets[b].inDomain;
            } else {
                for (int s = 0; s < other.size; ++s)
                    otherCoef[s] = gridValue(windows, other.coef[s], otherDigits[s]);
                counted = countCoils<lanesAreNumerator>(plan, otherCoef, inDomain, plan.coilTerms);
            }
            if (counted == 0) continue;

            double threshold = best.found ? best.goodness : kInfinity;
            double limit = inDomain ? screenLimit(threshold, counted) : kInfinity;
            for (int64_t o = 0; o < padded; o += B) {
                if (limit != kInfinity && screenBlock<V, lanesAreNumerator>(plan, terms, counted, o, limit) == 0)
                    continue;
                unsigned hits = inDomain && V::reciprocals
                                    ? evaluateBlockByReciprocals<V, lanesAreNumerator>(plan, terms, counted, o,
                                                                                       threshold, goodness)
                                    : evaluateBlock<V, lanesAreNumerator>(plan, terms, counted, o, threshold, goodness);
                for (int lane = 0; hits != 0; ++lane, hits >>= 1) {
                    if ((hits & 1) == 0 || o + lane >= filled) continue;
                    const int64_t v = first + o + lane;
                    offer(best, goodness[lane],
                          lanesAreNumerator ? pointIndex(plan, v, b) : pointIndex(plan, b, v));
                }
                if (best.found && best.goodness != threshold) {
                    threshold = best.goodness;
                    if (inDomain) limit = screenLimit(threshold, counted);
                }
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
