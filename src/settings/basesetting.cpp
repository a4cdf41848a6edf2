// The setting `base`: each coil's target becomes its measured inductance
// over the base formula's (divided by mu0), so that the equation's own value
// times that factor is the corrected formula's inductance. The relative
// error of the one against the measured inductance is that of the other
// against the target, so the search, the grid walk and the polish run on
// the equation unchanged.
#include "settings/basesetting.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "coils/readind.h"
#include "common/fatal.h"
#include "settings/symtab.h"

BaseFormula chosenBase() {
    const char* name = S[kBase].value.s;
    if (name == nullptr) return BaseFormula::none;
    if (const auto base = baseFormulaNamed(name)) return *base;
    fatal("Setting base is %s, known formulas are %s\n", name, baseFormulaNames().c_str());
}

void applyBase() {
    const BaseFormula base = chosenBase();
    if (base == BaseFormula::none) return;
    std::string unevaluable;
    int count = 0;
    for (InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) {
        const double factor =
            baseFactor(base, coil->radius, static_cast<double>(coil->turns), coil->length, coil->wire);
        coil->givenInductance = coil->measuredInductance;
        coil->baseFactor = factor;
        coil->measuredInductance = coil->givenInductance / factor;
        if (std::isnan(factor)) {
            // Named in file order: the list runs in reverse.
            unevaluable = std::string(coil->fileName) + (count > 0 ? ", " : "") + unevaluable;
            ++count;
        }
    }
    if (count == 0) return;
    clearForMessage();
    std::fprintf(stderr, "Warning: base %s cannot evaluate %d coil%s (%s): %s in no goodness\n",
                 baseFormulaInfo(base).name, count, count == 1 ? "" : "s", unevaluable.c_str(),
                 count == 1 ? "it counts" : "they count");
}
