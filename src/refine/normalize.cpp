// Normalisation of a set's free scales: T, Λ and W divided by their held
// coefficients, R multiplied by the same factors' quotient.
#include "refine/normalize.h"

#include <cmath>
#include <iterator>
#include <vector>

namespace {

// The polynomials whose scale a held coefficient carries, by their first
// coefficient and count; R takes up the factors.
struct Scaled {
    int first;
    int count;
    bool divides;  // the polynomial divides L (Λ and W) rather than multiplies it (T)
};
constexpr Scaled kScaled[] = {{cT0, 4, false}, {cL0, 4, true}, {cW0, 3, true}};

bool inMask(int32_t mask, int k) { return (mask >> k & 1) != 0; }

}  // namespace

std::string coefficientList(int32_t mask) {
    const std::vector<std::string> names = coefficientNames(mask);
    std::string list;
    for (size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return list;
}

std::string normalizeScales(Coefficients& c, int32_t held, int32_t pinned) {
    held &= ~pinned;
    for (int k = cR0; k <= cR3; ++k)
        if (inMask(held, k)) return std::string(kCoefficientNames[k]) + " holds a scale of R";
    // The factor each polynomial is divided by; 1 for one without a held coefficient.
    double factors[std::size(kScaled)];
    double quotient = 1;  // what R is multiplied by: T's factor over those of Λ and W
    for (size_t p = 0; p < std::size(kScaled); ++p) {
        factors[p] = 1;
        int found = 0;
        for (int k = kScaled[p].first; k < kScaled[p].first + kScaled[p].count; ++k) {
            if (!inMask(held, k)) continue;
            if (++found > 1) return std::string("two coefficients of one polynomial are held");
            if (c[k] == 0 || !std::isfinite(c[k]))
                return std::string(kCoefficientNames[k]) + " is " + (c[k] == 0 ? "0" : "not a finite number");
            factors[p] = c[k];
        }
        quotient = kScaled[p].divides ? quotient / factors[p] : quotient * factors[p];
    }
    if (quotient == 0 || !std::isfinite(quotient)) return "the factor of R is 0 or not a finite number";
    // A pinned coefficient other than 0 cannot be scaled with its polynomial.
    for (size_t p = 0; p < std::size(kScaled); ++p)
        for (int k = kScaled[p].first; k < kScaled[p].first + kScaled[p].count; ++k)
            if (factors[p] != 1 && inMask(pinned, k) && c[k] != 0)
                return std::string(kCoefficientNames[k]) + " is pinned at a value other than 0";
    for (int k = cR0; k <= cR3; ++k)
        if (quotient != 1 && inMask(pinned, k) && c[k] != 0)
            return std::string(kCoefficientNames[k]) + " is pinned at a value other than 0";

    for (size_t p = 0; p < std::size(kScaled); ++p)
        for (int k = kScaled[p].first; k < kScaled[p].first + kScaled[p].count; ++k)
            if (!inMask(pinned, k)) c[k] = inMask(held, k) ? 1 : c[k] / factors[p];
    for (int k = cR0; k <= cR3; ++k)
        if (!inMask(pinned, k)) c[k] *= quotient;
    return {};
}
