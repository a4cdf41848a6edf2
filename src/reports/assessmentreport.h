// What the settings compare, uncertainty, cvrepeats and hold add to the end
// of a run: the "Which formula" block, the test of fit, the repeated
// cross-validation, the coils fitted worst and the domain of the fit, on
// standard output and in the result file, and their members of the result
// JSON.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "coils/baseformulas.h"
#include "refine/assessment.h"
#include "refine/fitanalysis.h"

struct Assessment {
    std::vector<FitCoil> fitted;  // the coils the final set evaluates, in coil-file order
    Coefficients coefficients{};
    BaseFormula base = BaseFormula::none;
    int32_t fixed = 0;  // pinned, held by the setting hold or for a free scale
    FitDomain domain;
    std::optional<UncertaintyTest> uncertainty;
    int repeatFolds = 0;
    std::optional<RepeatedRms> repeats;
    std::vector<int> worst;  // coils of `fitted`, fitted worst first
    std::optional<FoldRefits> prediction;
    std::optional<Comparison> comparison;
    std::string pruneHold;  // the hold line that goes with the pruning advice's pins; empty without it
};

// The line `hold NAMES` naming the terms the pruning advice pins, or an
// empty string when it pins none.
std::string pruneHoldLine(const FitAnalysis& analysis);
// Tells on standard error that the pruning advice's pins need that line.
void warnAboutPruningPins(const FitAnalysis& analysis);

// Whether any of the settings compare, uncertainty, cvrepeats or hold is set.
bool assessmentAsked();

// The folds of the comparison and of the repeated cross-validation:
// crossvalidate's K, or 10.
int assessmentFolds();

// Gathers what the settings ask for, from the final set `set` fitted with
// `fixed` not free, on `coils` (every coil, in coil-file order); `analysis`
// (may be null) is the run's fit statistics, whose standard errors the
// uncertainty replaces.
Assessment assess(const std::vector<const InductorRecord*>& coils, const ResultRecord* set, int32_t fixed,
                  int32_t pinned, bool polished, FitAnalysis* analysis);

// The blocks for standard output and the result file, from their leading
// empty lines to their last newline: the test of fit and the spread of
// cross-validation (`statisticsPart`), then the domain and the comparison.
std::string assessmentStatisticsBlock(const Assessment& a);
std::string assessmentBlock(const Assessment& a);

// Adds the members domain, uncertainty, prediction and compare to the result
// JSON; `coils` are its "coils", in the same order.
void addAssessmentMembers(nlohmann::ordered_json& document, const Assessment& a,
                          const std::vector<const InductorRecord*>& coils);
