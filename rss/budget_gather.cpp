// The budget's per-pixel work: gathering members' rows against the largest
// square so far, noting the result's sums over V, and counting where each
// input dominates. Sums go through four lanes (pixel i into lane i % 4),
// added up in a fixed order, so that the portable and the AVX2 gathering
// agree to the bit.
#include "rss/budget_gather.h"

#include "maps/round.h"

#include <algorithm>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define KV_AVX2_GATHER 1
#include <immintrin.h>
#endif

namespace {

// A sum's root rounds to a count exactly when the sum is at most the largest
// count's square (exact in a double: it is below 2^53).
constexpr double LARGEST_SQUARE = MAP_ROUND_MAX * MAP_ROUND_MAX;

int32_t load_be32(const unsigned char *p) {
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                                p[3]);
}

// Sums, maxima and counts in four lanes: pixel i of a row goes to lane i % 4,
// so that the additions overlap, and the portable and the AVX2 gathering add
// up alike.
struct lanes_t {
    double sum[4] = {};
    double top[4] = {};
    int64_t valid[4] = {};

    // Into `s`, the lanes in a fixed order.
    void add_to(budget_sums_t *s) const {
        s->squares += (sum[0] + sum[1]) + (sum[2] + sum[3]);
        s->largest = std::max({s->largest, top[0], top[1], top[2], top[3]});
        s->valid += valid[0] + valid[1] + valid[2] + valid[3];
    }
};

// One pixel of a member's row: a valid count, and its square when the pixel
// is in V (`best` is not NaN), weighed against the largest square so far
// there (the earlier input keeps a tie). Without branches on the data.
inline void gather_pixel(const unsigned char *raw, const fold_params_t &fold, int32_t input,
                         double *best, int32_t *best_input, lanes_t *l, int k) {
    const int32_t c = load_be32(raw);
    l->valid[k] += c < INT_MAP_INVALID;
    const double y = fold.scaled ? c * fold.factor : static_cast<double>(c);
    const double square = y * y;
    const bool in_v = *best >= -1.0; // NaN outside V
    const double s = in_v ? square : 0.0;
    l->sum[k] += s;
    l->top[k] = std::max(l->top[k], s);
    const bool wins = in_v && square > *best;
    *best = wins ? square : *best;
    *best_input = wins ? input : *best_input;
}

void gather_portable(const unsigned char *raw, int32_t n, const fold_params_t &fold, int32_t input,
                     double *best, int32_t *best_input, lanes_t *l) {
    for (int32_t i = 0; i < n; ++i) {
        gather_pixel(raw + 4 * i, fold, input, best + i, best_input + i, l, i & 3);
    }
}

