// The grid search walk on 512-bit vectors (eight doubles per register). This
// file is compiled with -mavx512f -mavx512dq and only called after a run-time
// CPU check; it is empty on other architectures.
//
// The tests build it a second time with QUELMO_GRID_SIMDE defined and without
// any AVX-512 flag: the same code then runs on SIMDe's portable emulation of
// the 512-bit intrinsics, as gridWalkAvx512Simde, so that the 8-lane walk is
// checked on every machine, AVX-512 or not.
#if defined(QUELMO_GRID_SIMDE)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
// SIMDe maps the vector type and the intrinsics but not the mask type.
using Mask8 = simde__mmask8;
#elif defined(__x86_64__)
#include <immintrin.h>
using Mask8 = __mmask8;
#endif

#if defined(QUELMO_GRID_SIMDE) || defined(__x86_64__)

#include "grid/gridsearch_kernel.h"

namespace {

struct Avx512Lanes {
    using reg = __m512d;
    static constexpr int width = 8;
    static constexpr int unroll = 2;
    static constexpr bool reciprocals = true;

    static reg load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, reg x) { _mm512_storeu_pd(p, x); }
    static reg set1(double x) { return _mm512_set1_pd(x); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm512_div_pd(a, b); }
    // The masked forms with every lane selected: the plain ones trip a false
    // "may be used uninitialized" warning in some compilers' headers.
    static reg sqrt(reg a) { return _mm512_mask_sqrt_pd(a, 0xFF, a); }
    static reg min(reg a, reg b) { return _mm512_mask_min_pd(a, 0xFF, a, b); }
#if defined(QUELMO_GRID_SIMDE)
    // SIMDe emulates a fused multiply-add by a product and a sum, rounded
    // twice; the C library's rounds once, lane by lane.
    static reg fma(reg a, reg b, reg c) {
        alignas(64) double x[8], y[8], z[8];
        store(x, a);
        store(y, b);
        store(z, c);
        for (int i = 0; i < 8; ++i) x[i] = __builtin_fma(x[i], y[i], z[i]);
        return load(x);
    }
    static reg fnma(reg a, reg b, reg c) { return fma(_mm512_sub_pd(_mm512_setzero_pd(), a), b, c); }
#else
    static reg fma(reg a, reg b, reg c) { return _mm512_fmadd_pd(a, b, c); }
    static reg fnma(reg a, reg b, reg c) { return _mm512_fnmadd_pd(a, b, c); }
#endif
    static reg abs(reg x) { return _mm512_abs_pd(x); }
    static reg binade(reg x) {
        return _mm512_castsi512_pd(
            _mm512_and_si512(_mm512_castpd_si512(x), _mm512_set1_epi64(0x7FF0000000000000LL)));
    }
    static unsigned outside(reg x, reg low, reg high) {
        const Mask8 in = _mm512_cmp_pd_mask(x, low, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, high, _CMP_LE_OQ);
        return static_cast<Mask8>(~in);
    }

    static reg refuseToNan(reg x) {
        const Mask8 refused = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_EQ_UQ);
        return _mm512_mask_mov_pd(x, refused, _mm512_set1_pd(__builtin_nan("")));
    }

    // Unordered-or-equal against 1e208 tests "1e208 or NaN" in one compare;
    // left-out lanes keep their sum and count.
    static void accumulate(reg& sum, reg& count, reg inductance, reg e) {
        const reg big = _mm512_set1_pd(kNoValue);
        const Mask8 out = _mm512_cmp_pd_mask(inductance, big, _CMP_EQ_UQ) |
                          _mm512_cmp_pd_mask(e, big, _CMP_EQ_UQ);
        const Mask8 in = static_cast<Mask8>(~out);
        sum = _mm512_mask_add_pd(sum, in, sum, e);
        count = _mm512_mask_add_pd(count, in, count, _mm512_set1_pd(1.0));
    }

    static unsigned notWorse(reg g, double threshold) {
        return _mm512_cmp_pd_mask(g, _mm512_set1_pd(threshold), _CMP_LE_OQ);
    }
};

}  // namespace

#if defined(QUELMO_GRID_SIMDE)
void gridWalkAvx512Simde(const GridPlan& plan, GridBest& best) { grid::gridWalk<Avx512Lanes>(plan, best); }
int64_t gridQuotientsAvx512Simde(const double* a, int64_t n, double b, double* q) {
    return grid::quotients<Avx512Lanes>(a, n, b, q);
}
#else
extern const GridKernels gridKernelsAvx512 = {grid::gridWalk<Avx512Lanes>, grid::quotients<Avx512Lanes>};
#endif

#else
#include "grid/gridsearch_walk.h"

extern const GridKernels gridKernelsAvx512 = {nullptr, nullptr};
#endif  // QUELMO_GRID_SIMDE || __x86_64__
