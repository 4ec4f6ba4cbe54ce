// The uncertainty budget, gathered beside the run. Its sums are added up in
// one fixed order (lanes, then bands or tiles in order), whatever the
// workers did, so that a budget's numbers never depend on the threads.
#include "rss/rss_budget.h"

#include "maps/round.h"
#include "support/support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define KV_AVX2_GATHER 1
#include <immintrin.h>
#endif

namespace {

constexpr double NOT_IN_V = std::numeric_limits<double>::quiet_NaN();

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
// Four pixels a step, lane for lane as gather_portable.
__attribute__((target("avx2"))) void gather_avx2(const unsigned char *raw, int32_t n,
                                                 const fold_params_t &fold, int32_t input,
                                                 double *best, int32_t *best_input, lanes_t *l) {
    const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m128i invalid = _mm_set1_epi32(INT_MAP_INVALID);
    const __m128i in = _mm_set1_epi32(input);
    const __m256i high_halves = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
    const __m256d factor = _mm256_set1_pd(fold.factor);
    const __m256d minus_one = _mm256_set1_pd(-1.0);
    __m256d sum = _mm256_loadu_pd(l->sum);
    __m256d top = _mm256_loadu_pd(l->top);
    __m128i valid = _mm_setzero_si128(); // at most 32767 a lane in one row
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i c =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(raw + 4 * i)), swap);
        valid = _mm_sub_epi32(valid, _mm_cmplt_epi32(c, invalid));
        __m256d y = _mm256_cvtepi32_pd(c);
        if (fold.scaled) {
            y = _mm256_mul_pd(y, factor);
        }
        const __m256d square = _mm256_mul_pd(y, y);
        const __m256d b = _mm256_loadu_pd(best + i);
        const __m256d in_v = _mm256_cmp_pd(b, minus_one, _CMP_GE_OQ);
        const __m256d s = _mm256_and_pd(in_v, square);
        sum = _mm256_add_pd(sum, s);
        top = _mm256_max_pd(top, s);
        const __m256d wins = _mm256_and_pd(in_v, _mm256_cmp_pd(square, b, _CMP_GT_OQ));
        _mm256_storeu_pd(best + i, _mm256_blendv_pd(b, square, wins));
        const __m128i wins32 = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(wins), high_halves));
        auto *at = reinterpret_cast<__m128i *>(best_input + i);
        _mm_storeu_si128(at, _mm_blendv_epi8(_mm_loadu_si128(at), in, wins32));
    }
    _mm256_storeu_pd(l->sum, sum);
    _mm256_storeu_pd(l->top, top);
    alignas(16) int32_t counts[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(counts), valid);
    for (int k = 0; k < 4; ++k) {
        l->valid[k] += counts[k];
    }
    for (; i < n; ++i) {
        gather_pixel(raw + 4 * i, fold, input, best + i, best_input + i, l, i & 3);
    }
}
#endif

using gather_fn = void (*)(const unsigned char *, int32_t, const fold_params_t &, int32_t, double *,
                           int32_t *, lanes_t *);

// The gathering that goes with the plan's kernels.
gather_fn gather_of(const rss_plan_t &p) {
#ifdef KV_AVX2_GATHER
    if (p.kernels != fold_portable_kernels()) {
        return gather_avx2; // the plan's kernels are AVX2 ones
    }
#endif
    (void)p;
    return gather_portable;
}

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

// The result's sums of n pixels over V into `s`; with `best`, marks each
// pixel in V (-1) or not (NaN) there.
void note_sums(const double *sums, std::size_t n, double *best, budget_sums_t *s) {
    lanes_t l;
    std::size_t i = 0;
    if (best == nullptr) {
        for (; i + 4 <= n; i += 4) {
            for (int k = 0; k < 4; ++k) {
                note_sum(sums[i + k], &l, k);
            }
        }
    } else {
        for (; i + 4 <= n; i += 4) {
            for (int k = 0; k < 4; ++k) {
                best[i + k] = note_sum(sums[i + k], &l, k) ? -1.0 : NOT_IN_V;
            }
        }
    }
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
    int64_t tally[4][FEW] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const bool in_v = w.best[i] >= -1.0;
        const int32_t input = w.best_input[i];
        if (in_v && input < FEW) {
            ++tally[i & 3][input];
        } else if (in_v) {
            ++sums[input].dominant;
        }
        if (map != nullptr) {
            map[at + i] = in_v ? input : INT_MAP_INVALID;
        }
    }
    for (int32_t i = 0; i < std::min(inputs, FEW); ++i) {
        sums[i].dominant += tally[0][i] + tally[1][i] + tally[2][i] + tally[3][i];
    }
}

