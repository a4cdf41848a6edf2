// The residuals come from the equation's own terms (equation_terms.h),
// instantiated on Ceres's Jet type for automatic derivatives, so the solver
// and the statistics see exactly the operations evalInductorAbs performs.
#include "refine/leastsquares.h"

#include <ceres/autodiff_cost_function.h>
#include <ceres/manifold.h>
#include <ceres/problem.h>
#include <ceres/iteration_callback.h>
#include <ceres/solver.h>
#include <glog/logging.h>

#include <cmath>
#include <memory>

#include "coils/equation.h"
#include "coils/equation_terms.h"
#include "common/stopsignals.h"

namespace {

// The equation's operations on a scalar or Jet type T. The coil variables
// become constants of type T, so every term runs on one type.
template <class T>
struct Ops {
    static T add(const T& a, const T& b) { return a + b; }
    static T mul(const T& a, const T& b) { return a * b; }
    static T set1(double x) { return T(x); }
};

// The residuals of all coils at the coefficients scale[k]·u[k]. A coil the
// equation cannot evaluate there fails the evaluation, which makes the
// solver refuse that step.
struct Residuals {
    const std::vector<FitCoil>* coils;
    Coefficients scale;

    template <typename T>
    bool operator()(const T* u, T* residual) const {
        using A = Ops<T>;
        using equation::groupAt;
        std::array<T, kCoefficientCount> c;
        for (int k = 0; k < kCoefficientCount; ++k) c[k] = u[k] * scale[k];
        const T* cp = c.data();
        for (size_t i = 0; i < coils->size(); ++i) {
            const FitCoil& coil = (*coils)[i];
            const T lambda = equation::lengthPoly<A>(groupAt(cp + cL0), T(coil.length));
            const T wirePoly = equation::wirePoly<A>(groupAt(cp + cW0), T(coil.wire));
            const T denominator = equation::denominator<A>(lambda, wirePoly);
            const T radiusPoly = equation::radiusPoly<A>(groupAt(cp + cR0), T(coil.radius));
            const T turnsPoly = equation::turnsPoly<A>(groupAt(cp + cT0), T(coil.turns));
            const T numerator = equation::numerator<A>(equation::radiusTerm<A>(radiusPoly), turnsPoly);
            if (denominator == 0.0 || numerator == 0.0) return false;
            residual[i] = (numerator / denominator - coil.measured) / coil.measured;
        }
        return true;
    }
};

using CostFunction = ceres::AutoDiffCostFunction<Residuals, ceres::DYNAMIC, kCoefficientCount>;

CostFunction* costFunction(const std::vector<FitCoil>& coils, const Coefficients& scale) {
    return new CostFunction(new Residuals{&coils, scale}, static_cast<int>(coils.size()));
}

// Powers of two that bring every column of the Jacobian at the start to a
// norm between 1 and 2. The coefficients span eleven orders of magnitude
// (r0 near 1e-5, w2 near 1e5); unscaled, the solver's damping would all but
// freeze the ones with small derivatives. Powers of two keep
// coefficient = scale·u exact both ways.
Coefficients columnScales(const std::vector<FitCoil>& coils, const Coefficients& c) {
    Coefficients scale;
    scale.fill(1.0);
    std::vector<double> residuals, jacobian;
    if (!evaluateResiduals(coils, c, residuals, &jacobian)) return scale;
    Coefficients sumSquares{};
    for (size_t i = 0; i < coils.size(); ++i)
        for (int k = 0; k < kCoefficientCount; ++k) {
            const double d = jacobian[i * kCoefficientCount + k];
            sumSquares[k] += d * d;
        }
    for (int k = 0; k < kCoefficientCount; ++k) {
        const double norm = std::sqrt(sumSquares[k]);
        if (std::isfinite(norm) && norm > 0) scale[k] = std::ldexp(1.0, -std::ilogb(norm));
    }
    return scale;
}

// Ends the solve, keeping its last step, when a stop signal arrives after
// it began; one that came before (a run stopped by a signal, whose final
// report is under way) does not stop it.
class StopOnSignal : public ceres::IterationCallback {
public:
    ceres::CallbackReturnType operator()(const ceres::IterationSummary&) override {
        if (stopSignalNumber() == 0 || signalledBefore_) return ceres::SOLVER_CONTINUE;
        interrupted = true;
        return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
    }
    bool interrupted = false;

private:
    bool signalledBefore_ = stopSignalNumber() != 0;
};

// The solver writes warnings of its own (steps it refuses, evaluations that
// fail) through its logging library, which, never set up, writes them to
// standard error; the polish reports what matters on its own line.
void silenceSolverLogging() { FLAGS_minloglevel = google::GLOG_FATAL; }

// The solver's message on one line.
std::string oneLine(std::string text) {
    for (char& ch : text)
        if (ch == '\n' || ch == '\r') ch = ' ';
    return text;
}

}  // namespace

