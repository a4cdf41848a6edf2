// The domain, the test of fit and the repeated cross-validation of a fit.
#include "refine/assessment.h"

#include <boost/math/distributions/chi_squared.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "coils/equation.h"

namespace {

void widen(double (&range)[2], double value, bool first) {
    if (first || value < range[0]) range[0] = value;
    if (first || value > range[1]) range[1] = value;
}

// Below this p-value the χ² says the formula's own error shows; above
// 1 − it, the scatter is smaller than the uncertainty allows.
constexpr double kSignificance = 0.05;
// From this χ²/ν on, the formula's own error is larger than the measurements'.
constexpr double kDominant = 2;

std::string verdictOf(const UncertaintyTest& t) {
    char text[320];
    if (std::isnan(t.pValue))
        std::snprintf(text, sizeof text, "No test of fit: as many free coefficients as coils");
    else if (t.pValue < kSignificance && t.chi2PerDof >= kDominant)
        std::snprintf(text, sizeof text,
                      "The formula does not explain the coils to within their uncertainty of %g: its own error "
                      "dominates (chi-square/nu = %.3g, p = %.2g)",
                      t.relative, t.chi2PerDof, t.pValue);
    else if (t.pValue < kSignificance)
        std::snprintf(text, sizeof text,
                      "The formula explains the coils nearly to within their uncertainty of %g: chi-square/nu = %.3g "
                      "(p = %.2g) leaves room for an error of its own of about %.2g RMS, or for an uncertainty nearer "
                      "%.2g",
                      t.relative, t.chi2PerDof, t.pValue, t.relative * std::sqrt(t.chi2PerDof - 1),
                      t.relative * std::sqrt(t.chi2PerDof));
    else if (t.pValue > 1 - kSignificance)
        std::snprintf(text, sizeof text,
                      "The formula explains the coils to within their uncertainty of %g, and closer than it allows "
                      "(chi-square/nu = %.3g, p = %.2g): the uncertainty may be overstated",
                      t.relative, t.chi2PerDof, t.pValue);
    else
        std::snprintf(text, sizeof text,
                      "The formula explains the coils to within their uncertainty of %g (chi-square/nu = %.3g, p = "
                      "%.2g)",
                      t.relative, t.chi2PerDof, t.pValue);
    return text;
}

}  // namespace

FitDomain fitDomain(const std::vector<FitCoil>& coils) {
    FitDomain d;
    for (const FitCoil& coil : coils) {
        const bool first = d.coils == 0;
        widen(d.radius, coil.radius, first);
        widen(d.turns, coil.turns, first);
        widen(d.length, coil.length, first);
        widen(d.wire, coil.wire, first);
        widen(d.lengthOverDiameter, coil.length / (2 * coil.radius), first);
        ++d.coils;
    }
    return d;
}

UncertaintyTest uncertaintyTest(const FitStatistics& s, double uncertainty) {
    UncertaintyTest t;
    t.relative = uncertainty;
    t.chi2 = s.chisqr / (uncertainty * uncertainty);
    t.nu = s.n - s.p;
    t.chi2PerDof = t.nu > 0 ? t.chi2 / t.nu : std::nan("");
    t.pValue = std::nan("");
    if (t.nu > 0 && std::isfinite(t.chi2)) {
        const boost::math::chi_squared distribution(t.nu);
        t.pValue = boost::math::cdf(boost::math::complement(distribution, t.chi2));
    }
    t.verdict = verdictOf(t);
    return t;
}

void errorsFromUncertainty(FitStatistics& s, double uncertainty) {
    if (!(s.redchi > 0)) return;
    const double variance = uncertainty * uncertainty / s.redchi;
    for (double& error : s.standardError) error *= std::sqrt(variance);
    for (double& entry : s.covariance) entry *= variance;
}

RepeatedRms repeatedCrossValidation(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held,
                                    int folds, int repeats) {
    const int n = static_cast<int>(coils.size());
    const int k = std::max(1, std::min(folds, n));
    std::vector<int> position(coils.size());
    std::iota(position.begin(), position.end(), 0);
    std::vector<double> perRepeat;
    for (int r = 0; r < repeats; ++r)
        perRepeat.push_back(crossValidatedRms(coils, position, foldsOfRepeat(n, k, r), k, c, held));
    return repeatedRms(perRepeat);
}

FoldRefits foldRefits(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held, int folds) {
    FoldRefits f;
    const int n = static_cast<int>(coils.size());
    f.folds = std::max(1, std::min(folds, n));
    f.fold = foldsOfRepeat(n, f.folds, 0);
    std::vector<int> position(coils.size());
    std::iota(position.begin(), position.end(), 0);
    crossValidatedRms(coils, position, f.fold, f.folds, c, held, &f.sets);
    return f;
}

std::vector<int> worstFitted(const std::vector<FitCoil>& coils, const Coefficients& c, int count) {
    ResultRecord set{};
    set.coefficients = c;
    std::vector<std::pair<double, int>> errors;
    for (size_t i = 0; i < coils.size(); ++i) {
        const double e = evalInductor(coils[i].record, &set);
        if (countsInGoodness(e)) errors.emplace_back(e, static_cast<int>(i));
    }
    std::stable_sort(errors.begin(), errors.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
    std::vector<int> worst;
    for (size_t i = 0; i < errors.size() && static_cast<int>(i) < count; ++i) worst.push_back(errors[i].second);
    return worst;
}
