// The inductance equation and the goodness of a coefficient set.
//
// L = mu0 * R(a) * T(N) / (Lambda(len) * W(w)), each polynomial by Horner's
// scheme in the fixed order of operations of equation_terms.h.
#include <cmath>

#include "coils/equation.h"
#include "coils/equation_terms.h"
#include "common/version.h"

double evalInductorAbs(const InductorRecord* coil, const ResultRecord* set) {
    using equation::groupAt;
    using equation::Plain;
    const double* c = set->coefficients.data();
    const double lambda = equation::lengthPoly<Plain>(groupAt(c + cL0), coil->length);
    const double wirePoly = equation::wirePoly<Plain>(groupAt(c + cW0), coil->wire);
    const double denominator = equation::denominator<Plain>(lambda, wirePoly);
    if (denominator == 0 || std::isnan(denominator)) return kNoValue;
    const double radiusPoly = equation::radiusPoly<Plain>(groupAt(c + cR0), coil->radius);
    const double turnsPoly = equation::turnsPoly<Plain>(groupAt(c + cT0), static_cast<double>(coil->turns));
    const double numerator = equation::numerator<Plain>(equation::radiusTerm<Plain>(radiusPoly), turnsPoly);
    if (numerator == 0 || std::isnan(numerator)) return kNoValue;
    return numerator / denominator;
}

double squaredRelativeError(const InductorRecord* coil, double computed) {
    const double m = coil->measuredInductance;
    const double relative = (computed - m) / m;
    return relative * relative;
}

double evalInductor(const InductorRecord* coil, const ResultRecord* set) {
    const double computed = evalInductorAbs(coil, set);
    if (computed == kNoValue || std::isnan(computed)) return computed;
    return squaredRelativeError(coil, computed);
}

void evalInductors(const InductorRecord* list, ResultRecord* set) {
    double sum = 0;
    int count = 0;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next) {
        const double e = evalInductor(coil, set);
        if (!countsInGoodness(e)) continue;
        sum += e;
        ++count;
    }
    set->goodness = count > 0 ? std::sqrt(sum / count) : kNoValue;
}