FitCoil fitCoilOf(const InductorRecord* coil) {
    return {coil->radius, static_cast<double>(coil->turns), coil->length, coil->wire, coil->measuredInductance, coil};
}

bool evaluates(const InductorRecord* coil, const ResultRecord* set) {
    const double e = evalInductor(coil, set);
    return e != kNoValue && !std::isnan(e);
}

bool evaluateResiduals(const std::vector<FitCoil>& coils, const Coefficients& c, std::vector<double>& residuals,
                       std::vector<double>* jacobian) {
    Coefficients ones;
    ones.fill(1.0);
    const std::unique_ptr<CostFunction> cost(costFunction(coils, ones));
    residuals.assign(coils.size(), 0.0);
    const double* parameters[] = {c.data()};
    if (jacobian == nullptr) return cost->Evaluate(parameters, residuals.data(), nullptr);
    jacobian->assign(coils.size() * kCoefficientCount, 0.0);
    double* jacobians[] = {jacobian->data()};
    return cost->Evaluate(parameters, residuals.data(), jacobians);
}

Refit refit(const std::vector<FitCoil>& coils, const Coefficients& start, int32_t held) {
    Refit result;
    result.coefficients = start;
    std::vector<int> constant;
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((held >> k & 1) != 0) constant.push_back(k);
    if (coils.empty() || constant.size() == kCoefficientCount) {
        result.message = coils.empty() ? "no coil to fit" : "every coefficient is held";
        return result;
    }

    const Coefficients scale = columnScales(coils, start);
    Coefficients u;
    for (int k = 0; k < kCoefficientCount; ++k) u[k] = start[k] / scale[k];

    ceres::Problem problem;
    problem.AddResidualBlock(costFunction(coils, scale), nullptr, u.data());
    if (!constant.empty()) problem.SetManifold(u.data(), new ceres::SubsetManifold(kCoefficientCount, constant));

    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.max_num_iterations = kRefitIterations;
    // Converge to the precision of the goodness, not the default 1e-6 in cost.
    options.function_tolerance = 1e-15;
    options.gradient_tolerance = 1e-15;
    options.parameter_tolerance = 1e-14;
    options.num_threads = 1;
    options.logging_type = ceres::SILENT;
    silenceSolverLogging();
    StopOnSignal stop;
    options.callbacks.push_back(&stop);
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    result.iterations = summary.num_successful_steps + summary.num_unsuccessful_steps;
    result.interrupted = stop.interrupted;
    result.atLimit = summary.termination_type == ceres::NO_CONVERGENCE;
    result.nonFinite = !std::isfinite(summary.initial_cost) || !std::isfinite(summary.final_cost);
    if (!summary.IsSolutionUsable()) {
        result.message = oneLine(summary.message);
        return result;
    }
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((held >> k & 1) == 0) result.coefficients[k] = u[k] * scale[k];
    result.usable = true;
    return result;
}

std::vector<std::string> coefficientNames(int32_t mask) {
    std::vector<std::string> names;
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((mask >> k & 1) != 0) names.emplace_back(kCoefficientNames[k]);
    return names;
}

double squaredErrorSum(const std::vector<FitCoil>& coils, const Coefficients& c, const InductorRecord** failed) {
    ResultRecord set{};
    set.coefficients = c;
    double sum = 0;
    for (const FitCoil& coil : coils) {
        const double e = evalInductor(coil.record, &set);
        if (e == kNoValue || std::isnan(e)) {
            if (failed != nullptr) *failed = coil.record;
            return std::nan("");
        }
        sum += e;
    }
    return sum;
}