void add(budget_sums_t *to, const budget_sums_t &s) {
    to->squares += s.squares;
    to->largest = std::max(to->largest, s.largest);
    to->dominant += s.dominant;
    to->valid += s.valid;
}

// In batches, the rows of tile state that the second half of the sum holds
// (the counts fill the first half): 8 + 4 bytes per pixel.
int32_t tail_rows(const rss_plan_t &p) {
    const std::size_t pixels = static_cast<std::size_t>(p.width) * p.height;
    const std::size_t free_bytes = 8 * (pixels - (pixels + 1) / 2);
    return static_cast<int32_t>(std::min<std::size_t>(p.height, free_bytes / (12 * p.width)));
}

template <typename T> T *take(std::size_t n) {
    return static_cast<T *>(u_malloc_fn(sizeof(T) * n));
}

} // namespace

int32_t budget_alloc(rss_budget_state_t *b, int32_t inputs, const rss_plan_t &p, bool with_map) {
    b->count = inputs;
    const std::size_t n = static_cast<std::size_t>(inputs);
    const std::size_t partials = p.mode == MODE_SINGLE_PASS ? (n + 1) * p.slots : 0;
    b->inputs = take<budget_sums_t>(n);
    b->partials = partials > 0 ? take<budget_sums_t>(partials) : nullptr;
    if (b->inputs == nullptr || (partials > 0 && b->partials == nullptr)) {
        return ERR_NO_MEM;
    }
    std::memset(b->inputs, 0, sizeof(budget_sums_t) * n);
    if (with_map) {
        b->map.window = {0, 0, static_cast<int16_t>(p.width), static_cast<int16_t>(p.height)};
        if (const int32_t code = int_map_alloc(&b->map); code != 0) {
            return code;
        }
    }
    // A band's state for each worker; in batches the tiles' state lives in
    // the sum's second half, unless that cannot hold a row (a frame of a few
    // rows), and the run's thread alone gathers.
    const std::size_t pixels =
        static_cast<std::size_t>(p.width) * (p.mode == MODE_SINGLE_PASS ? p.band_rows
                                             : tail_rows(p) == 0        ? p.height
                                                                        : 0);
    for (int32_t worker = 0; worker < (p.mode == MODE_SINGLE_PASS ? RSS_WORKERS : 1); ++worker) {
        budget_work_t &w = b->work[worker];
        w.best = pixels > 0 ? take<double>(pixels) : nullptr;
        w.best_input = pixels > 0 ? take<int32_t>(pixels) : nullptr;
        if (pixels > 0 && (w.best == nullptr || w.best_input == nullptr)) {
            return ERR_NO_MEM;
        }
    }
    return 0;
}

void budget_free(rss_budget_state_t *b) {
    u_free_fn(b->inputs);
    u_free_fn(b->partials);
    for (budget_work_t &w : b->work) {
        u_free_fn(w.best);
        u_free_fn(w.best_input);
    }
    int_map_free(&b->map);
    *b = rss_budget_state_t{};
}