#ifdef KV_AVX2_GATHER
// Eight pixels a step, lane for lane as gather_portable: pixels i and i + 4
// go to lane i % 4 in that order.
template <bool SCALED>
__attribute__((target("avx2"))) void gather_avx2(const unsigned char *raw, int32_t n,
                                                 const fold_params_t &fold, int32_t input,
                                                 double *best, int32_t *best_input, lanes_t *l) {
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3,
                                          2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m256i invalid = _mm256_set1_epi32(INT_MAP_INVALID);
    const __m256i in = _mm256_set1_epi32(input);
    const __m256d factor = _mm256_set1_pd(fold.factor);
    const __m256d minus_one = _mm256_set1_pd(-1.0);
    __m256d sum = _mm256_loadu_pd(l->sum);
    __m256d top = _mm256_loadu_pd(l->top);
    __m256i valid = _mm256_setzero_si256(); // at most 32767 a lane in one row
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i c = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(raw + 4 * i)), swap);
        valid = _mm256_sub_epi32(valid, _mm256_cmpgt_epi32(invalid, c));
        __m256d y0 = _mm256_cvtepi32_pd(_mm256_castsi256_si128(c));
        __m256d y1 = _mm256_cvtepi32_pd(_mm256_extracti128_si256(c, 1));
        if constexpr (SCALED) {
            y0 = _mm256_mul_pd(y0, factor);
            y1 = _mm256_mul_pd(y1, factor);
        }
        const __m256d square0 = _mm256_mul_pd(y0, y0), square1 = _mm256_mul_pd(y1, y1);
        const __m256d b0 = _mm256_loadu_pd(best + i), b1 = _mm256_loadu_pd(best + i + 4);
        const __m256d s0 = _mm256_and_pd(_mm256_cmp_pd(b0, minus_one, _CMP_GE_OQ), square0);
        const __m256d s1 = _mm256_and_pd(_mm256_cmp_pd(b1, minus_one, _CMP_GE_OQ), square1);
        sum = _mm256_add_pd(_mm256_add_pd(sum, s0), s1);
        top = _mm256_max_pd(_mm256_max_pd(top, s0), s1);
        // Never where b is NaN: outside V.
        const __m256d wins0 = _mm256_cmp_pd(square0, b0, _CMP_GT_OQ);
        const __m256d wins1 = _mm256_cmp_pd(square1, b1, _CMP_GT_OQ);
        _mm256_storeu_pd(best + i, _mm256_blendv_pd(b0, square0, wins0));
        _mm256_storeu_pd(best + i + 4, _mm256_blendv_pd(b1, square1, wins1));
        // The eight masks' low halves, in pixel order.
        const __m256 halves =
            _mm256_shuffle_ps(_mm256_castpd_ps(wins0), _mm256_castpd_ps(wins1), 0x88);
        const __m256i wins =
            _mm256_castpd_si256(_mm256_permute4x64_pd(_mm256_castps_pd(halves), 0xD8));
        auto *at = reinterpret_cast<__m256i *>(best_input + i);
        _mm256_storeu_si256(at, _mm256_blendv_epi8(_mm256_loadu_si256(at), in, wins));
    }
    _mm256_storeu_pd(l->sum, sum);
    _mm256_storeu_pd(l->top, top);
    alignas(32) int32_t counts[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(counts), valid);
    for (int k = 0; k < 4; ++k) {
        l->valid[k] += counts[k] + counts[k + 4];
    }
    for (; i < n; ++i) {
        gather_pixel(raw + 4 * i, fold, input, best + i, best_input + i, l, i & 3);
    }
}

void gather_avx2_any(const unsigned char *raw, int32_t n, const fold_params_t &fold, int32_t input,
                     double *best, int32_t *best_input, lanes_t *l) {
    (fold.scaled ? gather_avx2<true> : gather_avx2<false>)(raw, n, fold, input, best, best_input,
                                                           l);
}
#endif

using gather_fn = void (*)(const unsigned char *, int32_t, const fold_params_t &, int32_t, double *,
                           int32_t *, lanes_t *);

// The gathering that goes with the plan's kernels.
gather_fn gather_of(const rss_plan_t &p) {
#ifdef KV_AVX2_GATHER
    if (p.kernels != fold_portable_kernels()) {
        return gather_avx2_any; // the plan's kernels are AVX2 ones
    }
#endif
    (void)p;
    return gather_portable;
}

// The result's sum at pixel i (final, before the root) into lane k when the
// pixel is in V (its root rounds to a count; NaN outside some input's data).
inline bool note_sum(double sum, lanes_t *l, int k) {
    const bool in_v = sum <= LARGEST_SQUARE;
    const double v = in_v ? sum : 0.0;
    l->sum[k] += v;
    l->top[k] = std::max(l->top[k], v);
    l->valid[k] += in_v;
    return in_v;
}

