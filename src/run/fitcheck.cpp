// The coils a run has to fit.
#include "run/fitcheck.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "coils/baseformulas.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "common/fatal.h"
#include "settings/basesetting.h"
#include "settings/symtab.h"

namespace {

// The equation is unchanged when R and T, or R and Lambda, or R and W are
// scaled against each other: three scales the data cannot decide, which the
// polish holds.
constexpr int kFreeScales = 3;

// The coefficients the fit can move: those whose range is more than one
// value, less the three free scales.
int freeCoefficients() {
    int free = 0;
    for (const RangeEntry& entry : R)
        if (entry.low != entry.high) ++free;
    return free > kFreeScales ? free - kFreeScales : 0;
}

// A coil counts in the goodness when its target is a finite number: one that
// is not (a base that cannot evaluate the coil gives NaN) makes its relative
// error none for every set. (A target of 0 counts, with an infinite error;
// the reader warns about it.)
bool counts(const InductorRecord* coil) { return std::isfinite(coil->measuredInductance); }

// The coils named in a warning; the rest are counted.
constexpr int kNamed = 3;

// Whether the coil's squared relative error overflows for any set that
// computes an inductance of its size: a measured value near 1e-300 H makes
// every goodness infinite. The size is Wheeler's formula's for the coil, or
// 1 under a base, where the equation computes a correction factor.
bool errorOverflows(const InductorRecord* coil) {
    const double measured = coil->measuredInductance;
    if (measured == 0 || !std::isfinite(measured)) return false;  // told by the reader
    const double size = coil->baseFactor != 0
                            ? 1.0
                            : wheelerInductance(coil->radius, static_cast<double>(coil->turns), coil->length);
    return std::isfinite(size) && !std::isfinite(squaredRelativeError(coil, size));
}

void warnAboutOverflow() {
    std::string named;
    int count = 0;
    for (const InductorRecord* coil : coilsInFileOrder()) {
        if (!errorOverflows(coil)) continue;
        if (++count <= kNamed) {
            char value[40];
            std::snprintf(value, sizeof value, " %g", measuredAsGiven(coil));
            named += std::string(count > 1 ? ", " : "") + coil->fileName + value;
        }
    }
    if (count == 0) return;
    if (count > kNamed) named += " and " + std::to_string(count - kNamed) + " more";
    clearForMessage();
    std::fprintf(stderr,
                 "Warning: %d coil%s a measured inductance so small that %s squared relative error overflows (%s): "
                 "every set's goodness is infinite, so the fit cannot tell sets apart; check the values, in henry\n",
                 count, count == 1 ? " has" : "s have", count == 1 ? "its" : "their", named.c_str());
}

}  // namespace

void checkCoilsToFit(const char* coilPath) {
    int coils = 0;
    int counted = 0;
    int unevaluable = 0;  // coils the base cannot evaluate
    for (const InductorRecord* coil = theInductors; coil != nullptr; coil = coil->next) {
        ++coils;
        if (counts(coil)) ++counted;
        if (std::isnan(coil->baseFactor)) ++unevaluable;
    }
    if (coils == 0)
        fatal("The coil file %s holds no coil, so there is nothing to fit: every line of it is a comment (it "
              "starts with a letter or `/`), or it is empty; give one measured coil per line: inductance, coil "
              "radius, wire radius, gauge, turns, length, name\n",
              coilPath);
    if (counted == 0) {
        if (unevaluable == coils)
            fatal("Base %s cannot evaluate any of the %d coils of %s, so no coil is left to fit: choose another "
                  "base (`base none` fits the equation alone), or give coils inside the base's range\n",
                  baseFormulaInfo(chosenBase()).name, coils, coilPath);
        fatal("No coil of %s counts in the goodness, so there is nothing to fit: every measured inductance is not "
              "a finite number%s; give the measured inductances in henry\n",
              coilPath, unevaluable > 0 ? ", or its coil is one the base cannot evaluate" : "");
    }
    warnAboutOverflow();
    const int free = freeCoefficients();
    if (free > 0 && counted < free + 2) {
        clearForMessage();
        std::fprintf(stderr,
                     "Warning: %d coil%s of %s count%s in the goodness, fewer than the %d free coefficients plus "
                     "two: the data do not determine the formula, and its statistics need at least %d coils\n",
                     counted, counted == 1 ? "" : "s", coilPath, counted == 1 ? "s" : "", free, free + 2);
    }
}
