// The inductance equation and the goodness of a coefficient set.
//
// L = mu0 * R(a) * T(N) / (Lambda(len) * W(w)), each polynomial by Horner's
// scheme in a fixed order of operations; the grid search repeats exactly
// these steps, so any change here must be made there too.
#include <cmath>

#include "geneticproc.h"
#include "version.h"

double evalInductorAbs(const InductorRecord* coil, const ResultRecord* set) {
    const auto& c = set->coefficients;
    const double len = coil->length;
    const double lambda = ((c[cL3] * len + c[cL2]) * len + c[cL1]) * len + c[cL0];
    const double w = coil->wire;
    const double wirePoly = (c[cW2] * w + c[cW1]) * w + c[cW0];
    const double denominator = lambda * wirePoly;
    if (denominator == 0 || std::isnan(denominator)) return kNoValue;
    const double a = coil->radius;
    const double radiusPoly = ((c[cR3] * a + c[cR2]) * a + c[cR1]) * a + c[cR0];
    const double n = static_cast<double>(coil->turns);
    const double turnsPoly = ((c[cT3] * n + c[cT2]) * n + c[cT1]) * n + c[cT0];
    const double numerator = (radiusPoly * kMu0) * turnsPoly;
    if (numerator == 0 || std::isnan(numerator)) return kNoValue;
    return numerator / denominator;
}

double evalInductor(const InductorRecord* coil, const ResultRecord* set) {
    const double computed = evalInductorAbs(coil, set);
    if (computed == kNoValue || std::isnan(computed)) return computed;
    const double m = coil->measuredInductance;
    const double relative = (computed - m) / m;
    return relative * relative;
}

void evalInductors(const InductorRecord* list, ResultRecord* set) {
    double sum = 0;
    int count = 0;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) {
        const double e = evalInductor(coil, set);
        if (e == kNoValue || std::isnan(e)) continue;
        sum += e;
        ++count;
    }
    set->goodness = count > 0 ? std::sqrt(sum / count) : kNoValue;
}
