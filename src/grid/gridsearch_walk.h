// The grid walk: the windows around a candidate, the plan a walk variant
// runs on, and the walk over the plan's grid on a given variant. Inside the
// grid search only; the rest of the program uses gridsearch.h.
#pragma once

#include <cstdint>

#include "coils/records.h"

// Per coefficient, the first value of its window, its step and its point
// count. A held coefficient has start = the candidate's value and count 1.
// The value at index j is always formed as (double)j * inc + start.
struct GridWindows {
    double start[kCoefficientCount];
    double inc[kCoefficientCount];
    int32_t count[kCoefficientCount];
};

// Internal linkage: the vector walks' files use it too, and an inline
// function with external linkage that the compiler emits out of line (as it
// does without optimisation) could be taken by the linker from a file built
// for AVX-512 and then run on any CPU.
namespace {
inline double gridValue(const GridWindows& windows, int k, int64_t j) {
    return static_cast<double>(j) * windows.inc[k] + windows.start[k];
}
}  // namespace

// Settles the windows around `candidate` from the range table R and the
// minormax setting, offering them in the order r0..l3 when `forward`, else
// l3..r0.
GridWindows planGridWindows(const ResultRecord* candidate, bool forward);

// The grid point index in walk order is a mixed-radix number over r0..l3
// (r0 most significant). It splits into a numerator part over r0..r3, t0..t3
// (M = R(a)*mu0*T(N) depends only on these) and a denominator part over
// w0..w2, l0..l3 (D = Lambda(len)*W(w)). A side lists its coefficients in
// significance order.
inline constexpr int kGridSideMax = 8;
struct GridSide {
    int size;
    int coef[kGridSideMax];
    int64_t count[kGridSideMax];
    int64_t combos;  // product of the counts
};

// What a block evaluation needs of one coil that a broadcast combination
// counts: the broadcast M or D, the measured inductance, the reciprocal
// pairs of whichever of them divides (see gridsearch_quotient.h), the
// screen's factor, and where the coil's rows of the lane tables start. One
// cache line.
struct alignas(64) GridCoilTerm {
    double value;          // the broadcast M or D
    double valueHigh;      // reciprocal pair of a broadcast D
    double valueLow;
    double measured;
    double measuredHigh;   // reciprocal pair of the measured inductance
    double measuredLow;
    double screenFactor;   // RN(1/D)*RN(1/m), or M*RN(1/m) for a broadcast M
    int64_t row;           // offset of the coil's rows in the lane tables
};

struct GridTermSet {
    int32_t counted;
    bool inDomain;
};

// Everything a walk variant needs: the windows, the coils in list order as
// arrays, and scratch memory sized by the caller.
struct GridPlan {
    const GridWindows* windows;
    GridSide numerator;    // r0..r3, t0..t3
    GridSide denominator;  // w0..w2, l0..l3
    int64_t countW, countT, countL;  // combos of the w, t and l groups
    // The side whose combinations run across vector lanes (the larger one);
    // the other side is broadcast, one combination at a time.
    bool lanesAreNumerator;
    int64_t chunk;  // lanes tabulated at once; a multiple of kGridBlockMax

    int32_t coilCount;  // at least 1
    const double* radius;
    const double* wire;
    const double* length;
    const double* turns;
    const double* measured;
    // The reciprocal pairs of the measured inductances, valid when
    // measuredDivides: every one of them may divide by reciprocals.
    const double* measuredHigh;
    const double* measuredLow;
    bool measuredDivides;

    double* laneTable;      // coilCount rows of chunk lanes: M or D per coil and lane
    double* laneHigh;       // the same for RN(1/D), where the lanes hold D
    double* laneCoef;       // kGridSideMax rows of chunk lanes: coefficient values per lane
    // The terms of the counted coils of a broadcast combination, coilCount
    // per combination. Where the lanes take several chunks and there is room
    // (termSets == the broadcast side's combinations), every combination's
    // are kept, with their count and whether all its operands lie in the
    // quotient routine's domain, and serve every chunk; otherwise one set is
    // filled anew for each combination of each chunk.
    GridCoilTerm* coilTerms;
    GridTermSet* termSets;
    int64_t termSetCount;
};

// Widest block of lanes any variant evaluates at once.
inline constexpr int kGridBlockMax = 16;

// The earliest point in walk order with the smallest goodness.
struct GridBest {
    bool found;
    double goodness;
    int64_t index;
};

// A walk variant: the best point of the plan's grid.
using GridWalk = void (*)(const GridPlan& plan, GridBest& best);

// The best point of the grid `windows` over `coils` on the given walk.
GridBest walkGrid(GridWalk walk, const GridWindows& windows, const InductorRecord* coils);

// q[i] = RN(a[i] / b) for i < n by a variant's quotient routine (see
// gridsearch_quotient.h) where b and a[i] are in its domain, by division
// elsewhere; returns how many went through the routine. For the tests and
// the benchmarks, to hold the routine against the division.
using GridQuotients = int64_t (*)(const double* a, int64_t n, double b, double* q);

// One instruction set's implementation of the walk: its walk and its
// quotient routine. Each variant's file defines its entry, with null members
// where the variant is not built for this architecture; the table of
// variants (gridsearch_choice.cpp) names them.
struct GridKernels {
    GridWalk walk;
    GridQuotients quotients;
};
extern const GridKernels gridKernelsScalar;
extern const GridKernels gridKernelsAvx2;
extern const GridKernels gridKernelsAvx512;

// Built for the tests only, to check walks that do not run here otherwise:
// the AVX-512 walk on SIMDe's portable emulation of the 512-bit intrinsics,
// and the scalar walk dividing by reciprocals, as it does where the CPU has
// a fused multiply-add (on x86-64 the scalar walk divides).
void gridWalkAvx512Simde(const GridPlan& plan, GridBest& best);
void gridWalkScalarFma(const GridPlan& plan, GridBest& best);
int64_t gridQuotientsAvx512Simde(const double* a, int64_t n, double b, double* q);
int64_t gridQuotientsScalarFma(const double* a, int64_t n, double b, double* q);
