// Per-pixel kernels of the streaming RSS run: a portable version of each, and
// AVX2 versions chosen at run time where the processor has them. Both give
// bit-identical results: every step is one correctly rounded IEEE operation
// in the same order as the map operations (this file is built without
// floating-point contraction, so no multiply-add is ever fused).
#include "rss/rss_fold.h"

#include "maps/maps.h"
#include "maps/round.h"

#include <cmath>
#include <cstring>
#include <limits>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define KV_AVX2_KERNELS 1
#include <immintrin.h>
#endif

namespace {

constexpr double INVALID_MARK = std::numeric_limits<double>::quiet_NaN();
constexpr double COUNT_INVALID_FROM = 2147483640.0; // INT_MAP_INVALID as a double

inline int32_t load_be32(const unsigned char *p) {
    const uint32_t v =
        (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return static_cast<int32_t>(v);
}

inline int32_t load_host32(const unsigned char *p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One pixel, written as the map operations define it, with a NaN for an
// invalid pixel: an invalid count stays NaN through the scaling, squaring
// and addition, exactly where the map operations skip it or mark the sum.
template <bool SCALED, bool FIRST>
bool fold_portable(const unsigned char *raw, double *sum, std::size_t n, double factor) {
    bool overflow = false;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t count = load_be32(raw + 4 * i);
        double y = count < INT_MAP_INVALID ? static_cast<double>(count) : INVALID_MARK;
        if constexpr (SCALED) {
            y = y * factor;
            overflow |= std::fabs(y) >= DBL_MAP_INVALID;
        }
        const double square = y * y;
        if constexpr (SCALED) {
            overflow |= square >= DBL_MAP_INVALID;
        }
        // Unscaled counts square to less than 2^62, too little to move any
        // sum below DBL_MAP_INVALID up to it: only scaled inputs overflow.
        double t = square;
        if constexpr (!FIRST) {
            t = sum[i] + square;
        }
        if constexpr (SCALED && !FIRST) {
            if (t >= DBL_MAP_INVALID) {
                // Beyond the limit the addition overflows; a sum of exactly
                // DBL_MAP_INVALID is an invalid pixel from then on.
                overflow |= t > DBL_MAP_INVALID;
                t = INVALID_MARK;
            }
        }
        sum[i] = t;
    }
    return overflow;
}

void round_portable(const double *sum, unsigned char *out, std::size_t n) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(sum);
    for (std::size_t i = 0; i < n; ++i) {
        double x;
        std::memcpy(&x, bytes + 8 * i, sizeof x);
        int32_t count = INT_MAP_INVALID;
        if (x < DBL_MAP_INVALID) {
            count = map_round_count(x > 0.0 ? std::sqrt(x) : 0.0);
        }
        std::memcpy(out + 4 * i, &count, sizeof count);
    }
}

void store_be_portable(const unsigned char *counts, unsigned char *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t v = static_cast<uint32_t>(load_host32(counts + 4 * i));
        out[4 * i] = static_cast<unsigned char>(v >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(v >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(v >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(v);
    }
}

#ifdef KV_AVX2_KERNELS

#define KV_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Four counts widened, all ones (a NaN) for an invalid one, then scaled.
template <bool SCALED> KV_AVX2 __m256d widen_avx2(__m128i counts, __m256d factor, __m256d *over) {
    const __m256d invalid_from = _mm256_set1_pd(COUNT_INVALID_FROM);
    __m256d x = _mm256_cvtepi32_pd(counts);
    x = _mm256_or_pd(x, _mm256_cmp_pd(x, invalid_from, _CMP_GE_OQ));
    if constexpr (SCALED) {
        const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
        const __m256d limit = _mm256_set1_pd(DBL_MAP_INVALID);
        x = _mm256_mul_pd(x, factor);
        *over = _mm256_or_pd(*over, _mm256_cmp_pd(_mm256_and_pd(x, magnitude), limit, _CMP_GE_OQ));
    }
    return x;
}

// Squares four values into four sums.
template <bool SCALED, bool FIRST>
KV_AVX2 void square_add_avx2(__m256d y, double *sum, __m256d *over) {
    const __m256d limit = _mm256_set1_pd(DBL_MAP_INVALID);
    const __m256d square = _mm256_mul_pd(y, y);
    if constexpr (SCALED) {
        *over = _mm256_or_pd(*over, _mm256_cmp_pd(square, limit, _CMP_GE_OQ));
    }
    __m256d t = square;
    if constexpr (!FIRST) {
        t = _mm256_add_pd(_mm256_loadu_pd(sum), square);
    }
    if constexpr (SCALED && !FIRST) {
        *over = _mm256_or_pd(*over, _mm256_cmp_pd(t, limit, _CMP_GT_OQ));
        t = _mm256_or_pd(t, _mm256_cmp_pd(t, limit, _CMP_GE_OQ));
    }
    _mm256_storeu_pd(sum, t);
}

// Eight pixels per step; the tail goes through the portable loop.
template <bool SCALED, bool FIRST>
__attribute__((target("avx2"))) bool fold_avx2(const unsigned char *raw, double *sum, std::size_t n,
                                               double factor) {
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3,
                                          2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m256d f = _mm256_set1_pd(factor);
    __m256d over = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(raw + 4 * i));
        v = _mm256_shuffle_epi8(v, swap);
        const __m256d y0 = widen_avx2<SCALED>(_mm256_castsi256_si128(v), f, &over);
        const __m256d y1 = widen_avx2<SCALED>(_mm256_extracti128_si256(v, 1), f, &over);
        square_add_avx2<SCALED, FIRST>(y0, sum + i, &over);
        square_add_avx2<SCALED, FIRST>(y1, sum + i + 4, &over);
    }
    const bool overflow = _mm256_movemask_pd(over) != 0;
    return fold_portable<SCALED, FIRST>(raw + 4 * i, sum + i, n - i, factor) || overflow;
}

// Four pixels per step. Every load comes before the store of the same step,
// and the stores stay below the sums still to be read, so out may overlap
// the sum from below.
__attribute__((target("avx2"))) void round_avx2(const double *sum, unsigned char *out,
                                                std::size_t n) {
    const __m256d round_max = _mm256_set1_pd(MAP_ROUND_MAX);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d invalid = _mm256_set1_pd(COUNT_INVALID_FROM);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        // Sums are NaN or in [0, DBL_MAP_INVALID): the root is NaN or >= 0.
        const __m256d root = _mm256_sqrt_pd(_mm256_loadu_pd(sum + i));
        const __m256d in_range = _mm256_cmp_pd(root, round_max, _CMP_LE_OQ);
        // Half away from zero for r >= 0: trunc(r), plus 1 when r - trunc(r)
        // (exact) is at least 0.5.
        __m256d r = _mm256_round_pd(root, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d up = _mm256_cmp_pd(_mm256_sub_pd(root, r), half, _CMP_GE_OQ);
        r = _mm256_add_pd(r, _mm256_and_pd(up, one));
        r = _mm256_blendv_pd(invalid, r, in_range);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), _mm256_cvttpd_epi32(r));
    }
    round_portable(sum + i, out + 4 * i, n - i);
}

