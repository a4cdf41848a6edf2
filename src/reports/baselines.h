// The classical formulas' goodness on the run's coils, beside the fitted
// set's (setting baselines): what an engineer would otherwise use.
#pragma once

#include <string>
#include <vector>

#include "coils/records.h"

struct BaselineRow {
    const char* name;    // the result JSON's name: solenoid, wheeler, sheet, sheetrosa, fitted
    std::string label;   // what the listing calls it
    int coefficients;    // coefficients fitted
    double goodness;     // RMS relative error; kNoValue when no coil counts
    int leftOut;         // coils left out of that goodness
};

struct Baselines {
    std::vector<BaselineRow> rows;  // the classical formulas, then the fitted set
    bool predicted = false;         // cross-validation ran
    int folds = 0;
    double prediction = 0;  // the fitted set's prediction RMS (NaN when every fold failed)
};

// The goodness of each classical formula on `list`, against the measured
// inductances as the coil file gives them, and the fitted set's.
// `fittedCoefficients` counts the coefficients the fit was free to change;
// `baseName` is the formula the fit corrects, or null.
Baselines classicalBaselines(const InductorRecord* list, const ResultRecord* fitted, int fittedCoefficients,
                             const char* baseName);
// The "Classical formulas on these coils" block, from its leading empty
// lines to its last newline.
std::string baselinesBlock(const Baselines& baselines);
