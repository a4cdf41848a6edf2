// Division by a divisor that is used many times, through its reciprocal,
// with the result equal bit for bit to the division a / b rounded to nearest.
//
// The divisor b gets a reciprocal pair once, by one true division:
//   high = RN(1/b),  low = RN(rho*high)  with rho = 1 - b*high (exact, one FMA).
// Each quotient then costs one product and three FMAs:
//   q0 = RN(a*high + RN(a*low))   a first quotient, within about half an ulp
//   r  = RN(a - b*q0)             its remainder, which is exact
//   q  = RN(q0 + r*high)          one correction step
//
// Why q = RN(a/b) (b's binade scaled to [1, 2) by a power of two, which
// changes no rounding inside the domain below; Q = a/b with
// 2^E <= |Q| < 2^(E+1); beta = |b| in [1, 2)):
// 1. |high - 1/b| <= 2^-54, so |rho| <= beta*2^-54 < 2^-53, and rho is a
//    multiple of 2^-105: it is representable, the FMA gives it exactly.
//    rho*high = (rho/b)*(1 - rho) is within 2^-107 of rho/b = 1/b - high, and
//    rounding it adds at most 2^-107: |high + low - 1/b| <= 2^-106. As
//    |rho/b| < 2^-54 (1/b is not a midpoint unless b is a power of two, and
//    then rho = 0), |rho*high| is below 2^-54*(1 + 2^-53), and |low| <= 2^-54.
// 2. |a| < 2^(E+1)*beta < 2^(E+2), so |a*low| < 2^(E-52) and
//    RN(a*low) is off by at most 2^(E-106); a*(high + low) is off a/b by
//    less than 2^(E+2)*2^-106. So w = a*high + RN(a*low) is within
//    1.25*2^(E-104) of Q, and q0 = RN(w) is within
//    |RN(Q) - Q| + 2*1.25*2^(E-104) < 2^(E-53) + 2.5*2^(E-104) of Q. q0 is
//    at least 2^E in magnitude (w is far above the midpoint below 2^E).
// 3. a is a multiple of 2^(E-52) (|a| >= 2^E), b*q0 one of 2^(E-104), and
//    |a - b*q0| = beta*|Q - q0| < 2^(E-52) + 5*2^(E-104): fewer than 2^53
//    units of 2^(E-104), so r is exact.
// 4. Then q0 + r*high - Q = (q0 - Q)*(1 - b*high) = (q0 - Q)*rho, of
//    magnitude below (2^(E-53) + 2.5*2^(E-104))*beta*2^-54
//    = beta*2^(E-107)*(1 + 5*2^-52).
// 5. Rounding changes at the midpoints between neighbouring doubles. Those
//    inside Q's binade are odd multiples of 2^(E-53); a - b*mu is then a
//    multiple of 2^(E-105) and never zero (a quotient of two doubles is never
//    a midpoint: a*2^k = b*mu with mu's odd significand of 54 bits would give
//    a 53-bit integer an odd factor of at least 2^53), so |Q - mu| >=
//    2^(E-105)/beta. The midpoints outside the binade are at least 2^(E-54)
//    away. With beta <= 2 - 2^-32 (checked for every divisor),
//    beta^2*(1 + 5*2^-52) < 4, so the sum in step 4 stays closer to Q than
//    any midpoint, on Q's side of all of them: RN of it, q, is RN(Q).
// The steps need every value normal and no overflow: b in [2^-100, 2^100]
// (which keeps rho, low and r clear of the subnormals), a finite and not
// zero, and |a/b| in [2^-900, 2^900] (then a is normal, and products of
// 2^(E-110) are still representable). A zero a gives a zero q, whose sign
// may differ from the division's.
//
// Internal linkage on purpose, as in gridsearch_kernel.h: the walk's files
// are compiled for different instruction sets. Only built-ins are used here.
#pragma once

#include <cstdint>

