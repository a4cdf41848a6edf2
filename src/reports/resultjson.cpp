// The result JSON. Members come in a fixed order (ordered_json); doubles are
// written with the digits that read back to the same double; a value that is
// not a finite number, or the "no value" sentinel where a result stands, is
// written as null.
#include "reports/resultjson.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "coils/equation.h"
#include "common/fatal.h"
#include "common/version.h"
#include "reports/csvfiles.h"
#include "reports/jsontext.h"
#include "reports/reports.h"
#include "reports/sireport.h"
#include "settings/reportstyle.h"
#include "settings/symtab.h"

namespace {

using Json = nlohmann::ordered_json;

Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }
Json goodness(double value) { return value == kNoValue ? Json(nullptr) : number(value); }

Json names(int32_t mask) { return Json(coefficientNames(mask)); }

Json coefficients(const Coefficients& c) {
    Json object = Json::object();
    for (int k = 0; k < kCoefficientCount; ++k) object[kCoefficientNames[k]] = number(c[k]);
    return object;
}

Json crossValidation(const std::optional<CrossValidation>& cv, double inSample) {
    if (!cv) return nullptr;
    Json failed = Json::array();
    for (const FoldFailure& failure : cv->failed) failed.push_back(failure.fold);
    return {{"folds", cv->folds}, {"rms", number(cv->rms)}, {"in_sample", goodness(inSample)}, {"failed", failed}};
}

Json pruned(const FitAnalysis& a) {
    if (!a.pruning) return nullptr;
    Json dropped = Json::array(), steps = Json::array();
    for (const PruneStep& step : a.pruning->steps) {
        dropped.push_back(kCoefficientNames[step.coefficient]);
        steps.push_back({{"coefficient", kCoefficientNames[step.coefficient]},
                         {"goodness", number(step.goodness)},
                         {"aic", number(step.aic)}});
    }
    return {{"pinned_to_zero", dropped},
            {"goodness", number(a.pruning->goodness)},
            {"aic", number(a.pruning->aic)},
            {"crossvalidation_rms", a.prunedCrossValidation ? number(a.prunedCrossValidation->rms) : Json(nullptr)},
            {"steps", steps}};
}

// The covariance of the free coefficients, for scripts that propagate the
// uncertainty of the coefficients into a computed inductance.
Json covariance(const FitStatistics& s) {
    Json covarianceNames = Json::array(), matrix = Json::array();
    if (!s.covariance.empty()) {
        const size_t p = s.freeOrder.size();
        for (size_t i = 0; i < p; ++i) {
            covarianceNames.push_back(kCoefficientNames[s.freeOrder[i]]);
            Json row = Json::array();
            for (size_t j = 0; j < p; ++j) row.push_back(number(s.covariance[i * p + j]));
            matrix.push_back(row);
        }
    }
    return {{"names", covarianceNames}, {"matrix", matrix}};
}

Json baselines(const Baselines& b, bool leftOut) {
    Json object = Json::object();
    for (const BaselineRow& row : b.rows) object[row.name] = leftOut ? Json(row.leftOut) : goodness(row.goodness);
    if (!leftOut && b.predicted) object["fitted_prediction"] = number(b.prediction);
    return object;
}

Json base(BaseFormula formula) {
    const BaseFormulaInfo& info = baseFormulaInfo(formula);
    return {{"name", info.name}, {"formula", correctedEquation(formula)}, {"reference", info.reference}};
}

Json statistics(const FitAnalysis* a, bool withCovariance) {
    if (a == nullptr) return nullptr;
    const FitStatistics& s = a->statistics;
    const bool given = s.unavailable.empty();
    const auto numeric = [given](double value) { return given ? number(value) : Json(nullptr); };
    Json errors = Json::object();
    for (int k = 0; k < kCoefficientCount; ++k) errors[kCoefficientNames[k]] = number(s.standardError[k]);
    Json correlationNames = Json::array(), matrix = Json::array();
    if (!s.correlation.empty()) {
        const size_t p = s.freeOrder.size();
        for (size_t i = 0; i < p; ++i) {
            correlationNames.push_back(kCoefficientNames[s.freeOrder[i]]);
            Json row = Json::array();
            for (size_t j = 0; j < p; ++j) row.push_back(number(s.correlation[i * p + j]));
            matrix.push_back(row);
        }
    }
    Json high = Json::array();
    for (const CorrelatedPair& pair : s.highCorrelations)
        high.push_back({{"first", kCoefficientNames[pair.first]},
                        {"second", kCoefficientNames[pair.second]},
                        {"r", number(pair.r)}});
    Json outliers = Json::array();
    for (const int i : s.outliers) outliers.push_back(a->fitted[i].record->fileName);
    Json object = {{"n", given ? Json(s.n) : Json(nullptr)},
                   {"p", given ? Json(s.p) : Json(nullptr)},
                   {"chisqr", numeric(s.chisqr)},
                   {"redchi", numeric(s.redchi)},
                   {"aic", numeric(s.aic)},
                   {"bic", numeric(s.bic)},
                   {"stderr", errors},
                   {"correlation", {{"names", correlationNames}, {"matrix", matrix}}},
                   {"high_correlations", high},
                   {"undetermined", names(s.undetermined)},
                   {"outliers", outliers},
                   {"unavailable", given ? Json(nullptr) : Json(s.unavailable)}};
    if (withCovariance) object["covariance"] = covariance(s);
    if (a->foldsAsked > 0) object["crossvalidation"] = crossValidation(a->crossValidation, a->goodness);
    if (a->pruneAsked) object["pruned"] = pruned(*a);
    return object;
}