#ifdef KV_AVX2_GATHER
// Four pixels a step, lane for lane as note_sum; yields the pixels noted.
__attribute__((target("avx2"))) std::size_t note_sums_avx2(const double *sums, std::size_t n,
                                                           double *best, lanes_t *l) {
    const __m256d largest = _mm256_set1_pd(LARGEST_SQUARE);
    const __m256d in_v_mark = _mm256_set1_pd(-1.0);
    const __m256d not_in_v = _mm256_set1_pd(NOT_IN_V);
    __m256d sum = _mm256_loadu_pd(l->sum);
    __m256d top = _mm256_loadu_pd(l->top);
    __m256i valid = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(l->valid));
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(sums + i);
        const __m256d in_v = _mm256_cmp_pd(x, largest, _CMP_LE_OQ);
        const __m256d v = _mm256_and_pd(in_v, x);
        sum = _mm256_add_pd(sum, v);
        top = _mm256_max_pd(top, v);
        valid = _mm256_sub_epi64(valid, _mm256_castpd_si256(in_v));
        if (best != nullptr) {
            _mm256_storeu_pd(best + i, _mm256_blendv_pd(not_in_v, in_v_mark, in_v));
        }
    }
    _mm256_storeu_pd(l->sum, sum);
    _mm256_storeu_pd(l->top, top);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(l->valid), valid);
    return i;
}
#endif

} // namespace

// Gathers `rows` rows of a member's counts (big-endian, its window's width)
// from camera row `row` on, against `best` (rows of the frame's width from
// camera row best_top), into `s`.
void gather_rows(const rss_plan_t &p, const budget_work_t &w, const member_t &m,
                 const unsigned char *counts, int32_t row, int32_t rows, int32_t best_top,
                 budget_sums_t *s) {
    const window_t &window = m.block.window;
    const gather_fn gather = gather_of(p);
    lanes_t l;
    for (int32_t r = 0; r < rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(row + r - best_top) * p.width + window.x;
        gather(counts + 4 * static_cast<std::size_t>(r) * window.width, window.width, m.fold,
               m.number - 1, w.best + at, w.best_input + at, &l);
    }
    l.add_to(s);
}

// The result's sums of n pixels over V into `s`; with `best`, marks each
// pixel in V (-1) or not (NaN) there.
void note_sums(const rss_plan_t &p, const double *sums, std::size_t n, double *best,
               budget_sums_t *s) {
    lanes_t l;
    std::size_t i = 0;
#ifdef KV_AVX2_GATHER
    if (p.kernels != fold_portable_kernels()) {
        i = note_sums_avx2(sums, n, best, &l);
    }
#endif
    (void)p;
    for (; i < n; ++i) {
        const bool in_v = note_sum(sums[i], &l, static_cast<int>(i & 3));
        if (best != nullptr) {
            best[i] = in_v ? -1.0 : NOT_IN_V;
        }
    }
    l.add_to(s);
    s->dominant = s->valid; // the result's: every pixel of V
}

// Counts where each input dominates the n pixels gathered (sums, one per
// input), and marks them on the dominance map from pixel `at` on. The counts
// go through four tallies (pixel i into tally i % 4) when the inputs are few,
// so that a run of pixels of one input does not wait on one counter.
void count_dominant(const budget_work_t &w, std::size_t n, budget_sums_t *sums, int32_t inputs,
                    int32_t *map, std::size_t at) {
    constexpr int32_t FEW = RSS_BATCH_MAX;
    if (inputs <= FEW) {
        int64_t tally[4][FEW + 1] = {}; // [FEW]: outside V
        const double *best = w.best;
        const int32_t *best_input = w.best_input;
        for (std::size_t i = 0; i < n; ++i) {
            // Without a branch on V (holes in it are scattered).
            const int32_t in_v = -static_cast<int32_t>(best[i] >= -1.0);
            ++tally[i & 3][(best_input[i] & in_v) | (FEW & ~in_v)];
        }
        for (int32_t i = 0; i < inputs; ++i) {
            sums[i].dominant += tally[0][i] + tally[1][i] + tally[2][i] + tally[3][i];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (w.best[i] >= -1.0) {
                ++sums[w.best_input[i]].dominant;
            }
        }
    }
    for (std::size_t i = 0; map != nullptr && i < n; ++i) {
        map[at + i] = w.best[i] >= -1.0 ? w.best_input[i] : INT_MAP_INVALID;
    }
}
