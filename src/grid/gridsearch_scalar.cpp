// The grid search walk on plain doubles: the variant every CPU runs, and the
// only one built for other architectures. It divides by reciprocals where
// the compiler has a fused multiply-add as fast as a product (FP_FAST_FMA);
// elsewhere std::fma is a call into the C library, slower than the division
// it would replace, and the walk divides.
//
// The tests build this file a second time with QUELMO_GRID_SCALAR_FMA
// defined, as gridWalkScalarFma, which divides by reciprocals whatever the
// CPU, so that this route is checked on x86-64 too.
#include <cmath>

#include "grid/gridsearch_kernel.h"

namespace {

struct ScalarLanes {
    using reg = double;
    static constexpr int width = 1;
    static constexpr int unroll = 4;
#if defined(QUELMO_GRID_SCALAR_FMA) || defined(FP_FAST_FMA)
    static constexpr bool reciprocals = true;
#else
    static constexpr bool reciprocals = false;
#endif

    static reg load(const double* p) { return *p; }
    static void store(double* p, reg x) { *p = x; }
    static reg set1(double x) { return x; }
    static reg add(reg a, reg b) { return a + b; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg mul(reg a, reg b) { return a * b; }
    static reg div(reg a, reg b) { return a / b; }
    static reg sqrt(reg a) { return std::sqrt(a); }
    static reg fma(reg a, reg b, reg c) { return std::fma(a, b, c); }
    static reg fnma(reg a, reg b, reg c) { return std::fma(-a, b, c); }
    static reg abs(reg x) { return std::fabs(x); }
    static reg min(reg a, reg b) { return a < b ? a : b; }
    static reg binade(reg x) {
        uint64_t bits;
        __builtin_memcpy(&bits, &x, sizeof bits);
        bits &= 0x7FF0000000000000ull;
        __builtin_memcpy(&x, &bits, sizeof bits);
        return x;
    }
    static unsigned outside(reg x, reg low, reg high) { return x >= low && x <= high ? 0u : 1u; }
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

#if defined(QUELMO_GRID_SCALAR_FMA)
void gridWalkScalarFma(const GridPlan& plan, GridBest& best) { grid::gridWalk<ScalarLanes>(plan, best); }
int64_t gridQuotientsScalarFma(const double* a, int64_t n, double b, double* q) {
    return grid::quotients<ScalarLanes>(a, n, b, q);
}
#else
extern const GridKernels gridKernelsScalar = {grid::gridWalk<ScalarLanes>, grid::quotients<ScalarLanes>};
#endif
