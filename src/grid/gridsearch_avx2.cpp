// The grid search walk on 256-bit vectors (four doubles per register). This
// file is compiled with -mavx2 -mfma and only called after a run-time CPU
// check for both; it is empty on other architectures.
#if defined(__x86_64__)
#include <immintrin.h>

#include "grid/gridsearch_kernel.h"

namespace {

struct Avx2Lanes {
    using reg = __m256d;
    static constexpr int width = 4;
    static constexpr int unroll = 4;
    static constexpr bool reciprocals = true;

    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, reg x) { _mm256_storeu_pd(p, x); }
    static reg set1(double x) { return _mm256_set1_pd(x); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg div(reg a, reg b) { return _mm256_div_pd(a, b); }
    static reg sqrt(reg a) { return _mm256_sqrt_pd(a); }
    static reg fma(reg a, reg b, reg c) { return _mm256_fmadd_pd(a, b, c); }
    static reg fnma(reg a, reg b, reg c) { return _mm256_fnmadd_pd(a, b, c); }
    static reg abs(reg x) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }
    static reg min(reg a, reg b) { return _mm256_min_pd(a, b); }
    static reg binade(reg x) { return _mm256_and_pd(x, _mm256_set1_pd(__builtin_inf())); }
    static unsigned outside(reg x, reg low, reg high) {
        const reg in = _mm256_and_pd(_mm256_cmp_pd(x, low, _CMP_GE_OQ), _mm256_cmp_pd(x, high, _CMP_LE_OQ));
        return static_cast<unsigned>(_mm256_movemask_pd(in)) ^ 0xFu;
    }

    // All-ones is a NaN, so OR-ing the "0 or NaN" mask in gives NaN there.
    static reg refuseToNan(reg x) {
        return _mm256_or_pd(x, _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_EQ_UQ));
    }

    // Unordered-or-equal against 1e208 tests "1e208 or NaN" in one compare;
    // a left-out lane adds +0.0, which leaves its (non-negative) sum as it is.
    static void accumulate(reg& sum, reg& count, reg inductance, reg e) {
        const reg big = _mm256_set1_pd(kNoValue);
        const reg out = _mm256_or_pd(_mm256_cmp_pd(inductance, big, _CMP_EQ_UQ),
                                     _mm256_cmp_pd(e, big, _CMP_EQ_UQ));
        sum = _mm256_add_pd(sum, _mm256_andnot_pd(out, e));
        count = _mm256_add_pd(count, _mm256_andnot_pd(out, _mm256_set1_pd(1.0)));
    }

    static unsigned notWorse(reg g, double threshold) {
        return static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_cmp_pd(g, _mm256_set1_pd(threshold), _CMP_LE_OQ)));
    }
};

}  // namespace

extern const GridKernels gridKernelsAvx2 = {grid::gridWalk<Avx2Lanes>, grid::quotients<Avx2Lanes>};

#else
#include "grid/gridsearch_walk.h"

extern const GridKernels gridKernelsAvx2 = {nullptr, nullptr};
#endif  // __x86_64__
