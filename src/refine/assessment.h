// How far to trust the fitted formula beyond its goodness: the ranges of the
// coils it was fitted on, a test of fit against a known measurement
// uncertainty, cross-validation repeated on reshuffled folds, and the fold
// refits a saved result needs to give prediction intervals without a refit.
#pragma once

#include <string>
#include <vector>

#include "refine/compare.h"
#include "refine/statistics.h"

// The smallest and largest value of each coil variable over the fitted coils.
struct FitDomain {
    int coils = 0;
    double radius[2]{}, turns[2]{}, length[2]{}, wire[2]{}, lengthOverDiameter[2]{};
};
FitDomain fitDomain(const std::vector<FitCoil>& coils);

// χ² = Σ(r/U)² of the relative residuals r against a relative standard
// uncertainty U, ν = n − p, and the probability of a χ² at least as large.
struct UncertaintyTest {
    double relative = 0;
    double chi2 = 0;
    int nu = 0;
    double chi2PerDof = 0;
    double pValue = 0;  // NaN when ν < 1
    std::string verdict;  // one line
};
UncertaintyTest uncertaintyTest(const FitStatistics& s, double uncertainty);
// Standard errors and covariance from the uncertainty itself: (JᵀJ)⁻¹·U² in
// place of (JᵀJ)⁻¹·χ²/(n − p).
void errorsFromUncertainty(FitStatistics& s, double uncertainty);

// Cross-validation of the set `c` fitted to `coils`, repeated `repeats`
// times on reshuffled folds (repeat 0 on the folds of crossvalidate).
RepeatedRms repeatedCrossValidation(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held,
                                    int folds, int repeats);

// The K refits of the first repeat's folds: fold[i] is coil i's fold, sets[k]
// the set refitted without fold k.
struct FoldRefits {
    int folds = 0;
    std::vector<int> fold;
    std::vector<Coefficients> sets;
};
FoldRefits foldRefits(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held, int folds);

// The coils the set fits worst, as indexes into `coils`, largest relative
// error first: at most `count`.
std::vector<int> worstFitted(const std::vector<FitCoil>& coils, const Coefficients& c, int count);
