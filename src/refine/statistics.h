// How well the data determine a fitted coefficient set: standard errors and
// correlations of the free coefficients, information criteria, and the
// leverage and studentized residual of every coil, in the convention of
// nonlinear least-squares packages (covariance = (JᵀJ)⁻¹·χ²/(n − p), with J
// the Jacobian of the relative residuals at the set).
#pragma once

#include <string>
#include <vector>

#include "refine/leastsquares.h"

struct CorrelatedPair {
    int first;   // coefficient indexes, first < second
    int second;
    double r;
};

struct FitStatistics {
    std::string unavailable;  // why no statistics can be given; empty when they are
    int n = 0;                // coils evaluated
    int p = 0;                // free coefficients
    int32_t free = 0;         // bit k: coefficient k is free
    double chisqr = 0, redchi = 0, aic = 0, bic = 0;
    int32_t undetermined = 0;  // free coefficients the data cannot decide (JᵀJ singular)
    int32_t infiniteError = 0; // free coefficients whose standard error is not a finite number
    Coefficients standardError{};  // NaN where not free or not determined
    std::vector<int> freeOrder;         // the free coefficients, in coefficient order
    std::vector<double> correlation;    // freeOrder.size() squared, row-major; empty when singular
    std::vector<double> covariance;     // likewise, of the coefficients themselves
    std::vector<CorrelatedPair> highCorrelations;  // |r| > kHighCorrelation
    std::vector<double> leverage;       // per coil of the fit; NaN when not available
    std::vector<double> studentized;    // per coil of the fit; NaN when not available
    std::vector<int> outliers;          // coils of the fit with |studentized| > kOutlierLimit
};

inline constexpr double kHighCorrelation = 0.95;
// An RMS relative residual this small is round-off: chi-square, the
// information criteria and the standard errors derived from it mean nothing.
inline constexpr double kRoundOffResidual = 64 * 2.220446049250313e-16;
inline constexpr double kOutlierLimit = 3;

// AIC = n·ln(χ²/n) + 2p.
double akaike(int n, double chisqr, int p);

// The statistics of the set `c` fitted to `coils` (every one of which it
// evaluates), with the coefficients of `held` not free.
FitStatistics fitStatistics(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held);