__attribute__((target("avx2"))) void store_be_avx2(const unsigned char *counts, unsigned char *out,
                                                   std::size_t n) {
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3,
                                          2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(counts + 4 * i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 4 * i), _mm256_shuffle_epi8(v, swap));
    }
    store_be_portable(counts + 4 * i, out + 4 * i, n - i);
}

#endif

using fold_fn = bool (*)(const unsigned char *, double *, std::size_t, double);
using round_fn = void (*)(const double *, unsigned char *, std::size_t);
using store_fn = void (*)(const unsigned char *, unsigned char *, std::size_t);

} // namespace

struct fold_kernels_t {
    fold_fn fold[2][2]; // [scaled][first]
    round_fn round;
    store_fn store_be;
    const char *name;
};

namespace {

constexpr fold_kernels_t PORTABLE = {{{fold_portable<false, false>, fold_portable<false, true>},
                                      {fold_portable<true, false>, fold_portable<true, true>}},
                                     round_portable,
                                     store_be_portable,
                                     "portable"};

#ifdef KV_AVX2_KERNELS
constexpr fold_kernels_t AVX2 = {{{fold_avx2<false, false>, fold_avx2<false, true>},
                                  {fold_avx2<true, false>, fold_avx2<true, true>}},
                                 round_avx2,
                                 store_be_avx2,
                                 "avx2"};
#endif

const fold_kernels_t *best_kernels() {
#ifdef KV_AVX2_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return &AVX2;
    }
#endif
    return &PORTABLE;
}

// Chosen once, at start-up; never changed after.
const fold_kernels_t *const BEST = best_kernels();

template <typename Load>
bool valid_extent(const unsigned char *p, int32_t n, int32_t *left, int32_t *right, Load load) {
    int32_t first = 0;
    while (first < n && load(p + 4 * first) >= INT_MAP_INVALID) {
        ++first;
    }
    if (first == n) {
        return false;
    }
    if (first < *left) {
        *left = first;
    }
    // Only a column right of both the first valid one and the extent so far
    // can move the right edge.
    const int32_t stop = first > *right ? first : *right;
    for (int32_t c = n - 1; c > stop; --c) {
        if (load(p + 4 * c) < INT_MAP_INVALID) {
            *right = c;
            return true;
        }
    }
    if (first > *right) {
        *right = first;
    }
    return true;
}

} // namespace

const fold_kernels_t *fold_best_kernels() {
    return BEST;
}

const fold_kernels_t *fold_portable_kernels() {
    return &PORTABLE;
}

const char *fold_kernel_name(const fold_kernels_t *kernels) {
    return kernels->name;
}

bool fold_row(const fold_kernels_t *kernels, const unsigned char *raw, double *sum, std::size_t n,
              const fold_params_t &params) {
    return kernels->fold[params.scaled][params.first](raw, sum, n, params.factor);
}

void fold_invalidate(double *sum, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sum[i] = INVALID_MARK;
    }
}

bool row_valid_extent(const unsigned char *raw, int32_t n, int32_t *left, int32_t *right) {
    return valid_extent(raw, n, left, right, load_be32);
}

void round_row(const fold_kernels_t *kernels, const double *sum, unsigned char *out,
               std::size_t n) {
    kernels->round(sum, out, n);
}

bool result_valid_extent(const unsigned char *counts, int32_t n, int32_t *left, int32_t *right) {
    return valid_extent(counts, n, left, right, load_host32);
}

void store_be_counts(const fold_kernels_t *kernels, const unsigned char *counts, unsigned char *out,
                     std::size_t n) {
    kernels->store_be(counts, out, n);
}
