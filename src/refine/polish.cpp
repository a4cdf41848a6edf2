// Least-squares polish of a coefficient set with Ceres Solver: Levenberg-
// Marquardt with automatic derivatives on the residuals (L - m)/m of the
// coils the set evaluates, whose sum of squares is n times the squared
// goodness. The result is judged by evalInductors, like every other set.
#include "refine/polish.h"

#include <ceres/autodiff_cost_function.h>
#include <ceres/manifold.h>
#include <ceres/problem.h>
#include <ceres/solver.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "coils/equation.h"
#include "coils/storage.h"
#include "settings/symtab.h"

namespace {

using Coefficients = std::array<double, kCoefficientCount>;

// One evaluated coil as the solver sees it.
struct Coil {
    double radius;
    double turns;
    double length;
    double wire;
    double measured;
};

// The four polynomials of the equation: their coefficients in order of
// power, and the coil variable each one takes.
struct Polynomial {
    int first;  // index of the constant term
    int count;
    double (*variable)(const Coil&);
};
constexpr std::array<Polynomial, 4> kPolynomials = {{
    {cT0, 4, [](const Coil& c) { return c.turns; }},
    {cL0, 4, [](const Coil& c) { return c.length; }},
    {cW0, 3, [](const Coil& c) { return c.wire; }},
    {cR0, 4, [](const Coil& c) { return c.radius; }},
}};
// The equation is unchanged when R and T are scaled by c and 1/c, or R and
// Λ, or R and W, by c alike: three scales that the data cannot decide.
constexpr int kFreeScales = 3;

bool evaluates(const InductorRecord* coil, const ResultRecord* set) {
    const double e = evalInductor(coil, set);
    return e != kNoValue && !std::isnan(e);
}

double polynomialAt(const Coefficients& c, const Polynomial& p, double x) {
    double value = 0;
    for (int k = p.count - 1; k >= 0; --k) value = value * x + c[p.first + k];
    return value;
}

// The residuals of all coils at the coefficients scale[k]·u[k], in the
// equation's own order of operations. A coil the equation cannot evaluate
// there fails the evaluation, which makes the solver refuse that step.
struct Residuals {
    const std::vector<Coil>* coils;
    Coefficients scale;

