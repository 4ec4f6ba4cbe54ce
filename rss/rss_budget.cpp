// The uncertainty budget, gathered beside the run.
#include "rss/rss_budget.h"

#include "maps/round.h"
#include "support/support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double NOT_IN_V = std::numeric_limits<double>::quiet_NaN();

bool in_v(double sum) {
    return sum < DBL_MAP_INVALID && (sum > 0.0 ? std::sqrt(sum) : 0.0) <= MAP_ROUND_MAX;
}

int32_t load_be32(const unsigned char *p) {
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                                p[3]);
}

// Gathers `rows` rows of a member's counts (big-endian, its window's width)
// from camera row `row` on: its valid pixels, and its squares where `best`
// (rows of the frame's width from camera row best_top) says the pixel is in V.
void gather_rows(budget_work_t *w, const member_t &m, const unsigned char *counts, int32_t row,
                 int32_t rows, int32_t frame_width, int32_t best_top) {
    const window_t &window = m.block.window;
    budget_input_t &in = w->inputs[m.number - 1];
    for (int32_t r = 0; r < rows; ++r) {
        const unsigned char *raw = counts + 4 * static_cast<std::size_t>(r) * window.width;
        const std::size_t at =
            static_cast<std::size_t>(row + r - best_top) * frame_width + window.x;
        for (int32_t c = 0; c < window.width; ++c) {
            const int32_t count = load_be32(raw + 4 * c);
            if (count >= INT_MAP_INVALID) {
                continue;
            }
            ++in.valid;
            double &best = w->best[at + c];
            if (std::isnan(best)) {
                continue; // not in V
            }
            const double y = m.fold.scaled ? count * m.fold.factor : count;
            const double square = y * y;
            in.squares += square;
            in.largest = std::max(in.largest, square);
            if (square > best) { // the earlier input wins a tie
                best = square;
                w->best_input[at + c] = m.number - 1;
            }
        }
    }
}

// In batches, the rows of tile state that the second half of the sum holds
// (the counts fill the first half): 8 + 4 bytes per pixel.
int32_t tail_rows(const rss_plan_t &p) {
    const std::size_t pixels = static_cast<std::size_t>(p.width) * p.height;
    const std::size_t free_bytes = 8 * (pixels - (pixels + 1) / 2);
    return static_cast<int32_t>(std::min<std::size_t>(p.height, free_bytes / (12 * p.width)));
}

// Counts where each input dominates the n pixels gathered, and marks them
// on the dominance map from pixel `at` of the frame on.
void count_dominant(budget_work_t *w, std::size_t n, std::size_t at) {
    for (std::size_t i = 0; i < n; ++i) {
        const bool v = !std::isnan(w->best[i]);
        if (v) {
            ++w->inputs[w->best_input[i]].dominant;
        }
        if (w->map != nullptr) {
            w->map[at + i] = v ? w->best_input[i] : INT_MAP_INVALID;
        }
    }
}

} // namespace

int32_t budget_alloc(rss_budget_state_t *b, int32_t inputs, const rss_plan_t &p, bool with_map) {
    const std::size_t band = static_cast<std::size_t>(p.band_rows) * p.width;
    if (with_map) {
        b->map.window = {0, 0, static_cast<int16_t>(p.width), static_cast<int16_t>(p.height)};
        if (const int32_t code = int_map_alloc(&b->map); code != 0) {
            return code;
        }
    }
    for (budget_work_t &w : b->work) {
        w.inputs = static_cast<budget_input_t *>(
            u_malloc_fn(sizeof(budget_input_t) * static_cast<std::size_t>(inputs)));
        if (w.inputs == nullptr) {
            return ERR_NO_MEM;
        }
        std::memset(w.inputs, 0, sizeof(budget_input_t) * static_cast<std::size_t>(inputs));
        w.map = b->map.matrix;
        // In batches the tiles' state lives in the sum's second half, unless
        // that cannot hold a row (a frame of a few rows): the frame's own.
        const std::size_t pixels = p.mode == MODE_SINGLE_PASS ? band
                                   : tail_rows(p) == 0
                                       ? static_cast<std::size_t>(p.width) * p.height
                                       : 0;
        if (pixels > 0) {
            w.best = static_cast<double *>(u_malloc_fn(sizeof(double) * pixels));
            w.best_input = static_cast<int32_t *>(u_malloc_fn(sizeof(int32_t) * pixels));
            if (w.best == nullptr || w.best_input == nullptr) {
                return ERR_NO_MEM;
            }
        }
    }
    return 0;
}

void budget_free(rss_budget_state_t *b) {
    int_map_free(&b->map);
    for (budget_work_t &w : b->work) {
        u_free_fn(w.inputs);
        u_free_fn(w.best);
        u_free_fn(w.best_input);
        w = budget_work_t{};
    }
}

void budget_note_sums(budget_work_t *w, const double *sums, std::size_t n, double *best) {
    for (std::size_t i = 0; i < n; ++i) {
        const bool v = in_v(sums[i]);
        if (v) {
            w->squares += sums[i];
            w->largest = std::max(w->largest, sums[i]);
            ++w->valid;
        }
        if (best != nullptr) {
            best[i] = v ? -1.0 : NOT_IN_V;
        }
    }
}

