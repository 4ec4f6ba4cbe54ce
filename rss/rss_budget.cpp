// The uncertainty budget, gathered beside the run. Its sums are added up in
// one fixed order (lanes, then bands or tiles in order), whatever the
// workers did, so that a budget's numbers never depend on the threads.
#include "rss/rss_budget.h"

#include "rss/budget_gather.h"
#include "support/support.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

void add(budget_sums_t *to, const budget_sums_t &s) {
    to->squares += s.squares;
    to->largest = std::max(to->largest, s.largest);
    to->dominant += s.dominant;
    to->valid += s.valid;
}

template <typename T> T *take(std::size_t n) {
    return static_cast<T *>(u_malloc_fn(sizeof(T) * n));
}

// A worker's store: at most 3 bytes a camera pixel, and 4 MiB.
std::size_t store_limit(int64_t pixels) {
    return std::min<std::size_t>(std::size_t{4} << 20, 3 * static_cast<std::size_t>(pixels));
}

} // namespace

std::size_t budget_band_sum_bytes(std::size_t tuned, const rss_frame_t &frame,
                                  const rss_batch_t &batch) {
    std::size_t row_bytes = 0; // a window row of every member
    for (int32_t i = 0; i < batch.count; ++i) {
        row_bytes += 4 * static_cast<std::size_t>(batch.members[i].block.window.width);
    }
    const std::size_t rows = store_limit(int64_t{frame.camera_width} * frame.camera_height) /
                             std::max<std::size_t>(row_bytes, 1);
    return rows == 0 ? tuned : std::min(tuned, rows * sizeof(double) * frame.camera_width);
}

