// Which walk variant the grid search runs on. Every variant gives the same
// bits, so the choice is about speed alone, and the widest is not always
// the fastest: it is settled by timing each supported variant on a fixed
// job of typical shape, both ways round (numerator and denominator across
// the lanes), a few times over, within a few milliseconds. The environment
// variable QUELMO_GRID_PATH forces a variant instead, for the tests and the
// benchmarks.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "coils/equation.h"
#include "common/clock.h"
#include "common/fatal.h"
#include "grid/gridsearch_choice.h"

namespace {

// Whether this CPU runs a variant's instructions. Kept here, in a file built
// for any CPU: asked in a variant's own file, the check itself could be
// compiled to instructions the CPU lacks.
bool always() { return true; }
#if defined(__x86_64__)
// The AVX2 walk's file is built with fused multiply-adds too.
bool cpuHasAvx2() { return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0; }
bool cpuHasAvx512() { return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0; }
#else
bool cpuHasAvx2() { return false; }
bool cpuHasAvx512() { return false; }
#endif

// The variants, one row each, in the order of GridPath, narrowest first.
struct Variant {
    GridPath path;
    const char* name;
    const GridKernels& kernels;  // null members where the variant is not built
    bool (*cpuRuns)();
};
const Variant kVariants[] = {
    {GridPath::scalar, "scalar", gridKernelsScalar, always},
    {GridPath::avx2, "avx2", gridKernelsAvx2, cpuHasAvx2},
    {GridPath::avx512, "avx512", gridKernelsAvx512, cpuHasAvx512},
};

const Variant* variantOf(GridPath path) {
    for (const Variant& variant : kVariants)
        if (variant.path == path) return &variant;
    return nullptr;
}

bool settled = false;
GridPath chosen = GridPath::scalar;

[[noreturn]] void refuseForcedPath(const char* name) {
    std::string accepted;
    for (const Variant& variant : kVariants) {
        if (!gridPathSupported(variant.path)) continue;
        if (!accepted.empty()) accepted += ", ";
        accepted += variant.name;
    }
    fatal("QUELMO_GRID_PATH is %s, accepted on this CPU: %s\n", name, accepted.c_str());
}

GridPath forcedPath(const char* name) {
    for (const Variant& variant : kVariants)
        if (std::strcmp(name, variant.name) == 0 && gridPathSupported(variant.path)) return variant.path;
    refuseForcedPath(name);
}

// The timed job: 16 coils of the example's kind around a good fit, and the
// windows a typical job gets (five of six values, granted in r0..l3 order:
// r0..r3 and w0, or in l3..r0 order: l3..l0 and t3).
constexpr int kCoils = 16;
constexpr double kFit[kCoefficientCount] = {-8.73e-6, 0.00996, 1.985, -4.98, 1,    427.9, -3.36e5, -2.14,
                                            0.250,    1,       -9.1e-4, 0.00650, 1, -2.24, -0.27};

void makeCoils(InductorRecord (&coils)[kCoils]) {
    ResultRecord fit{};
    for (int k = 0; k < kCoefficientCount; ++k) fit.coefficients[k] = kFit[k];
    for (int i = 0; i < kCoils; ++i) {
        const double t = (i + 0.5) / kCoils;  // spread over each quantity's range
        InductorRecord& coil = coils[i];
        coil = InductorRecord{};
        coil.radius = 0.003 + 0.05 * t;
        coil.wire = 1e-4 + 9e-4 * (1 - t);
        coil.turns = 1 + (37 * i) % 150;
        coil.length = coil.turns * coil.wire * (2.1 + t);
        coil.measuredInductance = evalInductorAbs(&coil, &fit) * (1 + 0.05 * std::sin(7.0 * i));
        coil.next = i + 1 < kCoils ? &coils[i + 1] : nullptr;
    }
}

GridWindows typicalWindows(bool forward) {
    GridWindows windows{};
    for (int k = 0; k < kCoefficientCount; ++k) {
        const bool open = forward ? (k <= cW0) : (k >= cT3);
        windows.inc[k] = std::fabs(kFit[k]) * 0.001;
        windows.count[k] = open ? 6 : 1;
        windows.start[k] = kFit[k] - 3 * windows.inc[k];
    }
    return windows;
}

GridPath fastestPath() {
    constexpr double kBudgetSeconds = 0.012;
    constexpr int kRounds = 3;
    InductorRecord coils[kCoils];
    makeCoils(coils);
    const GridWindows jobs[] = {typicalWindows(true), typicalWindows(false)};

    // The shortest time per variant (by its row) over the rounds:
    // interruptions only ever add time.
    constexpr std::size_t kCount = std::size(kVariants);
    double shortest[kCount];
    for (double& time : shortest) time = HUGE_VAL;
    const double start = monotonicSeconds();
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t v = 0; v < kCount; ++v) {
            if (!gridPathSupported(kVariants[v].path)) continue;
            const double before = monotonicSeconds();
            for (const GridWindows& windows : jobs) walkGrid(kVariants[v].kernels.walk, windows, coils);
            const double seconds = monotonicSeconds() - before;
            if (seconds < shortest[v]) shortest[v] = seconds;
        }
        if (monotonicSeconds() - start > kBudgetSeconds) break;
    }
    std::size_t fastest = 0;
    for (std::size_t v = 1; v < kCount; ++v)
        if (shortest[v] < shortest[fastest]) fastest = v;
    return kVariants[fastest].path;
}

}  // namespace

GridWalk gridWalkFor(GridPath path) {
    const Variant* variant = variantOf(path);
    return variant != nullptr ? variant->kernels.walk : nullptr;
}

GridQuotients gridQuotientsFor(GridPath path) {
    const Variant* variant = variantOf(path);
    return variant != nullptr ? variant->kernels.quotients : nullptr;
}

bool gridPathSupported(GridPath path) {
    const Variant* variant = variantOf(path);
    return variant != nullptr && variant->kernels.walk != nullptr && variant->cpuRuns();
}

const char* gridPathName(GridPath path) {
    const Variant* variant = variantOf(path);
    return variant != nullptr ? variant->name : "?";
}

GridPath gridPathBest() {
    static const GridPath best = [] {
        GridPath widest = GridPath::scalar;
        for (const Variant& variant : kVariants)
            if (variant.kernels.walk != nullptr && variant.cpuRuns()) widest = variant.path;
        return widest;
    }();
    return best;
}

GridPath gridPathChosen() {
    if (!settled) {
        const char* forced = std::getenv("QUELMO_GRID_PATH");
        chosen = forced != nullptr && *forced != '\0' ? forcedPath(forced) : fastestPath();
        settled = true;
    }
    return chosen;
}

void setGridPath(GridPath path) {
    chosen = gridPathSupported(path) ? path : gridPathBest();
    settled = true;
}