namespace {
namespace grid {

// Operands inside [2^-100, 2^100] in magnitude: with both in it, a / b lies
// in [2^-200, 2^200], well inside the routine's domain.
constexpr double kSafeLow = 0x1p-100;
constexpr double kSafeHigh = 0x1p100;
// Largest significand of a divisor: 2 - 2^-32, as a bit field and as a
// factor of the divisor's binade.
constexpr uint64_t kSignificandBits = 0x000FFFFFFFFFFFFFull;
constexpr uint64_t kLargestSignificand = 0x000FFFFFFFF00000ull;
constexpr double kLargestSignificandFactor = 2.0 - 0x1p-32;

// Whether x may be an operand of the routine (a dividend, or a divisor when
// its significand passes too). False for zeros, infinities, NaNs and
// subnormals.
inline bool safeOperand(double x) {
    const double magnitude = __builtin_fabs(x);
    return magnitude >= kSafeLow && magnitude <= kSafeHigh;
}

inline bool safeDivisor(double b) {
    if (!safeOperand(b)) return false;
    uint64_t bits;
    __builtin_memcpy(&bits, &b, sizeof bits);
    return (bits & kSignificandBits) <= kLargestSignificand;
}

// The reciprocal pair of a safe divisor.
inline void reciprocalPair(double b, double& high, double& low) {
    high = 1.0 / b;
    low = high * __builtin_fma(-b, high, 1.0);
}

// The low part of the pair, lane by lane, from b and high = RN(1/b). V
// provides mul, fnma(a, b, c) = RN(c - a*b) and set1.
template <class V>
typename V::reg lowPart(typename V::reg b, typename V::reg high) {
    return V::mul(high, V::fnma(b, high, V::set1(1.0)));
}

// Lanes (as a bit mask) where x may not be a dividend, or (`divisor`) may not
// be a divisor. V provides abs, binade (2^floor(log2 |x|) for normal x),
// mul, min, set1 and outside(x, low, high), the lanes where
// low <= x <= high does not hold (NaN included).
template <class V>
unsigned unsafeLanes(typename V::reg x, bool divisor) {
    const typename V::reg magnitude = V::abs(x);
    typename V::reg high = V::set1(kSafeHigh);
    if (divisor) high = V::min(high, V::mul(V::binade(magnitude), V::set1(kLargestSignificandFactor)));
    return V::outside(magnitude, V::set1(kSafeLow), high);
}

// RN(a / b) for b with the reciprocal pair (high, low), inside the domain
// above. V provides mul, fma(a, b, c) = RN(a*b + c) and fnma.
template <class V>
typename V::reg quotient(typename V::reg a, typename V::reg b, typename V::reg high, typename V::reg low) {
    const typename V::reg q0 = V::fma(a, high, V::mul(a, low));
    const typename V::reg remainder = V::fnma(b, q0, a);
    return V::fma(remainder, high, q0);
}

// q[i] = RN(a[i] / b) for i < n: by the routine where b and the dividends of
// a whole register are in its domain (and V divides by reciprocals), by
// division elsewhere. Returns how many quotients the routine gave.
template <class V>
int64_t quotients(const double* a, int64_t n, double b, double* q) {
    using reg = typename V::reg;
    constexpr int W = V::width;
    const bool byReciprocals = V::reciprocals && safeDivisor(b);
    double high = 0;
    double low = 0;
    if (byReciprocals) reciprocalPair(b, high, low);
    const reg divisor = V::set1(b);
    const reg divisorHigh = V::set1(high);
    const reg divisorLow = V::set1(low);
    int64_t given = 0;
    for (int64_t i = 0; i < n; i += W) {
        // A last, partial register is filled up with ones.
        const int64_t width = n - i < W ? n - i : W;
        alignas(64) double lanes[W];
        const bool whole = width == W;
        if (!whole)
            for (int j = 0; j < W; ++j) lanes[j] = j < width ? a[i + j] : 1.0;
        const reg dividend = V::load(whole ? a + i : lanes);
        reg result;
        if (byReciprocals && unsafeLanes<V>(dividend, false) == 0) {
            result = quotient<V>(dividend, divisor, divisorHigh, divisorLow);
            given += width;
        } else {
            result = V::div(dividend, divisor);
        }
        if (whole) {
            V::store(q + i, result);
        } else {
            V::store(lanes, result);
            for (int j = 0; j < width; ++j) q[i + j] = lanes[j];
        }
    }
    return given;
}

}  // namespace grid
}  // namespace
