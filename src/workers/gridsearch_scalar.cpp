// The grid search walk on plain doubles: the variant every CPU runs, and the
// only one built for other architectures.
#include <cmath>

#include "workers/gridsearch_kernel.h"

namespace {

struct ScalarLanes {
    using reg = double;
    static constexpr int width = 1;
    static constexpr int unroll = 4;

    static reg load(const double* p) { return *p; }
    static void store(double* p, reg x) { *p = x; }
    static reg set1(double x) { return x; }
    static reg add(reg a, reg b) { return a + b; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg mul(reg a, reg b) { return a * b; }
    static reg div(reg a, reg b) { return a / b; }
    static reg sqrt(reg a) { return std::sqrt(a); }
    static reg refuseToNan(reg x) { return x == 0 || std::isnan(x) ? grid::kNaN : x; }
    // A NaN inductance makes e NaN, so testing e for NaN covers both; adding
    // +0.0 for a left-out coil leaves the (non-negative) sum as it is and
    // keeps the loop free of branches.
    static void accumulate(reg& sum, reg& count, reg inductance, reg e) {
        const bool counted = inductance != kNoValue && e != kNoValue && e == e;
        sum += counted ? e : 0.0;
        count += counted ? 1.0 : 0.0;
    }
    static unsigned notWorse(reg g, double threshold) { return g <= threshold ? 1u : 0u; }
};

}  // namespace

void gridWalkScalar(const GridPlan& plan, GridBest& best) { grid::gridWalk<ScalarLanes>(plan, best); }
