// What the final set is worth: its statistics, cross-validation and pruning
// advice, gathered once for the "Fit statistics" block and the result JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "refine/crossvalidate.h"
#include "refine/prune.h"
#include "refine/statistics.h"

struct FitAnalysis {
    std::vector<FitCoil> fitted;  // the coils the final set evaluates, in coil-file order
    Coefficients coefficients{};  // the final set
    double goodness = 0;          // its goodness
    int32_t pinned = 0;           // bit k: pinned by the user
    int32_t held = 0;             // bit k: held by the polish for a free scale
    FitStatistics statistics;
    int foldsAsked = 0;           // crossvalidate; 0: none
    bool pruneAsked = false;
    // Present when asked and the statistics could be given.
    std::optional<CrossValidation> crossValidation;
    std::optional<Pruning> pruning;
    std::optional<CrossValidation> prunedCrossValidation;
};

// The analysis of `set` on the coils of `coilsInFileOrder` that it evaluates.
FitAnalysis analyseFit(const std::vector<const InductorRecord*>& coilsInFileOrder, const ResultRecord* set,
                       int32_t pinned, int32_t held, int folds, bool prune);

// The "Fit statistics" block, from its leading empty lines to its last
// newline; it names coils and coefficients and ends with ranges-file lines
// that pin the terms pruning drops.
std::string fitStatisticsBlock(const FitAnalysis& analysis);
