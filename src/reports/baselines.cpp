// The classical formulas' goodness on the run's coils, with the same
// definition as the fit's goodness: the root-mean-square relative error over
// the coils a formula can evaluate, summed in the coil list's order. A coil
// a formula cannot evaluate (Rosa's correction beyond its pitch, say) is
// left out of that formula's goodness only, and counted.
#include "reports/baselines.h"

#include <cmath>
#include <cstdio>

#include "coils/baseformulas.h"
#include "coils/equation.h"

namespace {

struct Sum {
    double squares = 0;
    int counted = 0;
    int total = 0;
    void add(double computed, double measured) {
        ++total;
        const double relative = (computed - measured) / measured;
        if (std::isnan(relative)) return;
        squares += relative * relative;
        ++counted;
    }
    double goodness() const { return counted > 0 ? std::sqrt(squares / counted) : kNoValue; }
};

std::string number(double value) {
    if (value == kNoValue || std::isnan(value)) return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

Baselines classicalBaselines(const InductorRecord* list, const ResultRecord* fitted, int fittedCoefficients,
                             const char* baseName) {
    Baselines baselines;
    for (const ClassicalFormula& formula : kClassicalFormulas) {
        Sum sum;
        for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next)
            sum.add(formula.inductance(coil), measuredAsGiven(coil));
        baselines.rows.push_back({formula.name, formula.longLabel, 0, sum.goodness(), sum.total - sum.counted});
    }
    int leftOut = 0;
    for (const InductorRecord* coil = list; coil != nullptr; coil = coil->next)
        if (!countsInGoodness(evalInductor(coil, fitted))) ++leftOut;
    std::string label = "fitted set";
    if (baseName != nullptr) label += std::string(" (corrects ") + baseName + ")";
    baselines.rows.push_back({"fitted", label, fittedCoefficients, fitted->goodness, leftOut});
    return baselines;
}

std::string baselinesBlock(const Baselines& baselines) {
    std::string text = "\n\nClassical formulas on these coils\n";
    text += "  RMS relative error against the measured inductances, as the goodness\n";
    char line[160];
    std::snprintf(line, sizeof line, "  %-46s %12s %12s %9s\n", "formula", "coefficients", "goodness", "left out");
    text += line;
    for (const BaselineRow& row : baselines.rows) {
        std::snprintf(line, sizeof line, "  %-46s %12d %12s %9d\n", row.label.c_str(), row.coefficients,
                      number(row.goodness).c_str(), row.leftOut);
        text += line;
    }
    if (baselines.predicted) {
        std::snprintf(line, sizeof line, "  %-46s %12s %12s\n",
                      ("fitted set, unseen coils (" + std::to_string(baselines.folds) + "-fold)").c_str(), "",
                      number(baselines.prediction).c_str());
        text += line;
    }
    return text;
}
