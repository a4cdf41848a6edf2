// The whole result of a run as one JSON document (setting resultjson), for
// scripts and notebooks: the final and the found set, the statistics when
// they were asked for, every coil and every setting.
#pragma once

#include <string>
#include <vector>

#include "coils/records.h"
#include "coils/baseformulas.h"
#include "refine/fitanalysis.h"
#include "reports/assessmentreport.h"
#include "reports/baselines.h"

struct ResultDocument {
    const ResultRecord* final = nullptr;
    const ResultRecord* found = nullptr;  // the set before the polish
    bool polished = false;                // the polish replaced the found set
    int32_t held = 0;                     // held by the polish for the free scales
    int32_t pinned = 0;                   // pinned by the user
    const FitAnalysis* analysis = nullptr;  // null without statistics
    std::vector<const InductorRecord*> coils;  // in coil-file order
    const Baselines* baselines = nullptr;      // null without the setting baselines
    BaseFormula base = BaseFormula::none;      // the formula the equation corrects
    const Assessment* assessment = nullptr;    // null without compare, uncertainty, cvrepeats or hold
};

std::string resultJson(const ResultDocument& document);

// Replaces `path` whole with the document; a failure is told on standard
// error and returns false (the run's exit status is then 255).
bool writeResultJson(const char* path, const ResultDocument& document);