Json coils(const ResultDocument& d) {
    std::map<const InductorRecord*, size_t> fitted;
    if (d.analysis != nullptr)
        for (size_t i = 0; i < d.analysis->fitted.size(); ++i) fitted[d.analysis->fitted[i].record] = i;
    Json list = Json::array();
    for (const InductorRecord* coil : d.coils) {
        const bool evaluated = evaluates(coil, d.final);
        const double computed = correctedInductance(coil, evalInductorAbs(coil, d.final));
        const double m = measuredAsGiven(coil);
        double leverage = NAN, studentized = NAN;
        if (const auto at = fitted.find(coil); at != fitted.end()) {
            leverage = d.analysis->statistics.leverage[at->second];
            studentized = d.analysis->statistics.studentized[at->second];
        }
        list.push_back({{"name", coil->fileName != nullptr ? coil->fileName : ""},
                        {"measured_H", number(m)},
                        {"computed_H", evaluated ? number(computed) : Json(nullptr)},
                        {"relative_error", evaluated ? number((computed - m) / m) : Json(nullptr)},
                        {"evaluated", evaluated},
                        {"coil_radius_m", number(coil->radius)},
                        {"wire_radius_m", number(coil->wire)},
                        {"gauge", coil->gauge},
                        {"turns", coil->turns},
                        {"length_m", number(coil->length)},
                        {"leverage", number(leverage)},
                        {"studentized", number(studentized)}});
    }
    return list;
}

Json settings() {
    Json object = Json::object();
    for (int index = 0; index < kSymbolCount; ++index) {
        // The newest settings appear only when set, so that a run without
        // them writes the document it always wrote.
        if (index >= kBaselines && isDefaultSetting(index)) continue;
        const SymbolEntry& entry = S[index];
        switch (entry.type) {
        case symInt: object[entry.name] = entry.value.i; break;
        case symDouble: object[entry.name] = number(entry.value.d); break;
        case symLong: object[entry.name] = entry.value.l; break;
        case symString: object[entry.name] = entry.value.s != nullptr ? Json(entry.value.s) : Json(nullptr); break;
        }
    }
    return object;
}

}  // namespace

std::string resultJson(const ResultDocument& d) {
    char version[32];
    std::snprintf(version, sizeof version, "%d.%02d.%03d", kVersionMajor, kVersionMinor, kVersionPatch);
    const bool withCovariance = d.base != BaseFormula::none || d.baselines != nullptr;
    Json document = {
        {"program", "quelmo"},
        {"version", version},
        {"equation", kEquationLabel},
        {"goodness", goodness(d.final->goodness)},
        {"coefficients", coefficients(d.final->coefficients)},
        {"found", {{"goodness", goodness(d.found->goodness)}, {"coefficients", coefficients(d.found->coefficients)}}},
        {"polished", d.polished},
        {"held", names(d.held)},
        {"pinned", names(d.pinned)},
        {"statistics", statistics(d.analysis, withCovariance)},
        {"coils", coils(d)},
        {"settings", settings()},
    };
    if (chosenReportStyle() == ReportStyle::si) {
        // The heading the SI style's result file carries, for the report page.
        document["date"] = reportDate();
        document["coil_file"] = coilFilePath();
    }
    if (d.base != BaseFormula::none) document["base"] = base(d.base);
    if (d.baselines != nullptr) {
        document["baselines"] = baselines(*d.baselines, false);
        document["baselines_left_out"] = baselines(*d.baselines, true);
    }
    if (d.assessment != nullptr) addAssessmentMembers(document, *d.assessment, d.coils);
    return dumpJson(std::move(document), 2) + "\n";
}

bool writeResultJson(const char* path, const ResultDocument& document) {
    std::string error;
    if (writeCsvFile(path, resultJson(document), error)) return true;
    std::fflush(stdout);
    clearForMessage();
    std::fputs(error.c_str(), stderr);
    return false;
}
