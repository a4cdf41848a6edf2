// K-fold cross-validation by refits from the fitted set.
#include "refine/crossvalidate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace {

std::string tooFewToRefit(size_t coils, int free) {
    char text[128];
    std::snprintf(text, sizeof text, "%zu coils are too few to refit %d free coefficients", coils, free);
    return text;
}

}  // namespace

CrossValidation crossValidate(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held, int k) {
    CrossValidation result;
    const int n = static_cast<int>(coils.size());
    result.folds = std::min(k, n);
    const int free = kCoefficientCount - std::popcount(static_cast<uint32_t>(held) & ((1u << kCoefficientCount) - 1));
    double sum = 0;
    int counted = 0;
    for (int fold = 0; fold < result.folds; ++fold) {
        std::vector<FitCoil> training, left;
        for (int i = 0; i < n; ++i) (i % result.folds == fold ? left : training).push_back(coils[i]);
        if (static_cast<int>(training.size()) < free) {
            result.failed.push_back({fold, tooFewToRefit(training.size(), free)});
            continue;
        }
        const Refit fitted = refit(training, c, held);
        if (!fitted.usable) {
            result.failed.push_back({fold, "the refit failed: " + fitted.message});
            continue;
        }
        const InductorRecord* lost = nullptr;
        const double foldSum = squaredErrorSum(left, fitted.coefficients, &lost);
        if (std::isnan(foldSum)) {
            result.failed.push_back({fold, std::string("the refitted set cannot evaluate coil ") + lost->fileName});
            continue;
        }
        sum += foldSum;
        counted += static_cast<int>(left.size());
    }
    result.rms = counted > 0 ? std::sqrt(sum / counted) : std::nan("");
    return result;
}
