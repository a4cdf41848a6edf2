// A plain, literal local grid search: windows settled one coefficient at a
// time, fifteen nested levels (r0 outermost), every grid point evaluated with
// evalInductorAbs and the whole point record copied on a strict improvement.
// The production walk must return the same 144 bytes. Header-only so that
// the tests and the benchmarks share it.
#pragma once

#include <cmath>
#include <cstdint>

#include "coils/equation.h"
#include "coils/storage.h"
#include "common/version.h"
#include "settings/symtab.h"
#include "grid/gridsearch.h"

namespace reference {

struct Walk {
    const InductorRecord* coils;
    ResultRecord* best;
    ResultRecord* point;
    const ResultRecord* base;  // first value of every window
    double inc[kCoefficientCount];
    int32_t count[kCoefficientCount];
};

inline void visitPoint(Walk& walk) {
    double sum = 0;
    int count = 0;
    for (const InductorRecord* coil = walk.coils; coil != nullptr; coil = coil->next) {
        const double computed = evalInductorAbs(coil, walk.point);
        if (computed == kNoValue || std::isnan(computed)) continue;
        const double m = coil->measuredInductance;
        const double relative = (computed - m) / m;
        const double square = relative * relative;
        if (square == kNoValue || std::isnan(square)) continue;
        sum += square;
        ++count;
    }
    const double goodness = count > 0 ? std::sqrt(sum / count) : kNoValue;
    walk.point->goodness = goodness;
    if (goodness != kNoValue && !std::isnan(goodness) &&
        (walk.best->goodness == kNoValue || walk.best->goodness > goodness))
        copyResult(walk.best, walk.point);
}

inline void walkLevel(Walk& walk, int k) {
    if (k == kCoefficientCount) {
        visitPoint(walk);
        return;
    }
    for (int32_t j = 0; j < walk.count[k]; ++j) {
        walk.point->coefficients[k] =
            static_cast<double>(j) * walk.inc[k] + walk.base->coefficients[k];
        walkLevel(walk, k + 1);
    }
}

inline ResultRecord* runMajor(const InductorRecord* coils, const ResultRecord* candidate) {
    ResultRecord* best = newResult();
    best->goodness = kNoValue;
    ResultRecord* point = newResult();
    ResultRecord* base = newResult();
    Walk walk{coils, best, point, base, {}, {}};

    const bool forward = (swapper & 1) != 0;
    const int32_t minormax = S[kMinorMax].value.i;
    int64_t product = 1;
    for (int i = 0; i < kCoefficientCount; ++i) {
        const int k = forward ? i : kCoefficientCount - 1 - i;
        const double c = candidate->coefficients[k];
        walk.inc[k] = R[k].minorInc;
        base->coefficients[k] = c;
        walk.count[k] = 1;
        if (minormax <= 1) continue;
        const double h = static_cast<double>(R[k].mcount / 2) * R[k].minorInc;
        const double s = c - h > R[k].low ? c - h : R[k].low;
        const double e = h + c < R[k].high ? h + c : R[k].high;
        const double q = (e - s) / R[k].minorInc;
        if (!(q >= 1 && q < 2147483648.0)) continue;
        const int32_t n = static_cast<int32_t>(q);
        if (product * n >= minormax) continue;
        base->coefficients[k] = s;
        walk.count[k] = n;
        product *= n;
    }
    ++swapper;

    walkLevel(walk, 0);
    freeResult(point);
    freeResult(base);
    return best;
}

}  // namespace reference