    template <typename T>
    bool operator()(const T* u, T* residual) const {
        std::array<T, kCoefficientCount> c;
        for (int k = 0; k < kCoefficientCount; ++k) c[k] = u[k] * scale[k];
        for (size_t i = 0; i < coils->size(); ++i) {
            const Coil& coil = (*coils)[i];
            const double len = coil.length;
            const T lambda = ((c[cL3] * len + c[cL2]) * len + c[cL1]) * len + c[cL0];
            const double w = coil.wire;
            const T wirePoly = (c[cW2] * w + c[cW1]) * w + c[cW0];
            const T denominator = lambda * wirePoly;
            const double a = coil.radius;
            const T radiusPoly = ((c[cR3] * a + c[cR2]) * a + c[cR1]) * a + c[cR0];
            const double n = coil.turns;
            const T turnsPoly = ((c[cT3] * n + c[cT2]) * n + c[cT1]) * n + c[cT0];
            const T numerator = (radiusPoly * kMu0) * turnsPoly;
            if (denominator == 0.0 || numerator == 0.0) return false;
            residual[i] = (numerator / denominator - coil.measured) / coil.measured;
        }
        return true;
    }
};

// Powers of two that bring every column of the Jacobian at the start to a
// norm between 1 and 2. The coefficients span eleven orders of magnitude
// (r0 near 1e-5, w2 near 1e5); unscaled, the solver's damping would all but
// freeze the ones with small derivatives. Powers of two keep
// coefficient = scale·u exact both ways.
Coefficients columnScales(const std::vector<Coil>& coils, const Coefficients& c) {
    Coefficients sumSquares{};
    for (const Coil& coil : coils) {
        std::array<double, 4> values;
        for (size_t p = 0; p < kPolynomials.size(); ++p)
            values[p] = polynomialAt(c, kPolynomials[p], kPolynomials[p].variable(coil));
        const double inductance = kMu0 * values[3] * values[0] / (values[1] * values[2]);
        const double ratio = inductance / coil.measured;
        for (size_t p = 0; p < kPolynomials.size(); ++p) {
            const double x = kPolynomials[p].variable(coil);
            double power = 1;
            for (int k = 0; k < kPolynomials[p].count; ++k, power *= x) {
                const double d = ratio * power / values[p];
                sumSquares[kPolynomials[p].first + k] += d * d;
            }
        }
    }
    Coefficients scale;
    for (int k = 0; k < kCoefficientCount; ++k) {
        const double norm = std::sqrt(sumSquares[k]);
        scale[k] = std::isfinite(norm) && norm > 0 ? std::ldexp(1.0, -std::ilogb(norm)) : 1.0;
    }
    return scale;
}

// The coefficients held during the solve: the pinned ones, and one per
// polynomial whose scale the pins leave free until all three free scales are
// fixed. A nonzero pinned coefficient already fixes its polynomial's scale.
// Of a polynomial's free coefficients the one with the largest mean share of
// the polynomial's value is held at the value found: it is the one least
// likely to have to pass through zero on the way to the minimum.
int32_t heldCoefficients(const std::vector<Coil>& coils, const Coefficients& c, int32_t pinned) {
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
            for (const Coil& coil : coils) {
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

// The solver's message on one line.
std::string oneLine(std::string text) {
    for (char& ch : text)
        if (ch == '\n' || ch == '\r') ch = ' ';
    return text;
}

std::string formatted(const char* format, double first, double second) {
    char text[160];
    std::snprintf(text, sizeof text, format, first, second);
    return text;
}

}  // namespace

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

PolishOutcome polishSet(const InductorRecord* coils, ResultRecord* set, int32_t pinned) {
    const auto start = std::chrono::steady_clock::now();
    PolishOutcome outcome;
    const auto finish = [&](std::string kept) {
        outcome.kept = std::move(kept);
        outcome.milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        return outcome;
    };

    // The found set is scored afresh so that both sides of the comparison
    // come from the same code.
    ResultRecord found;
    copyResult(&found, set);
    evalInductors(coils, &found);
    outcome.found = found.goodness;
    outcome.polished = kNoValue;

    std::vector<Coil> used;
    for (const InductorRecord* coil = coils; coil != nullptr; coil = coil->next)
        if (evaluates(coil, &found))
            used.push_back({coil->radius, static_cast<double>(coil->turns), coil->length, coil->wire,
                            coil->measuredInductance});
    if (used.empty()) return finish("the found set evaluates no coil");

    const Coefficients& c = found.coefficients;
    const int32_t held = heldCoefficients(used, c, pinned);
    std::vector<int> constant;
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((held >> k & 1) != 0) constant.push_back(k);
    if (constant.size() == kCoefficientCount)
        return finish("every coefficient is pinned or holds a scale");

    const Coefficients scale = columnScales(used, c);
    Coefficients u;
    for (int k = 0; k < kCoefficientCount; ++k) u[k] = c[k] / scale[k];

    ceres::Problem problem;
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<Residuals, ceres::DYNAMIC, kCoefficientCount>(
            new Residuals{&used, scale}, static_cast<int>(used.size())),
        nullptr, u.data());
    if (!constant.empty())
        problem.SetManifold(u.data(), new ceres::SubsetManifold(kCoefficientCount, constant));

    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.max_num_iterations = 200;
    // Converge to the precision of the goodness, not the default 1e-6 in cost.
    options.function_tolerance = 1e-15;
    options.gradient_tolerance = 1e-15;
    options.parameter_tolerance = 1e-14;
    options.num_threads = 1;
    options.logging_type = ceres::SILENT;
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    outcome.iterations = summary.num_successful_steps + summary.num_unsuccessful_steps;
    if (!summary.IsSolutionUsable()) return finish("the solver failed: " + oneLine(summary.message));

    ResultRecord polished;
    copyResult(&polished, &found);
    for (int k = 0; k < kCoefficientCount; ++k)
        polished.coefficients[k] = (held >> k & 1) != 0 ? c[k] : u[k] * scale[k];
    evalInductors(coils, &polished);
    outcome.polished = polished.goodness;
    std::string refusal = polishRefusal(coils, &found, &polished);
    if (!refusal.empty()) return finish(std::move(refusal));

    set->coefficients = polished.coefficients;
    set->goodness = polished.goodness;
    outcome.replaced = true;
    return finish({});
}

void polishBest(const InductorRecord* coils, ResultRecord* best) {
    const PolishOutcome outcome = polishSet(coils, best, pinnedCoefficients());
    if (outcome.replaced)
        std::printf("Polished: goodness %g -> %g in %d iterations, %.0f ms\n", outcome.found,
                    outcome.polished, outcome.iterations, outcome.milliseconds);
    else
        std::printf("Polish kept the found set: %s\n", outcome.kept.c_str());
}
