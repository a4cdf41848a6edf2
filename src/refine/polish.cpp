// Least-squares polish of a coefficient set with Ceres Solver: Levenberg-
// Marquardt with automatic derivatives on the residuals (L - m)/m of the
// coils the set evaluates, whose sum of squares is n times the squared
// goodness. The result is judged by evalInductors, like every other set.
#include "refine/polish.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "coils/equation.h"
#include "coils/equation_terms.h"
#include "coils/storage.h"
#include "common/clock.h"
#include "refine/leastsquares.h"
#include "refine/normalize.h"
#include "settings/symtab.h"

namespace {

// The four polynomials of the equation: their coefficients in order of
// power, and the coil variable each one takes.
struct Polynomial {
    int first;  // index of the constant term
    int count;
    double (*variable)(const FitCoil&);
};
constexpr std::array<Polynomial, 4> kPolynomials = {{
    {cT0, 4, [](const FitCoil& c) { return c.turns; }},
    {cL0, 4, [](const FitCoil& c) { return c.length; }},
    {cW0, 3, [](const FitCoil& c) { return c.wire; }},
    {cR0, 4, [](const FitCoil& c) { return c.radius; }},
}};
// The equation is unchanged when R and T are scaled by c and 1/c, or R and
// Λ, or R and W, by c alike: three scales that the data cannot decide.
constexpr int kFreeScales = 3;

double polynomialAt(const Coefficients& c, const Polynomial& p, double x) {
    using equation::Plain;
    const auto group = equation::groupAt(c.data() + p.first);
    return p.count == 4 ? equation::cubic<Plain>(group, x) : equation::quadratic<Plain>(group, x);
}

// The coefficients held during the solve: the pinned ones, and one per
// polynomial whose scale the pins leave free until all three free scales are
// fixed. A nonzero pinned coefficient already fixes its polynomial's scale.
// Of a polynomial's free coefficients the one with the largest mean share of
// the polynomial's value is held at the value found: it is the one least
// likely to have to pass through zero on the way to the minimum.
int32_t heldCoefficients(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t pinned) {
    std::array<bool, kPolynomials.size()> fixed{};
    int scales = kFreeScales;
    for (size_t p = 0; p < kPolynomials.size(); ++p) {
        for (int k = kPolynomials[p].first; k < kPolynomials[p].first + kPolynomials[p].count; ++k)
            if ((pinned >> k & 1) != 0 && c[k] != 0) fixed[p] = true;
        if (fixed[p]) --scales;
    }
    int32_t held = pinned;
    for (size_t p = 0; p < kPolynomials.size() && scales > 0; ++p) {
        if (fixed[p]) continue;
        const Polynomial& poly = kPolynomials[p];
        int chosen = -1;
        double largest = 0;
        for (int j = 0; j < poly.count; ++j) {
            const int k = poly.first + j;
            if ((pinned >> k & 1) != 0 || c[k] == 0) continue;
            double share = 0;
            for (const FitCoil& coil : coils) {
                const double x = poly.variable(coil);
                share += std::fabs(c[k] * std::pow(x, j) / polynomialAt(c, poly, x));
            }
            if (chosen < 0 || share > largest) {
                chosen = k;
                largest = share;
            }
        }
        if (chosen < 0) continue;
        held |= int32_t{1} << chosen;
        --scales;
    }
    return held;
}

std::string formatted(const char* format, double first, double second) {
    char text[160];
    std::snprintf(text, sizeof text, format, first, second);
    return text;
}

// The root-mean-square relative error over `coils`, as the goodness forms
// it; NaN when a coil cannot be evaluated.
double goodnessOver(const std::vector<FitCoil>& coils, const Coefficients& c) {
    return std::sqrt(squaredErrorSum(coils, c) / static_cast<double>(coils.size()));
}

// With coils left out, the goodness of every set may be infinite: the sets
// are then compared over the coils the polish used.
std::string refusalOverUsed(PolishOutcome& outcome, const std::vector<FitCoil>& used, const ResultRecord* found,
                            const ResultRecord* polished) {
    outcome.usedFound = goodnessOver(used, found->coefficients);
    outcome.usedPolished = goodnessOver(used, polished->coefficients);
    if (!(outcome.usedPolished < outcome.usedFound))
        return formatted("the polished set is no better over the coils used (goodness %g against %g)",
                         outcome.usedPolished, outcome.usedFound);
    return {};
}

// What the end of the solve adds to the polish line.
std::string solverNote(const PolishOutcome& outcome) {
    std::string note;
    if (outcome.interrupted)
        note += "; a stop signal ended it early";
    else if (outcome.atLimit)
        note += "; it stopped at its limit of " + std::to_string(kRefitIterations) +
                " iterations short of convergence: to polish further, start a run from this set (its "
                "coefficients as bestr0 to bestl3)";
    if (outcome.nonFinite)
        note += "; the solver met a cost that is not a finite number: look for coils whose computed inductance "
                "is far off (the report lists them first)";
    if (outcome.leftOut > 0)
        note += "; " + std::to_string(outcome.leftOut) + (outcome.leftOut == 1 ? " coil" : " coils") +
                " left out (measured inductance 0 or not a finite number)";
    return note;
}

}  // namespace

