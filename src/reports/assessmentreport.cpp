// The blocks and JSON members of the settings compare, uncertainty,
// cvrepeats and hold.
#include "reports/assessmentreport.h"

#include <cmath>
#include <cstdio>

#include "coils/equation.h"
#include "refine/polish.h"
#include "common/textformat.h"
#include "settings/basesetting.h"
#include "settings/symtab.h"

namespace {

using Json = nlohmann::ordered_json;

// Coils named as fitted worst in the statistics.
constexpr int kWorstShown = 3;

std::string shown(double value, const char* format = "%.4g") {
    if (!std::isfinite(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json coefficientObject(const Coefficients& c) {
    Json object = Json::object();
    for (int k = 0; k < kCoefficientCount; ++k) object[kCoefficientNames[k]] = number(c[k]);
    return object;
}

Json range(const double (&r)[2], int coils) {
    return coils > 0 ? Json::array({number(r[0]), number(r[1])}) : Json(nullptr);
}

void appendComparison(std::string& text, const Comparison& c) {
    text += "\n\nWhich formula\n";
    appendFormatted(text, "  Every form fitted to the same coils; prediction RMS over %d repeat%s of %d-fold cross-validation, the "
                 "same folds for all\n",
           c.repeats, c.repeats == 1 ? "" : "s", c.folds);
    appendFormatted(text, "  %-34s %5s %6s %11s %11s %10s %11s %11s", "form", "coefs", "coils", "in sample", "prediction",
           "spread", "AIC", "BIC");
    const bool chi2 = !c.rows.empty() && std::isfinite(c.rows.front().chi2PerDof);
    text += chi2 ? "    chi2/nu\n" : "\n";
    for (size_t i = 0; i < c.rows.size(); ++i) {
        const CandidateForm& row = c.rows[i];
        const std::string label = (static_cast<int>(i) == c.recommended ? "* " : "  ") + row.label;
        appendFormatted(text, "  %-34s %5d %6d", label.c_str(), row.fitted, row.evaluated);
        if (!row.comparable) {
            text += "  not comparable: too few coils for its coefficients\n";
            continue;
        }
        appendFormatted(text, " %11s %11s %10s %11s %11s", shown(row.goodness).c_str(), shown(row.cvMean).c_str(),
               shown(row.cvSpread, "%.2g").c_str(), shown(row.aic, "%.5g").c_str(), shown(row.bic, "%.5g").c_str());
        if (chi2) appendFormatted(text, " %10s", shown(row.chi2PerDof).c_str());
        text += "\n";
    }
    if (c.recommended >= 0) appendFormatted(text, "  Recommended: %s\n", c.rows[c.recommended].label.c_str());
    appendFormatted(text, "  Why: %s\n", c.reason.c_str());
    if (!c.lost.empty()) appendFormatted(text, "  %s\n", c.lost.c_str());
    for (const CandidateForm& row : c.rows)
        if (c.recommended >= 0 && &row == &c.rows[c.recommended] && row.coefficients) {
            text += "  Its coefficients:";
            for (int k = 0; k < kCoefficientCount; ++k)
                appendFormatted(text, "%s %s %.10g", k % 5 == 0 ? "\n   " : "", kCoefficientNames[k], (*row.coefficients)[k]);
            appendFormatted(text, "\n  with base %s\n", row.baseName.c_str());
        }
}

Json comparisonMember(const Comparison& c) {
    Json candidates = Json::array();
    for (const CandidateForm& row : c.rows) {
        const bool given = row.comparable;
        candidates.push_back({{"name", row.name},
                              {"base", row.baseName},
                              {"kind", row.classical ? "classical" : "equation"},
                              {"coefficients_fitted", row.fitted},
                              {"goodness", given ? number(row.goodness) : Json(nullptr)},
                              {"cv_rms_mean", given ? number(row.cvMean) : Json(nullptr)},
                              {"cv_rms_spread", given ? number(row.cvSpread) : Json(nullptr)},
                              {"aic", given ? number(row.aic) : Json(nullptr)},
                              {"bic", given ? number(row.bic) : Json(nullptr)},
                              {"chi2_per_dof", given ? number(row.chi2PerDof) : Json(nullptr)},
                              {"coils_evaluated", row.evaluated},
                              {"comparable", row.comparable},
                              {"coefficients", row.coefficients ? coefficientObject(*row.coefficients) : Json(nullptr)}});
    }
    return {{"folds", c.folds},
            {"repeats", c.repeats},
            {"candidates", candidates},
            {"recommended", c.recommended >= 0 ? Json(c.rows[c.recommended].name) : Json(nullptr)},
            {"reason", c.reason},
            {"lost", c.lost.empty() ? Json(nullptr) : Json(c.lost)}};
}

}  // namespace

std::string pruneHoldLine(const FitAnalysis& analysis) {
    if (!analysis.pruning || analysis.pruning->steps.empty()) return {};
    std::string line = "hold ";
    for (size_t i = 0; i < analysis.pruning->steps.size(); ++i) {
        if (i > 0) line += ",";
        line += kCoefficientNames[analysis.pruning->steps[i].coefficient];
    }
    return line;
}

void warnAboutPruningPins(const FitAnalysis& analysis) {
    const std::string line = pruneHoldLine(analysis);
    if (line.empty()) return;
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Warning: a pinned range alone does not keep its coefficient at 0 in the random draw; with the "
                 "pruning advice's lines, add the line `%s` to the ranges file\n",
                 line.c_str());
}

bool assessmentAsked() {
    return S[kCompare].value.i == 1 || S[kUncertainty].value.d != 0 || S[kCvRepeats].value.i > 1 ||
           !isDefaultSetting(kHold);
}

int assessmentFolds() { return S[kCrossValidate].value.i > 0 ? S[kCrossValidate].value.i : 10; }

Assessment assess(const std::vector<const InductorRecord*>& coils, const ResultRecord* set, int32_t fixed,
                  int32_t pinned, bool polished, FitAnalysis* analysis) {
    Assessment a;
    // The run's own fit: the coils whose target its set evaluates. The
    // comparison: every coil with a measurement, whatever the run's base
    // makes of it, so that each form counts the coils it cannot evaluate.
    std::vector<const InductorRecord*> measured;
    for (const InductorRecord* coil : coils) {
        if (hasUsableMeasurement(coil) && evaluates(coil, set)) a.fitted.push_back(fitCoilOf(coil));
        const double given = measuredAsGiven(coil);
        if (given != 0 && std::isfinite(given)) measured.push_back(coil);
    }
    a.coefficients = set->coefficients;
    a.base = chosenBase();
    a.fixed = fixed;
    a.domain = fitDomain(a.fitted);
    const double uncertainty = S[kUncertainty].value.d;
    const int repeats = S[kCvRepeats].value.i;
    a.repeatFolds = assessmentFolds();
    const bool statistics = analysis != nullptr && analysis->statistics.unavailable.empty();
    if (statistics && uncertainty > 0) {
        a.uncertainty = uncertaintyTest(analysis->statistics, uncertainty);
        errorsFromUncertainty(analysis->statistics, uncertainty);
    }
    if (analysis != nullptr) a.pruneHold = pruneHoldLine(*analysis);
    if (statistics) a.worst = worstFitted(a.fitted, a.coefficients, kWorstShown);
    if (statistics && repeats > 1)
        a.repeats = repeatedCrossValidation(a.fitted, a.coefficients, fixed, a.repeatFolds, repeats);
    // The fold refits stand for the fitted formula only where the polish
    // made the final set a least-squares fit with its scales held.
    if (polished && S[kResultJson].value.s != nullptr && a.fitted.size() >= 2)
        a.prediction = foldRefits(a.fitted, a.coefficients, fixed, a.repeatFolds);
    if (S[kCompare].value.i == 1) {
        OwnForm own;
        own.base = a.base;
        own.coefficients = set->coefficients;
        own.held = fixed & ~pinned;
        own.pinned = pinned;
        a.comparison = compareForms(measured, own, a.repeatFolds, repeats, uncertainty);
    }
    return a;
}

std::string assessmentStatisticsBlock(const Assessment& a) {
    // Right after the pruning advice's lines, to paste with them.
    std::string text = a.pruneHold.empty() ? std::string() : a.pruneHold + "\n";
    if (a.uncertainty) {
        const UncertaintyTest& t = *a.uncertainty;
        appendFormatted(text, "  With the relative measurement uncertainty %g: chi-square = %.6g, nu = %d, chi-square/nu = %.4g, "
                     "p = %.3g\n",
               t.relative, t.chi2, t.nu, t.chi2PerDof, t.pValue);
        appendFormatted(text, "  %s\n", t.verdict.c_str());
        text += "  The standard errors above come from that uncertainty, not from the scatter of the fit.\n";
    }
    if (a.repeats)
        appendFormatted(text, "  Prediction RMS over %d repeats of %d-fold cross-validation on reshuffled folds: mean %.4g, "
                     "spread %.2g\n",
               a.repeats->repeats, std::min<int>(a.repeatFolds, static_cast<int>(a.fitted.size())), a.repeats->mean,
               a.repeats->spread);
    if (!a.worst.empty()) {
        text += "  Fitted worst:";
        ResultRecord set{};
        set.coefficients = a.coefficients;
        for (size_t i = 0; i < a.worst.size(); ++i) {
            const FitCoil& coil = a.fitted[a.worst[i]];
            appendFormatted(text, "%s %s (relative error %.3g)", i == 0 ? "" : ",", coil.record->fileName,
                   std::sqrt(evalInductor(coil.record, &set)));
        }
        text += "; check the measurement, or the formula's reach at this shape\n";
    }
    return text;
}

std::string assessmentBlock(const Assessment& a) {
    std::string text;
    const FitDomain& d = a.domain;
    if (d.coils > 0) {
        appendFormatted(text, "\n\nFitted on %d coils: coil radius %g to %g m, turns %g to %g, length %g to %g m, wire radius "
                     "%g to %g m, length/diameter %.4g to %.4g\n",
               d.coils, d.radius[0], d.radius[1], d.turns[0], d.turns[1], d.length[0], d.length[1], d.wire[0],
               d.wire[1], d.lengthOverDiameter[0], d.lengthOverDiameter[1]);
        text += "  A coil outside these ranges is an extrapolation of the formula.\n";
    }
    if (a.comparison) appendComparison(text, *a.comparison);
    return text;
}

void addAssessmentMembers(Json& document, const Assessment& a, const std::vector<const InductorRecord*>& coils) {
    const FitDomain& d = a.domain;
    document["domain"] = {{"coil_radius_m", range(d.radius, d.coils)},
                          {"turns", range(d.turns, d.coils)},
                          {"length_m", range(d.length, d.coils)},
                          {"wire_radius_m", range(d.wire, d.coils)},
                          {"length_over_diameter", range(d.lengthOverDiameter, d.coils)}};
    if (a.uncertainty) {
        const UncertaintyTest& t = *a.uncertainty;
        document["uncertainty"] = {{"relative", number(t.relative)}, {"chi2", number(t.chi2)},
                                   {"nu", t.nu},                     {"chi2_per_dof", number(t.chi2PerDof)},
                                   {"p_value", number(t.pValue)},    {"verdict", t.verdict}};
    }
    if (a.prediction) {
        const FoldRefits& p = *a.prediction;
        Json foldOfCoil = Json::array(), sets = Json::array();
        size_t next = 0;
        // Coils the final set does not evaluate belong to no fold: -1.
        for (const InductorRecord* coil : coils) {
            const bool fitted = next < a.fitted.size() && a.fitted[next].record == coil;
            foldOfCoil.push_back(fitted ? p.fold[next++] : -1);
        }
        for (const Coefficients& set : p.sets) sets.push_back(coefficientObject(set));
        document["prediction"] = {{"method", "cv+"},
                                  {"folds", p.folds},
                                  {"base", baseFormulaInfo(a.base).name},
                                  {"held", coefficientNames(a.fixed)},
                                  {"fold_of_coil", foldOfCoil},
                                  {"fold_coefficients", sets}};
    }
    if (a.comparison) document["compare"] = comparisonMember(*a.comparison);
}
