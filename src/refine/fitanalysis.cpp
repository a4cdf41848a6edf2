// The analysis of the final set and its "Fit statistics" block.
#include "refine/fitanalysis.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "coils/equation.h"
#include "settings/symtab.h"

namespace {

[[gnu::format(printf, 2, 3)]] void append(std::string& text, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    text += line;
}

bool isSet(int32_t mask, int k) { return (mask >> k & 1) != 0; }

std::string joinedNames(int32_t mask) {
    std::string text;
    for (const std::string& name : coefficientNames(mask)) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The standard error as a share of the value: two digits below 10 %, whole
// percents above.
std::string relativeError(double error, double value) {
    if (value == 0 || !std::isfinite(error)) return "-";
    const double percent = 100 * std::fabs(error / value);
    char text[32];
    std::snprintf(text, sizeof text, percent < 10 ? "%.2g %%" : "%.0f %%", percent);
    return text;
}

void appendCoefficients(std::string& text, const FitAnalysis& a) {
    const FitStatistics& s = a.statistics;
    text += "\n  coefficient          value    std. error    relative\n";
    for (int k = 0; k < kCoefficientCount; ++k) {
        append(text, "  %11s  %13.6g", kCoefficientNames[k], a.coefficients[k]);
        if (isSet(a.pinned, k))
            text += "        pinned\n";
        else if (isSet(a.held, k))
            text += "          held\n";
        else if (isSet(s.undetermined, k))
            text += "  undetermined\n";
        else if (std::isnan(s.standardError[k]))
            text += "             -\n";
        else
            append(text, "  %12.3g  %10s\n", s.standardError[k],
                   relativeError(s.standardError[k], a.coefficients[k]).c_str());
    }
}

void appendCoilDiagnostics(std::string& text, const FitAnalysis& a) {
    const FitStatistics& s = a.statistics;
    append(text, "  Suspect coils (|studentized residual| > %g):", kOutlierLimit);
    if (s.outliers.empty()) {
        int largest = -1;
        for (int i = 0; i < s.n; ++i)
            if (std::isfinite(s.studentized[i]) &&
                (largest < 0 || std::fabs(s.studentized[i]) > std::fabs(s.studentized[largest])))
                largest = i;
        if (largest < 0) {
            text += " none\n";
            return;
        }
        append(text, " none; the largest is %.3g (%s, leverage %.3g)\n", s.studentized[largest],
               a.fitted[largest].record->fileName, s.leverage[largest]);
        return;
    }
    text += "\n";
    ResultRecord set{};
    set.coefficients = a.coefficients;
    for (const int i : s.outliers) {
        const InductorRecord* coil = a.fitted[i].record;
        const double m = measuredAsGiven(coil);
        append(text, "    %-16s studentized residual %6.3g, leverage %.3g, relative error %.3g\n", coil->fileName,
               s.studentized[i], s.leverage[i], (correctedInductance(coil, evalInductorAbs(coil, &set)) - m) / m);
    }
}

void appendCrossValidation(std::string& text, const char* what, const CrossValidation& cv, double inSample) {
    for (const FoldFailure& failure : cv.failed) append(text, "  Fold %d failed: %s\n", failure.fold, failure.reason.c_str());
    append(text, "  %s (%d-fold): ", what, cv.folds);
    if (std::isnan(cv.rms))
        text += "none";
    else
        append(text, "%g", cv.rms);
    append(text, ", in sample: %g", inSample);
    if (!cv.failed.empty()) append(text, "; %zu of %d folds failed", cv.failed.size(), cv.folds);
    text += "\n";
}

void appendPruning(std::string& text, const FitAnalysis& a) {
    const Pruning& pruning = *a.pruning;
    text += "\nPruning by AIC: pin to 0 the term whose removal lowers AIC most, refit, repeat\n";
    text += "  step  pinned to 0     goodness          AIC\n";
    append(text, "  %4d  %-11s  %11.6g  %11.6g\n", 0, "-", a.goodness, a.statistics.aic);
    for (size_t i = 0; i < pruning.steps.size(); ++i)
        append(text, "  %4zu  %-11s  %11.6g  %11.6g\n", i + 1, kCoefficientNames[pruning.steps[i].coefficient],
               pruning.steps[i].goodness, pruning.steps[i].aic);
    if (pruning.steps.empty()) {
        text += "  No removal lowers AIC: the data support every free term.\n";
        return;
    }
    if (a.prunedCrossValidation)
        appendCrossValidation(text, "Pruned prediction RMS", *a.prunedCrossValidation, pruning.goodness);
    text += "  The report above stays on the unpruned set. To drop these terms, pin them in the ranges file:\n";
    for (const PruneStep& step : pruning.steps) {
        const RangeEntry& range = R[step.coefficient];
        append(text, "%s 0 0 %.15g %.15g %d\n", range.name, range.resolution, range.minorInc, range.mcount);
    }
}

}  // namespace

FitAnalysis analyseFit(const std::vector<const InductorRecord*>& coilsInFileOrder, const ResultRecord* set,
                       int32_t pinned, int32_t held, int folds, bool prune) {
    FitAnalysis a;
    for (const InductorRecord* coil : coilsInFileOrder)
        if (evaluates(coil, set)) a.fitted.push_back(fitCoilOf(coil));
    a.coefficients = set->coefficients;
    a.goodness = set->goodness;
    a.pinned = pinned;
    a.held = held & ~pinned;
    a.foldsAsked = folds;
    a.pruneAsked = prune;
    const int32_t fixed = pinned | held;
    a.statistics = fitStatistics(a.fitted, a.coefficients, fixed);
    if (!a.statistics.unavailable.empty()) return a;
    // Pruning and prediction rest on a determined fit with finite errors.
    if (a.statistics.undetermined != 0 || a.statistics.infiniteError != 0) return a;
    if (folds > 0) a.crossValidation = crossValidate(a.fitted, a.coefficients, fixed, folds);
    if (prune) {
        a.pruning = pruneByAic(a.fitted, a.coefficients, fixed);
        if (folds > 0 && !a.pruning->steps.empty())
            a.prunedCrossValidation = crossValidate(a.fitted, a.pruning->coefficients, fixed | a.pruning->dropped, folds);
    }
    return a;
}

std::string fitStatisticsBlock(const FitAnalysis& a) {
    const FitStatistics& s = a.statistics;
    std::string text = "\n\nFit statistics\n";
    if (!s.unavailable.empty()) {
        append(text, "  No statistics can be given: %s.\n", s.unavailable.c_str());
        return text;
    }
    append(text, "  n = %d coils evaluated, p = %d free coefficients (not pinned, not held for a scale)\n", s.n, s.p);
    append(text, "  chi-square = %g, reduced chi-square = %g, AIC = %g, BIC = %g\n", s.chisqr, s.redchi, s.aic,
           s.bic);
    appendCoefficients(text, a);
    text += "\n";
    if (s.undetermined != 0) {
        append(text, "  The data do not determine %s: the Jacobian's columns are dependent at working precision,\n",
               joinedNames(s.undetermined).c_str());
        text += "  so there are no standard errors, correlations or leverages. Pin one of them in the ranges file.\n";
    } else {
        append(text, "  Correlations above %g in absolute value:", kHighCorrelation);
        if (s.highCorrelations.empty()) text += " none";
        text += "\n";
        for (const CorrelatedPair& pair : s.highCorrelations)
            append(text, "    %-4s %-4s %7.3f\n", kCoefficientNames[pair.first], kCoefficientNames[pair.second], pair.r);
        appendCoilDiagnostics(text, a);
    }
    if (s.infiniteError != 0)
        append(text, "  The standard errors of %s are not finite numbers: the data's scale is beyond what double\n"
                     "  precision holds. Rescale the coil file's units.\n",
               joinedNames(s.infiniteError).c_str());
    if ((s.undetermined != 0 || s.infiniteError != 0) && (a.foldsAsked > 0 || a.pruneAsked))
        text += "  So no prediction RMS and no pruning advice are given.\n";
    if (a.crossValidation) appendCrossValidation(text, "Prediction RMS", *a.crossValidation, a.goodness);
    if (a.pruning) appendPruning(text, a);
    return text;
}
