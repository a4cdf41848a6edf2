// The inductance equation and the goodness of a coefficient set.
#pragma once

#include <cmath>

#include "coils/records.h"

// The inductance `set` computes for `coil`, or kNoValue when it cannot.
double evalInductorAbs(const InductorRecord* coil, const ResultRecord* set);
// ((computed - measured) / measured)^2 for a computed inductance.
double squaredRelativeError(const InductorRecord* coil, double computed);
// The squared relative error of `set` on `coil`, or kNoValue.
double evalInductor(const InductorRecord* coil, const ResultRecord* set);
// Whether a coil whose evalInductor result is `e` counts in the goodness.
inline bool countsInGoodness(double e) { return e != kNoValue && !std::isnan(e); }
// Sets the goodness of `set`: the RMS relative error over the coils it evaluates.
void evalInductors(const InductorRecord* list, ResultRecord* set);