void budget_band(rss_budget_state_t *b, const rss_plan_t &p, const rss_batch_t &batch,
                 rss_worker_t *w, int32_t worker, int32_t band) {
    const budget_work_t &bw = b->work[worker];
    budget_sums_t *partial =
        b->partials + static_cast<std::size_t>(band % p.slots) * (b->count + 1);
    std::memset(partial, 0, sizeof(budget_sums_t) * (b->count + 1));
    const row_span_t span = band_span(p, band);
    const std::size_t n = static_cast<std::size_t>(span.rows) * p.width;
    note_sums(w->sum, n, bw.best, &partial[b->count]);
    for (int32_t i = 0; i < batch.count; ++i) {
        const member_t &m = batch.members[i];
        const member_rows_t part = member_rows(m, span);
        const std::size_t values = static_cast<std::size_t>(part.rows) * m.block.window.width;
        if (part.rows > 0 &&
            df_read_phase_at(m.stream, &m.block, int64_t{part.first_row} * m.block.window.width,
                             w->piece, values) == 0) {
            gather_rows(p, bw, m, w->piece, m.block.window.y + part.first_row, part.rows, span.top,
                        &partial[m.number - 1]);
        }
    }
    count_dominant(bw, n, partial, b->count, b->map.matrix,
                   static_cast<std::size_t>(span.top) * p.width);
}

void budget_take(rss_budget_state_t *b, const rss_plan_t &p, const rss_worker_t &w, int32_t band) {
    if (p.mode == MODE_BATCHES) {
        const row_span_t span = band_span(p, band);
        note_sums(w.sum + static_cast<std::size_t>(span.top) * p.width,
                  static_cast<std::size_t>(span.rows) * p.width, nullptr, &b->result);
        return;
    }
    const budget_sums_t *partial =
        b->partials + static_cast<std::size_t>(band % p.slots) * (b->count + 1);
    for (int32_t i = 0; i < b->count; ++i) {
        add(&b->inputs[i], partial[i]);
    }
    add(&b->result, partial[b->count]);
}

namespace {

// One batch's reading again of one tile: the tile's upper rows fall to the
// run's thread, its lower rows to the helper, each into sums of its own,
// added up afterwards in that order whoever finished first.
struct reread_t {
    const rss_plan_t *plan;
    const rss_batch_t *batch;
    budget_work_t tile;
    row_span_t span; // the tile's camera rows
    rss_worker_t *workers;
    budget_sums_t sums[RSS_WORKERS][RSS_BATCH_MAX];
    int32_t code[RSS_WORKERS];
};

void reread_rows(reread_t &t, int32_t worker) {
    const int32_t upper = (t.span.rows + 1) / 2;
    const row_span_t span = worker == RSS_MAIN
                                ? row_span_t{t.span.top, upper}
                                : row_span_t{t.span.top + upper, t.span.rows - upper};
    unsigned char *piece = t.workers[worker].piece;
    for (int32_t i = 0; i < t.batch->count; ++i) {
        const member_t &m = t.batch->members[i];
        const window_t &window = m.block.window;
        const int32_t per_piece =
            static_cast<int32_t>(RSS_PIECE_BYTES / (4 * static_cast<std::size_t>(window.width)));
        const member_rows_t part = member_rows(m, span);
        for (int32_t r = 0; r < part.rows; r += per_piece) {
            const int32_t k = std::min(per_piece, part.rows - r);
            const int32_t first = part.first_row + r;
            if (df_read_phase_at(m.stream, &m.block, int64_t{first} * window.width, piece,
                                 static_cast<std::size_t>(k) * window.width) != 0) {
                t.code[worker] = ERR_CORRUPT_DATA_FILE;
                return;
            }
            gather_rows(*t.plan, t.tile, m, piece, window.y + first, k, t.span.top,
                        &t.sums[worker][i]);
        }
    }
}

void reread_helper(void *context) {
    reread_rows(*static_cast<reread_t *>(context), RSS_HELPER);
}

} // namespace