void budget_band(const rss_plan_t &p, const rss_batch_t &b, rss_worker_t *w, budget_work_t *bw,
                 int32_t band) {
    const row_span_t span = band_span(p, band);
    const std::size_t n = static_cast<std::size_t>(span.rows) * p.width;
    budget_note_sums(bw, w->sum, n, bw->best);
    for (int32_t i = 0; i < b.count; ++i) {
        const member_t &m = b.members[i];
        const member_rows_t part = member_rows(m, span);
        if (part.rows > 0 &&
            df_read_phase_at(m.stream, &m.block, int64_t{part.first_row} * m.block.window.width,
                             w->piece,
                             static_cast<std::size_t>(part.rows) * m.block.window.width) == 0) {
            gather_rows(bw, m, w->piece, m.block.window.y + part.first_row, part.rows, p.width,
                        span.top);
        }
    }
    count_dominant(bw, n, static_cast<std::size_t>(span.top) * p.width);
}

int32_t budget_reread(const rss_plan_t &p, rss_inputs_t *in, rss_batch_t *b, rss_frame_t *frame,
                      rss_worker_t *w, budget_work_t *bw) {
    const std::size_t pixels = static_cast<std::size_t>(p.width) * p.height;
    const auto *counts = reinterpret_cast<const int32_t *>(w->counts);
    int32_t *own_inputs = bw->best_input; // a frame of a few rows has its own state
    double *state =
        own_inputs != nullptr ? bw->best : reinterpret_cast<double *>(w->sum) + (pixels + 1) / 2;
    const int32_t tile_rows = own_inputs != nullptr ? p.height : tail_rows(p);
    for (int32_t top = 0; top < p.height; top += tile_rows) {
        const int32_t rows = std::min(tile_rows, p.height - top);
        const std::size_t n = static_cast<std::size_t>(rows) * p.width;
        bw->best = state;
        bw->best_input =
            own_inputs != nullptr ? own_inputs : reinterpret_cast<int32_t *>(state + n);
        for (std::size_t i = 0; i < n; ++i) {
            bw->best[i] = counts[top * static_cast<std::size_t>(p.width) + i] < INT_MAP_INVALID
                              ? -1.0
                              : NOT_IN_V;
        }
        in->next = 0;
        while (in->next < in->count) {
            inputs_open_batch(in, b, frame);
            for (int32_t i = 0; i < b->count; ++i) {
                const member_t &m = b->members[i];
                if (m.role != ROLE_FOLD) { // the file changed since it was folded
                    inputs_close_batch(in, b);
                    return m.read_code != 0 ? m.read_code : ERR_CORRUPT_DATA_FILE;
                }
                const window_t &window = m.block.window;
                const int32_t per_piece = static_cast<int32_t>(
                    RSS_PIECE_BYTES / (4 * static_cast<std::size_t>(window.width)));
                const member_rows_t part = member_rows(m, row_span_t{top, rows});
                for (int32_t r = 0; r < part.rows; r += per_piece) {
                    const int32_t k = std::min(per_piece, part.rows - r);
                    const int32_t first = part.first_row + r;
                    if (df_read_phase_at(m.stream, &m.block, int64_t{first} * window.width,
                                         w->piece,
                                         static_cast<std::size_t>(k) * window.width) != 0) {
                        inputs_close_batch(in, b);
                        return ERR_CORRUPT_DATA_FILE;
                    }
                    gather_rows(bw, m, w->piece, window.y + first, k, p.width, top);
                }
            }
            inputs_close_batch(in, b);
        }
        count_dominant(bw, n, static_cast<std::size_t>(top) * p.width);
    }
    if (own_inputs == nullptr) { // the sum's, not to be released
        bw->best = nullptr;
        bw->best_input = nullptr;
    }
    return 0;
}

void budget_fill(rss_budget_state_t *state, const rss_request_t &q, double nm_per_count,
                 const window_t &window) {
    const rss_budget_state_t &b = *state;
    rss_budget_t &out = *q.budget;
    double squares = 0.0, largest = 0.0, total = 0.0;
    int64_t valid = 0;
    for (const budget_work_t &w : b.work) {
        squares += w.squares;
        largest = std::max(largest, w.largest);
        valid += w.valid;
    }
    for (int32_t i = 0; i < q.count; ++i) {
        total += b.work[0].inputs[i].squares + b.work[1].inputs[i].squares;
    }
    const double nm = std::fabs(nm_per_count);
    const double in_v = valid > 0 ? static_cast<double>(valid) : 1.0;
    for (int32_t i = 0; i < q.count; ++i) {
        const budget_input_t &a = b.work[0].inputs[i], &c = b.work[1].inputs[i];
        const double s = a.squares + c.squares;
        out.rows[i] = rss_budget_row_t{q.names[i],
                                       q.weights != nullptr ? q.weights[i] : 1.0,
                                       std::sqrt(s / in_v) * nm,
                                       std::sqrt(std::max(a.largest, c.largest)) * nm,
                                       total > 0.0 ? s / total : 0.0,
                                       static_cast<double>(a.dominant + c.dominant) / in_v,
                                       a.valid + c.valid};
    }
    out.rms_nm = std::sqrt(squares / in_v) * nm;
    out.max_nm = std::sqrt(largest) * nm;
    out.valid = valid;
    if (out.dominance != nullptr && state->map.matrix != nullptr) {
        // The window's rows move to the front, each onto rows already moved.
        int_map_t &map = state->map;
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
