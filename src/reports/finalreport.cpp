// The final report of a run.
#include "reports/finalreport.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <optional>
#include <vector>

#include "coils/readind.h"
#include "coils/unitcheck.h"
#include "refine/fitanalysis.h"
#include "refine/polish.h"
#include "reports/baselines.h"
#include "reports/reports.h"
#include "reports/resultjson.h"
#include "reports/runmonitor.h"
#include "reports/sireport.h"
#include "search/sort.h"
#include "settings/basesetting.h"
#include "settings/reportstyle.h"
#include "settings/settingaccess.h"
#include "settings/symtab.h"

namespace {

// A user at a terminal is told where the result went, on the last line there;
// standard output, and standard error when it is not a terminal, stay as
// they are.
void tellResultFile(const char* path) {
    if (isatty(STDERR_FILENO) == 0) return;
    std::fflush(stdout);
    std::fprintf(stderr, "Result written to %s\n", path);
}

// The coils whose measured inductance can take part in the statistics, as
// in the polish.
std::vector<const InductorRecord*> measuredCoils(const std::vector<const InductorRecord*>& coils) {
    std::vector<const InductorRecord*> usable;
    for (const InductorRecord* coil : coils)
        if (hasUsableMeasurement(coil)) usable.push_back(coil);
    return usable;
}

// The classical formulas beside the final set, with its prediction RMS when
// cross-validation ran.
Baselines baselinesOf(const FitAnalysis* analysis) {
    const int fitted = kCoefficientCount - std::popcount(static_cast<uint32_t>(pinnedCoefficients()));
    const BaseFormula base = chosenBase();
    Baselines baselines = classicalBaselines(theInductors, collected, fitted,
                                             base == BaseFormula::none ? nullptr : baseFormulaInfo(base).name);
    if (analysis != nullptr && analysis->crossValidation) {
        baselines.predicted = true;
        baselines.folds = analysis->crossValidation->folds;
        baselines.prediction = analysis->crossValidation->rms;
    }
    return baselines;
}

}  // namespace

bool finalReport(bool checkpoints) {
    // Cross-validation and pruning are part of the statistics, and the
    // statistics are those of the polished set.
    // A measurement uncertainty and repeated cross-validation add to the
    // statistics; the comparison of forms needs the final set polished.
    const bool assessing = assessmentAsked();
    const bool statistics = intSetting<kStatistics>() == 1 || intSetting<kCrossValidate>() > 0 ||
                            intSetting<kPrune>() == 1 || doubleSetting<kUncertainty>() > 0 ||
                            intSetting<kCvRepeats>() > 1;
    const bool polish = intSetting<kPolish>() == 1 || statistics || intSetting<kCompare>() == 1;
    const int folds = intSetting<kCvRepeats>() > 1 ? assessmentFolds() : intSetting<kCrossValidate>();
    const char* jsonPath = textSetting<kResultJson>();
    ResultRecord found = *collected;
    PolishOutcome outcome;
    if (polish) {
        outcome = polishBest(theInductors, collected);
        if (outcome.replaced) reportOutsideRanges(collected);
    }

    std::vector<const InductorRecord*> coils = coilsInFileOrder();
    std::optional<FitAnalysis> analysis;
    if (statistics)
        analysis = analyseFit(measuredCoils(coils), collected, pinnedCoefficients(), outcome.held, folds,
                              intSetting<kPrune>() == 1);
    std::optional<Assessment> assessment;
    if (assessing)
        assessment = assess(coils, collected, pinnedCoefficients() | outcome.held, pinnedCoefficients(),
                            polish, analysis ? &*analysis : nullptr);
    std::optional<Baselines> baselines;
    if (intSetting<kBaselines>() == 1) baselines = baselinesOf(analysis ? &*analysis : nullptr);
    if (analysis) warnAboutPruningPins(*analysis);
    std::optional<SiDigits> si;
    if (chosenReportStyle() == ReportStyle::si)
        si = siDigitsOf(analysis ? &*analysis : nullptr, measuredCoils(coils), collected, pinnedCoefficients(),
                        outcome.held);
    monitorReportBegins();
    std::string appendix = analysis ? fitStatisticsBlock(*analysis) : std::string();
    if (assessment) appendix += assessmentStatisticsBlock(*assessment);
    if (baselines) appendix += baselinesBlock(*baselines);
    if (assessment) appendix += assessmentBlock(*assessment);
    const ReportFiles files = showInductorResults(collected, appendix, si ? &*si : nullptr);
    bool failed = files.failed;
    if (monitorReportEnds()) failed = true;
    warnAboutNonPositiveInductances(coils);
    // The checkpoint then holds the final set, polished or not.
    if (polish && checkpoints) saveTempResults(collected);

    if (jsonPath != nullptr) {
        found.goodness = outcome.replaced ? outcome.found : collected->goodness;
        const ResultDocument document{collected, outcome.replaced ? &found : collected, outcome.replaced,
                                      outcome.held, pinnedCoefficients(), analysis ? &*analysis : nullptr,
                                      std::move(coils), baselines ? &*baselines : nullptr, chosenBase(),
                                      assessment ? &*assessment : nullptr};
        if (!writeResultJson(jsonPath, document)) failed = true;
    }
    if (files.resultWritten) tellResultFile(textSetting<kResultFile>());
    return !failed;
}
