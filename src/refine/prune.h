// Backward elimination of the equation's terms by the Akaike information
// criterion: which coefficients the data do not support.
#pragma once

#include <vector>

#include "refine/leastsquares.h"

struct PruneStep {
    int coefficient;  // pinned to 0 at this step
    double goodness;  // of the refitted set
    double aic;
};

struct Pruning {
    std::vector<PruneStep> steps;
    Coefficients coefficients{};  // the pruned set
    int32_t dropped = 0;          // bit k: coefficient k pinned to 0
    double goodness = 0;          // of the pruned set
    double aic = 0;
};

// From the set `c` fitted to `coils` with `held` not free: repeatedly pins
// to 0 the free coefficient whose removal, after a refit, lowers AIC the
// most, until no removal lowers it.
Pruning pruneByAic(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held);
