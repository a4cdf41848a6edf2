// Backward elimination by AIC with a refit for every candidate removal.
#include "refine/prune.h"

#include <bit>
#include <cmath>

#include "refine/statistics.h"

namespace {

constexpr int32_t kAllCoefficients = (int32_t{1} << kCoefficientCount) - 1;

int freeCount(int32_t held) { return std::popcount(static_cast<uint32_t>(~held & kAllCoefficients)); }

}  // namespace

Pruning pruneByAic(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held) {
    const int n = static_cast<int>(coils.size());
    Pruning result;
    result.coefficients = c;
    const double chisqr = squaredErrorSum(coils, c);
    result.goodness = std::sqrt(chisqr / n);
    result.aic = akaike(n, chisqr, freeCount(held));
    if (!std::isfinite(result.aic)) return result;

    for (;;) {
        const int32_t fixed = held | result.dropped;
        const int p = freeCount(fixed) - 1;
        PruneStep best{-1, 0, result.aic};
        Coefficients bestSet{};
        for (int k = 0; k < kCoefficientCount; ++k) {
            if ((fixed >> k & 1) != 0) continue;
            Coefficients start = result.coefficients;
            start[k] = 0;
            const Refit fitted = refit(coils, start, fixed | int32_t{1} << k);
            if (!fitted.usable) continue;
            const double sum = squaredErrorSum(coils, fitted.coefficients);
            if (!std::isfinite(sum)) continue;
            const double aic = akaike(n, sum, p);
            if (aic < best.aic) {
                best = {k, std::sqrt(sum / n), aic};
                bestSet = fitted.coefficients;
            }
        }
        if (best.coefficient < 0) return result;
        result.steps.push_back(best);
        result.dropped |= int32_t{1} << best.coefficient;
        result.coefficients = bestSet;
        result.goodness = best.goodness;
        result.aic = best.aic;
    }
}
