// The result of the run, taken in order on the run's thread.
#include "rss/rss_result.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// The counts of a rounded camera row, in machine order, once `taken` bands
// have been taken: in batches packed at the front of the sum; in a single
// pass in the slot of its band until the band is taken, and then in the kept
// rows while nothing is written ahead. Null for a row that was not kept: it
// holds no valid count.
const unsigned char *counts_row(const rss_result_t &r, const rss_plan_t &p, const rss_sums_t &s,
                                const rss_worker_t &w, int32_t row, int32_t taken) {
    if (p.mode == MODE_SINGLE_PASS) {
        if (row < r.kept_rows) {
            return reinterpret_cast<const unsigned char *>(s.kept.matrix +
                                                           static_cast<std::size_t>(p.width) * row);
        }
        if (row / p.band_rows < taken) {
            return nullptr;
        }
    }
    return rounded_row(p, w, row);
}

// Writes camera rows [first, first + rows) over the columns of the span to
// the file written ahead, in file order, through the run's thread's piece
// (free between bands).
void write_rows(const rss_result_t &r, const rss_plan_t &p, const rss_sums_t &s,
                const rss_worker_t &w, rss_output_t *o, int32_t rows, int32_t taken) {
    const std::size_t values = static_cast<std::size_t>(r.span_right - r.span_left + 1);
    const int32_t per_piece = static_cast<int32_t>(RSS_PIECE_BYTES / (4 * values));
    while (rows > 0 && o->state == OUT_AHEAD) {
        const int32_t n = std::min(per_piece, rows);
        for (int32_t i = 0; i < n; ++i) {
            unsigned char *out = w.piece + 4 * values * i;
            if (const unsigned char *counts = counts_row(r, p, s, w, o->next_row + i, taken)) {
                store_be_counts(p.kernels, counts + 4 * r.span_left, out, values);
            } else {
                for (std::size_t v = 0; v < values; ++v) { // INT_MAP_INVALID, big-endian
                    std::memcpy(out + 4 * v, "\x7F\xFF\xFF\xF8", 4);
                }
            }
        }
        output_write_ahead(o, w.piece, 4 * values * static_cast<std::size_t>(n));
        o->next_row += n;
        rows -= n;
    }
}

} // namespace

rss_result_t result_start() {
    return rss_result_t{{-1, -1, INT32_MAX, -1}, 0, INT32_MAX, 0};
}

void result_add_span(rss_result_t *r, const rss_batch_t &b) {
    for (int32_t i = 0; i < b.count; ++i) {
        const member_t &m = b.members[i];
        if (m.role == ROLE_FOLD) {
            const window_t &w = m.block.window;
            r->span_left = std::max<int32_t>(r->span_left, w.x);
            r->span_right = std::min<int32_t>(r->span_right, w.x + w.width - 1);
        }
    }
}

void result_take_band(rss_result_t *r, const rss_plan_t &p, rss_sums_t *s, rss_worker_t *w,
                      rss_output_t *o, const rss_frame_t &frame, int32_t input_count,
                      int32_t band) {
    if (p.mode == MODE_BATCHES) {
        round_band(p, w, band);
    }
    const row_span_t span = band_span(p, band);
    for (int32_t row = span.top; row < span.top + span.rows; ++row) {
        if (result_valid_extent(counts_row(*r, p, *s, *w, row, band), p.width, &r->valid.left,
                                &r->valid.right)) {
            r->valid.top = r->valid.top < 0 ? row : r->valid.top;
            r->valid.bottom = row;
        }
    }
    // Once valid counts have reached both edges of the span, the trimmed
    // result spans exactly its columns, and every row from the first valid
    // one on belongs to it.
    if (r->valid.top >= 0 && r->valid.left == r->span_left && r->valid.right == r->span_right &&
        o->state == OUT_EMPTIED) {
        df_hdr_t record;
        output_record(frame, 0, input_count, &record); // the header's length depends on it
        output_begin_ahead(o, &record, r->valid.top);
    }
    if (o->state == OUT_AHEAD || o->state == OUT_BROKEN) {
        write_rows(*r, p, *s, *w, o, r->valid.bottom + 1 - o->next_row, band);
    } else if (p.mode == MODE_SINGLE_PASS && o->state == OUT_EMPTIED) {
        std::memcpy(s->kept.matrix + static_cast<std::size_t>(p.width) * span.top,
                    rounded_row(p, *w, span.top),
                    4 * static_cast<std::size_t>(p.width) * span.rows);
        r->kept_rows = span.top + span.rows;
    }
}

bool result_window(const rss_result_t &r, window_t *window) {
    if (r.valid.top < 0) {
        return false;
    }
    *window = {static_cast<int16_t>(r.valid.left), static_cast<int16_t>(r.valid.top),
               static_cast<int16_t>(r.valid.right - r.valid.left + 1),
               static_cast<int16_t>(r.valid.bottom - r.valid.top + 1)};
    return true;
}

namespace {

struct packing_t {
    const rss_result_t &r;
    const rss_plan_t &p;
    rss_sums_t *s;
    const rss_worker_t &w;
    bool ahead; // rows went to the file written ahead
    window_t window;
    int_map_t whole;
};

// The kept rows packed into the trimmed result: all of them in batches, and
// in a single pass while nothing went ahead. They lie one camera row after
// another; rows move towards the front only, so each lands on counts
// already moved.
const int_map_t *pack_kept_rows(void *context) {
    packing_t &k = *static_cast<packing_t *>(context);
    if (k.p.mode == MODE_SINGLE_PASS && k.ahead) {
        return nullptr;
    }
    auto *packed = k.p.mode == MODE_BATCHES ? reinterpret_cast<unsigned char *>(k.s->frame.matrix)
                                            : reinterpret_cast<unsigned char *>(k.s->kept.matrix);
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(k.window.width);
    for (int32_t i = 0; i < k.window.height; ++i) {
        const unsigned char *row = counts_row(k.r, k.p, *k.s, k.w, k.window.y + i, k.p.bands);
        std::memmove(packed + i * row_bytes, row + 4 * k.window.x, row_bytes);
    }
    k.whole = {static_cast<uint32_t>(k.window.width) * k.window.height, k.window,
               reinterpret_cast<int32_t *>(packed)};
    return &k.whole;
}

} // namespace

int32_t result_write(const rss_result_t &r, const rss_plan_t &p, rss_sums_t *s,
                     const rss_worker_t &w, rss_output_t *o, const df_hdr_t *record,
                     const window_t &window) {
    write_rows(r, p, *s, w, o, window.y + window.height - o->next_row, p.bands);
    packing_t packing = {r, p, s, w, o->state == OUT_AHEAD || o->state == OUT_BROKEN, window, {}};
    return output_end(o, record, &window, {pack_kept_rows, &packing});
}