bool hasUsableMeasurement(const InductorRecord* coil) {
    return coil->measuredInductance != 0 && std::isfinite(coil->measuredInductance);
}

int32_t pinnedCoefficients() {
    int32_t pinned = 0;
    for (int k = 0; k < kCoefficientCount; ++k)
        if (R[k].low == R[k].high) pinned |= int32_t{1} << k;
    return pinned;
}

std::string polishRefusal(const InductorRecord* coils, const ResultRecord* found,
                          const ResultRecord* polished) {
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next)
        if (evaluates(coil, found) && !evaluates(coil, polished))
            return std::string("the polished set cannot evaluate coil ") + coil->fileName;
    if (!(polished->goodness < found->goodness))
        return formatted("the polished set is no better (goodness %g against %g)", polished->goodness,
                         found->goodness);
    return {};
}

PolishOutcome polishSet(const InductorRecord* coils, ResultRecord* set, int32_t pinned, bool normalize) {
    const double start = monotonicSeconds();
    PolishOutcome outcome;
    const auto finish = [&](std::string kept) {
        outcome.kept = std::move(kept);
        outcome.milliseconds = (monotonicSeconds() - start) * 1000;
        return outcome;
    };

    // The found set is scored afresh so that both sides of the comparison
    // come from the same code.
    ResultRecord found;
    copyResult(&found, set);
    evalInductors(coils, &found);
    outcome.found = found.goodness;
    outcome.polished = kNoValue;

    std::vector<FitCoil> used;
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next) {
        if (!hasUsableMeasurement(coil))
            ++outcome.leftOut;
        else if (evaluates(coil, &found))
            used.push_back(fitCoilOf(coil));
    }
    if (used.empty()) {
        if (normalize) outcome.notNormalised = "no coefficient holds a scale";
        return finish("the found set evaluates no coil");
    }

    const int32_t held = heldCoefficients(used, found.coefficients, pinned);
    outcome.held = held & ~pinned;
    // The solve then starts from, and holds, the normalised scales, so that
    // runs that found different members of one family of sets end at the
    // same one.
    if (normalize) {
        Coefficients scaled = found.coefficients;
        outcome.notNormalised = outcome.held == 0 ? "no coefficient holds a scale"
                                                  : normalizeScales(scaled, outcome.held, pinned);
        if (outcome.notNormalised.empty()) {
            found.coefficients = scaled;
            evalInductors(coils, &found);
            set->coefficients = found.coefficients;
            set->goodness = found.goodness;
            outcome.normalised = true;
        }
    }
    if (held == (int32_t{1} << kCoefficientCount) - 1)
        return finish("every coefficient is pinned or holds a scale");

    const Refit solved = refit(used, found.coefficients, held);
    outcome.iterations = solved.iterations;
    outcome.atLimit = solved.atLimit;
    outcome.nonFinite = solved.nonFinite;
    outcome.interrupted = solved.interrupted;
    if (!solved.usable) return finish("the solver failed: " + solved.message);

    ResultRecord polished;
    copyResult(&polished, &found);
    polished.coefficients = solved.coefficients;
    evalInductors(coils, &polished);
    outcome.polished = polished.goodness;
    std::string refusal = polishRefusal(coils, &found, &polished);
    if (outcome.leftOut > 0 && (refusal.empty() || refusal.rfind("the polished set is no better", 0) == 0))
        refusal = refusalOverUsed(outcome, used, &found, &polished);
    if (!refusal.empty()) return finish(std::move(refusal));

    set->coefficients = polished.coefficients;
    set->goodness = polished.goodness;
    outcome.replaced = true;
    return finish({});
}

PolishOutcome polishBest(const InductorRecord* coils, ResultRecord* best) {
    const PolishOutcome outcome = polishSet(coils, best, pinnedCoefficients(), S[kNormalize].value.i == 1);
    std::string note = solverNote(outcome);
    if (outcome.normalised)
        note += "; normalised to " + coefficientList(outcome.held) + " = 1";
    else if (!outcome.notNormalised.empty())
        note += "; not normalised: " + outcome.notNormalised + ", the set keeps its scales";
    if (outcome.replaced && outcome.leftOut > 0)
        std::printf("Polished: goodness over the coils used %g -> %g in %d iterations, %.0f ms%s\n",
                    outcome.usedFound, outcome.usedPolished, outcome.iterations, outcome.milliseconds, note.c_str());
    else if (outcome.replaced)
        std::printf("Polished: goodness %g -> %g in %d iterations, %.0f ms%s\n", outcome.found, outcome.polished,
                    outcome.iterations, outcome.milliseconds, note.c_str());
    else
        std::printf("Polish kept the found set: %s%s\n", outcome.kept.c_str(), note.c_str());
    return outcome;
}

void reportOutsideRanges(const ResultRecord* set) {
    std::string names;
    for (int k = 0; k < kCoefficientCount; ++k) {
        const double value = set->coefficients[k];
        const RangeEntry& range = R[k];
        if (value >= range.low && value <= range.high) continue;
        char text[160];
        std::snprintf(text, sizeof text, "%s%s %g (range %g to %g)", names.empty() ? "" : ", ", range.name, value,
                      range.low, range.high);
        names += text;
    }
    if (names.empty()) return;
    std::printf("Polished coefficients outside their ranges: %s; widen those ranges to search around this set\n",
                names.c_str());
}
