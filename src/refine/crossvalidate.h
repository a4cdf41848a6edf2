// K-fold cross-validation of a fitted formula: how well it predicts coils it
// was not fitted to.
#pragma once

#include <string>
#include <vector>

#include "refine/leastsquares.h"

struct FoldFailure {
    int fold;
    std::string reason;
};

struct CrossValidation {
    int folds = 0;                    // folds used: K, or the number of coils when fewer
    double rms = 0;                   // RMS relative error of the left-out coils; NaN when every fold failed
    std::vector<FoldFailure> failed;  // folds left out of the RMS
};

// Coil i of `coils` (in coil-file order) belongs to fold i mod K. Each fold
// is refitted from `c` on the other coils, holding `held`, and its coils'
// relative errors under the refitted set make up the prediction RMS.
CrossValidation crossValidate(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held, int k);
