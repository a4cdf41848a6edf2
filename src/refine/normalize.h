// The equation L = mu0·R(a)·T(N)/(Λ(l)·W(w)) is unchanged when T, Λ and W
// are each divided by a constant and R is multiplied by the quotient of the
// three: three scales that the coils cannot decide. Sets of the same goodness
// can therefore differ in every coefficient. Putting the coefficient that
// holds each scale at 1 picks one set of each such family, so that the sets
// of different runs can be compared coefficient by coefficient.
#pragma once

#include <cstdint>
#include <string>

#include "refine/leastsquares.h"

// Divides T, Λ and W each by its coefficient in `held` (bit k: coefficient k)
// and multiplies R by the same factors' quotient, leaving the coefficients in
// `pinned` as they are; each held coefficient becomes exactly 1. Returns why
// it cannot, leaving `c` as it was: a held coefficient that is 0 or not a
// finite number, a factor that is not a finite nonzero number, a polynomial
// with two held coefficients, or a held coefficient of R.
std::string normalizeScales(Coefficients& c, int32_t held, int32_t pinned);

// "w0, t2 and l1": the names of the coefficients of `mask`, in coefficient
// order, for the polish line.
std::string coefficientList(int32_t mask);
