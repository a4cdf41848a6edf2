// Classical inductance formulas of single-layer air-core coils, and the base
// formula a fit may correct: L = base(a, N, l, w) * R(a) T(N) / (Lambda(l) W(w)).
//
// Arguments in SI units: coil radius a (axis to wire centre), turns N,
// length l, wire radius w. Each formula returns henries, or NaN for a coil it
// cannot evaluate (a length, radius or turn count that is not positive, a
// result that is not a finite positive number, or a coil outside the range
// where the formula holds).
#pragma once

#include <array>
#include <optional>
#include <string>

// The classical formulas.
double idealSolenoidInductance(double a, double n, double l);
// Wheeler's 1928 handbook formula, L[uH] = a^2 N^2 / (9a + 10l) with inches.
double wheelerInductance(double a, double n, double l);
// Nagaoka's coefficient of a current sheet of radius a and length l, from
// the complete elliptic integrals by the arithmetic-geometric mean.
double nagaokaCoefficient(double a, double l);
// The current sheet (Lorenz) with Nagaoka's coefficient.
double currentSheetInductance(double a, double n, double l);
// The current sheet by Lundin's 1985 closed form, to a few parts per million.
double lundinInductance(double a, double n, double l);
// Rosa's round-wire correction mu0 a N (G + H), undefined (NaN) where it
// does not hold: a pitch l/N above 0.3 a, or a wire thicker than the pitch.
double rosaCorrection(double a, double n, double l, double w);
// The current sheet with Rosa's round-wire correction.
double currentSheetRosaInductance(double a, double n, double l, double w);

struct InductorRecord;
// The classical formulas alone, each for one coil: the name the program and
// the result JSON give it, a short label (the comparison's table) and a long
// one (the baselines block).
struct ClassicalFormula {
    const char* name;
    const char* shortLabel;
    const char* longLabel;
    double (*inductance)(const InductorRecord* coil);
};
extern const std::array<ClassicalFormula, 4> kClassicalFormulas;

// The formulas a fit can correct.
enum class BaseFormula { none, wheeler, sheet, sheetrosa };
inline constexpr std::array<BaseFormula, 4> kBaseFormulas = {BaseFormula::none, BaseFormula::wheeler,
                                                              BaseFormula::sheet, BaseFormula::sheetrosa};

struct BaseFormulaInfo {
    const char* name;       // as the setting `base` names it
    const char* formula;    // the base's formula, written out
    const char* reference;  // where it comes from
};
const BaseFormulaInfo& baseFormulaInfo(BaseFormula base);
// The formula the setting names (case as written), or nothing.
std::optional<BaseFormula> baseFormulaNamed(const char* name);
// "none, wheeler, sheet, sheetrosa"
std::string baseFormulaNames();
// The whole corrected equation, "L = ...", with its base written out.
std::string correctedEquation(BaseFormula base);

// The base's inductance for a coil over mu0: the factor b that turns the
// equation's own value into the corrected one. 1 for none; NaN where the
// base cannot evaluate the coil.
double baseFactor(BaseFormula base, double a, double n, double l, double w);