int32_t budget_reread(rss_budget_state_t *b, const rss_plan_t &p, rss_inputs_t *in,
                      rss_batch_t *batch, rss_frame_t *frame, rss_worker_t *workers,
                      band_queue_t *q) {
    const std::size_t pixels = static_cast<std::size_t>(p.width) * p.height;
    const auto *counts = reinterpret_cast<const int32_t *>(workers[RSS_MAIN].counts);
    reread_t t{};
    t.plan = &p;
    t.batch = batch;
    t.workers = workers;
    t.tile = b->work[RSS_MAIN]; // its own state, for a frame of a few rows
    const bool own = t.tile.best != nullptr;
    double *tail = reinterpret_cast<double *>(workers[RSS_MAIN].sum) + (pixels + 1) / 2;
    const int32_t tile_rows = own ? p.height : tail_rows(p);
    for (int32_t top = 0; top < p.height; top += tile_rows) {
        t.span = row_span_t{top, std::min(tile_rows, p.height - top)};
        const std::size_t n = static_cast<std::size_t>(t.span.rows) * p.width;
        if (!own) {
            t.tile = budget_work_t{tail, reinterpret_cast<int32_t *>(tail + n)};
        }
        for (std::size_t i = 0; i < n; ++i) {
            t.tile.best[i] = counts[top * static_cast<std::size_t>(p.width) + i] < INT_MAP_INVALID
                                 ? -1.0
                                 : NOT_IN_V;
        }
        in->next = 0;
        while (in->next < in->count) {
            inputs_open_batch(in, batch, frame, nullptr, 0);
            for (int32_t i = 0; i < batch->count; ++i) {
                const member_t &m = batch->members[i];
                if (m.role != ROLE_FOLD) { // the file changed since it was folded
                    inputs_close_batch(in, batch);
                    return m.read_code != 0 ? m.read_code : ERR_CORRUPT_DATA_FILE;
                }
            }
            std::memset(t.sums, 0, sizeof t.sums);
            t.code[RSS_MAIN] = t.code[RSS_HELPER] = 0;
            if (q != nullptr) {
                bq_post(q, reread_helper, &t);
            }
            reread_rows(t, RSS_MAIN);
            if (q != nullptr) {
                bq_wait_helper(q);
            } else {
                reread_rows(t, RSS_HELPER);
            }
            inputs_close_batch(in, batch);
            if (t.code[RSS_MAIN] != 0 || t.code[RSS_HELPER] != 0) {
                return ERR_CORRUPT_DATA_FILE;
            }
            for (int32_t i = 0; i < batch->count; ++i) {
                budget_sums_t &s = b->inputs[batch->members[i].number - 1];
                add(&s, t.sums[RSS_MAIN][i]);
                add(&s, t.sums[RSS_HELPER][i]);
            }
        }
        count_dominant(t.tile, n, b->inputs, b->count, b->map.matrix,
                       static_cast<std::size_t>(top) * p.width);
    }
    return 0;
}

void budget_fill(rss_budget_state_t *b, const rss_request_t &q, double nm_per_count,
                 const window_t &window) {
    rss_budget_t &out = *q.budget;
    double total = 0.0;
    for (int32_t i = 0; i < q.count; ++i) {
        total += b->inputs[i].squares;
    }
    const double nm = std::fabs(nm_per_count);
    const int64_t valid = b->result.valid;
    const double in_v = valid > 0 ? static_cast<double>(valid) : 1.0;
    for (int32_t i = 0; i < q.count; ++i) {
        const budget_sums_t &s = b->inputs[i];
        out.rows[i] = rss_budget_row_t{q.names[i],
                                       q.weights != nullptr ? q.weights[i] : 1.0,
                                       std::sqrt(s.squares / in_v) * nm,
                                       std::sqrt(s.largest) * nm,
                                       total > 0.0 ? s.squares / total : 0.0,
                                       static_cast<double>(s.dominant) / in_v,
                                       s.valid};
    }
    out.rms_nm = std::sqrt(b->result.squares / in_v) * nm;
    out.max_nm = std::sqrt(b->result.largest) * nm;
    out.valid = valid;
    if (out.dominance != nullptr && b->map.matrix != nullptr) {
        // The window's rows move to the front, each onto rows already moved.
        int_map_t &map = b->map;
        const std::size_t width = static_cast<std::size_t>(map.window.width);
        for (int32_t r = 0; r < window.height; ++r) {
            std::memmove(map.matrix + r * static_cast<std::size_t>(window.width),
                         map.matrix + (window.y + r) * width + window.x,
                         sizeof(int32_t) * static_cast<std::size_t>(window.width));
        }
        int_map_free(out.dominance);
        *out.dominance = int_map_t{map.size, window, map.matrix};
        map = int_map_t{};
    }
}
