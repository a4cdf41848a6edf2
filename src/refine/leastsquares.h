// The least-squares problem behind the polish, the fit statistics, the
// cross-validation and the pruning: the residuals (L - m)/m of a list of
// coils as a function of the fifteen coefficients, their Jacobian, and a
// Levenberg-Marquardt refit that holds chosen coefficients.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "coils/records.h"

using Coefficients = std::array<double, kCoefficientCount>;

// One coil as the solver sees it.
struct FitCoil {
    double radius;
    double turns;
    double length;
    double wire;
    double measured;
    const InductorRecord* record;  // the coil it came from
};

FitCoil fitCoilOf(const InductorRecord* coil);

// Whether `set` evaluates `coil`: the coils its goodness counts.
bool evaluates(const InductorRecord* coil, const ResultRecord* set);

// The residuals (L - m)/m of `coils` at `c`, and with `jacobian` its rows
// d residual_i / d c_k (row-major, kCoefficientCount columns). False when a
// coil cannot be evaluated there.
bool evaluateResiduals(const std::vector<FitCoil>& coils, const Coefficients& c, std::vector<double>& residuals,
                       std::vector<double>* jacobian);

struct Refit {
    bool usable = false;  // the solver ended on a set that evaluates every coil
    Coefficients coefficients{};
    int iterations = 0;
    std::string message;  // the solver's message on one line when not usable
    bool atLimit = false;      // it stopped at its iteration limit, short of convergence
    bool nonFinite = false;    // the cost was not a finite number
    bool interrupted = false;  // a stop signal ended it early
};

// The iteration limit of a refit.
inline constexpr int kRefitIterations = 200;

// Levenberg-Marquardt on the residuals of `coils` from `start`, holding the
// coefficients of `held` (bit k stands for coefficient k) at their start
// values, to the precision of the goodness.
Refit refit(const std::vector<FitCoil>& coils, const Coefficients& start, int32_t held);

// The name of coefficient k when bit k of `mask` is set, in coefficient order.
std::vector<std::string> coefficientNames(int32_t mask);

// The sum of the squared relative errors of `coils` under `c`, as the
// goodness forms them (evalInductor), or NaN when a coil cannot be evaluated;
// `failed`, when given, receives that coil.
double squaredErrorSum(const std::vector<FitCoil>& coils, const Coefficients& c,
                       const InductorRecord** failed = nullptr);