int32_t budget_alloc(rss_budget_state_t *b, int32_t inputs, const rss_plan_t &p, bool with_map,
                     rss_batch_t *batch, rss_worker_t *workers) {
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
    // A band's largest squares for each worker; in batches those of the
    // frame (their inputs go behind the result's counts in the sum).
    const std::size_t pixels =
        static_cast<std::size_t>(p.width) * (p.mode == MODE_SINGLE_PASS ? p.band_rows : p.height);
    for (int32_t worker = 0; worker < (p.mode == MODE_SINGLE_PASS ? RSS_WORKERS : 1); ++worker) {
        budget_work_t &w = b->work[worker];
        w.best = take<double>(pixels);
        w.best_input = p.mode == MODE_SINGLE_PASS ? take<int32_t>(pixels) : nullptr;
        if (w.best == nullptr || (p.mode == MODE_SINGLE_PASS && w.best_input == nullptr)) {
            return ERR_NO_MEM;
        }
    }
    if (p.mode == MODE_BATCHES) {
        return 0;
    }
    // The members whose rows of a band fit the store, from the first on.
    const std::size_t limit = store_limit(int64_t{p.width} * p.height);
    std::size_t used = 0;
    for (int32_t i = 0; i < batch->count; ++i) {
        member_t &m = batch->members[i];
        const std::size_t bytes = 4 * static_cast<std::size_t>(p.band_rows) * m.block.window.width;
        if (used + bytes > limit) {
            break;
        }
        m.kept = true;
        m.kept_at = used;
        used += bytes;
    }
    for (int32_t worker = 0; worker < RSS_WORKERS && used > 0; ++worker) {
        b->store[worker] = take<unsigned char>(used);
        if (b->store[worker] == nullptr) {
            return ERR_NO_MEM;
        }
        workers[worker].kept = b->store[worker];
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
    for (unsigned char *store : b->store) {
        u_free_fn(store);
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
    note_sums(p, w->sum, n, bw.best, &partial[b->count]);
    for (int32_t i = 0; i < batch.count; ++i) {
        const member_t &m = batch.members[i];
        const member_rows_t part = member_rows(m, span);
        const std::size_t values = static_cast<std::size_t>(part.rows) * m.block.window.width;
        const unsigned char *data = m.kept ? w->kept + m.kept_at : w->piece;
        if (m.role == ROLE_FOLD && part.rows > 0 &&
            (m.kept ||
             df_read_phase_at(m.stream, &m.block, int64_t{part.first_row} * m.block.window.width,
                              w->piece, values) == 0)) {
            gather_rows(p, bw, m, data, m.block.window.y + part.first_row, part.rows, span.top,
                        &partial[m.number - 1]);
        }
    }
    count_dominant(bw, n, partial, b->count, b->map.matrix,
                   static_cast<std::size_t>(span.top) * p.width);
}

void budget_take(rss_budget_state_t *b, const rss_plan_t &p, const rss_worker_t &w, int32_t band) {
    if (p.mode == MODE_BATCHES) {
        const row_span_t span = band_span(p, band);
        note_sums(p, w.sum + static_cast<std::size_t>(span.top) * p.width,
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

// One batch's second read: the upper half of the frame's rows falls to the
// run's thread, the lower half to the helper, each into sums of its own,
// added up afterwards in that order whoever finished first. Then each opens
// its share of the next batch ahead.
struct reread_t {
    const rss_plan_t *plan;
    const rss_inputs_t *inputs;
    const rss_frame_t *frame;
    const rss_batch_t *batch;
    budget_work_t frame_work; // the largest squares over the frame
    rss_worker_t *workers;
    member_t *ahead;     // the next batch's members opened ahead
    int32_t ahead_count; // how many may be
    budget_sums_t sums[RSS_WORKERS][RSS_BATCH_MAX];
    int32_t code[RSS_WORKERS];
};

void reread_rows(reread_t &t, int32_t worker) {
    const rss_plan_t &p = *t.plan;
    const int32_t upper = (p.height + 1) / 2;
    const row_span_t span =
        worker == RSS_MAIN ? row_span_t{0, upper} : row_span_t{upper, p.height - upper};
    unsigned char *piece = t.workers[worker].piece;
    for (int32_t i = 0; i < t.batch->count && t.code[worker] == 0; ++i) {
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
                break;
            }
            gather_rows(p, t.frame_work, m, piece, window.y + first, k, 0, &t.sums[worker][i]);
        }
    }
    for (int32_t i = worker; i < t.ahead_count; i += RSS_WORKERS) {
        inputs_open_ahead(*t.inputs, *t.frame, t.ahead, i);
    }
}

void reread_helper(void *context) {
    reread_rows(*static_cast<reread_t *>(context), RSS_HELPER);
}

// The code of a batch's member whose file changed since it was folded.
int32_t changed_member(const rss_batch_t &batch) {
    for (int32_t i = 0; i < batch.count; ++i) {
        const member_t &m = batch.members[i];
        if (m.role != ROLE_FOLD) {
            return m.read_code != 0 ? m.read_code : ERR_CORRUPT_DATA_FILE;
        }
    }
    return 0;
}

} // namespace

int32_t budget_reread(rss_budget_state_t *b, const rss_plan_t &p, rss_inputs_t *in,
                      rss_batch_t *batch, rss_frame_t *frame, rss_worker_t *workers,
                      member_t *ahead, band_queue_t *q) {
    const std::size_t pixels = static_cast<std::size_t>(p.width) * p.height;
    const auto *counts = reinterpret_cast<const int32_t *>(workers[RSS_MAIN].counts);
    reread_t t{};
    t.plan = &p;
    t.inputs = in;
    t.frame = frame;
    t.batch = batch;
    t.workers = workers;
    t.ahead = ahead;
    // The inputs of the largest squares go behind the counts, in the sum's
    // second half.
    t.frame_work = budget_work_t{b->work[RSS_MAIN].best,
                                 reinterpret_cast<int32_t *>(workers[RSS_MAIN].counts) + pixels};
    for (std::size_t i = 0; i < pixels; ++i) {
        t.frame_work.best[i] = counts[i] < INT_MAP_INVALID ? -1.0 : NOT_IN_V;
    }
    in->next = 0;
    int32_t code = 0;
    while (code == 0 && in->next < in->count) {
        inputs_open_batch(in, batch, frame, ahead, t.ahead_count);
        t.ahead_count = 0;
        code = changed_member(*batch);
        if (code == 0) {
            t.ahead_count = inputs_ahead_count(*in, *batch);
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
            code = t.code[RSS_MAIN] != 0 ? t.code[RSS_MAIN] : t.code[RSS_HELPER];
        }
        inputs_close_batch(in, batch);
        for (int32_t i = 0; code == 0 && i < batch->count; ++i) {
            budget_sums_t &s = b->inputs[batch->members[i].number - 1];
            add(&s, t.sums[RSS_MAIN][i]);
            add(&s, t.sums[RSS_HELPER][i]);
        }
    }
    inputs_close_ahead(ahead, t.ahead_count);
    if (code == 0) {
        count_dominant(t.frame_work, pixels, b->inputs, b->count, b->map.matrix, 0);
    }
    return code;
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
