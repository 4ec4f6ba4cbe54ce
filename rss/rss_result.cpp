// The result of the RSS run, taken in order on the run's thread.
#include "rss/rss_result.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>

namespace {

// The counts of a finished camera row, in machine order: in batches packed
// at the front of the sum; in a single pass in the slot of its band until
// the band is taken, and kept in the result map afterwards while nothing is
// written ahead. Null for a row that was not kept: it holds no valid count.
const unsigned char *counts_row(const rss_result_t &r, const rss_sums_t &s, int32_t row) {
    if (s.single_pass) {
        if (row < r.stored_end) {
            return reinterpret_cast<const unsigned char *>(s.result.matrix +
                                                           static_cast<std::size_t>(s.width) * row);
        }
        if (row / s.band_rows < r.accepted) {
            return nullptr;
        }
    }
    return finished_row(s, row);
}

// Writes camera rows [first, end) over the columns of the span to the file
// written ahead, in file order, through the run's thread's piece buffer
// (free between bands).
void write_rows(const rss_result_t &r, const rss_sums_t &s, rss_output_t *o, int32_t first,
                int32_t end) {
    const std::size_t values = static_cast<std::size_t>(r.span_right - r.span_left + 1);
    const int32_t per_piece = static_cast<int32_t>(RSS_PIECE_BYTES / (4 * values));
    unsigned char *piece = s.buffer[RSS_MAIN];
    for (int32_t row = first; row < end && output_writing_ahead(o);) {
        const int32_t rows = std::min(per_piece, end - row);
        for (int32_t i = 0; i < rows; ++i) {
            unsigned char *out = piece + 4 * values * i;
            if (const unsigned char *counts = counts_row(r, s, row + i); counts != nullptr) {
                store_be_counts(s.kernels, counts + 4 * r.span_left, out, values);
            } else {
                for (std::size_t v = 0; v < values; ++v) { // INT_MAP_INVALID, big-endian
                    std::memcpy(out + 4 * v, "\x7F\xFF\xFF\xF8", 4);
                }
            }
        }
        output_write_ahead(o, piece, 4 * values * static_cast<std::size_t>(rows));
        row += rows;
    }
}

// Starts writing ahead once valid counts have reached both edges of the
// span: the trimmed result then spans exactly its columns, and every row
// from the first valid one on belongs to it.
void maybe_begin_ahead(const rss_result_t &r, rss_output_t *o, const rss_frame_t &frame,
                       int32_t input_count) {
    if (r.valid.top < 0 || r.valid.left != r.span_left || r.valid.right != r.span_right ||
        !output_may_begin_ahead(o)) {
        return;
    }
    df_hdr_t record;
    rss_output_record(frame, 0, input_count, &record); // the header's length depends on it
    output_begin_ahead(o, &record, r.valid.top);
}

} // namespace

rss_result_t result_start() {
    return rss_result_t{{-1, -1, INT32_MAX, -1}, 0, INT32_MAX, 0, 0};
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

void result_accept_band(rss_result_t *r, const rss_sums_t &s, rss_output_t *o,
                        const rss_frame_t &frame, int32_t input_count, int32_t band) {
    assert(band == r->accepted); // in order: batches pack counts over finished rows
    if (!s.single_pass) {
        finish_band(s, RSS_MAIN, band);
    }
    const int32_t top = band_top(s, band);
    const int32_t end = band_end(s, band);
    for (int32_t row = top; row < end; ++row) {
        if (result_valid_extent(counts_row(*r, s, row), s.width, &r->valid.left, &r->valid.right)) {
            if (r->valid.top < 0) {
                r->valid.top = row;
            }
            r->valid.bottom = row;
        }
    }
    maybe_begin_ahead(*r, o, frame, input_count);
    if (output_ahead_started(o)) {
        if (o->next_row <= r->valid.bottom) {
            write_rows(*r, s, o, o->next_row, r->valid.bottom + 1);
            o->next_row = r->valid.bottom + 1;
        }
    } else if (s.single_pass) {
        std::memcpy(s.result.matrix + static_cast<std::size_t>(s.width) * top,
                    counts_row(*r, s, top), 4 * static_cast<std::size_t>(s.width) * (end - top));
        r->stored_end = end;
    }
    r->accepted = band + 1;
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

int32_t result_write(const rss_result_t &r, rss_sums_t *s, rss_output_t *o, const df_hdr_t *record,
                     const window_t &window) {
    if (output_writing_ahead(o)) {
        write_rows(r, *s, o, o->next_row, window.y + window.height);
    }
    const ahead_result ahead = output_complete(o, record, &window);
    if (ahead == AHEAD_FAILED && s->single_pass) {
        // Rows written ahead are not kept: the result cannot be written
        // whole any more, as the writer fails on a file that cannot be written.
        return ERR_CANT_WRITE_FILE;
    }
    if (ahead == AHEAD_DONE) {
        return 0;
    }
    // The counts lie one camera row after another; rows move towards the
    // front only, so each lands on counts already moved.
    unsigned char *packed = s->single_pass ? reinterpret_cast<unsigned char *>(s->result.matrix)
                                           : reinterpret_cast<unsigned char *>(s->sum.matrix);
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(window.width);
    for (int32_t i = 0; i < window.height; ++i) {
        std::memmove(packed + i * row_bytes, counts_row(r, *s, window.y + i) + 4 * window.x,
                     row_bytes);
    }
    const int_map_t result = {static_cast<uint32_t>(window.width) * window.height, window,
                              reinterpret_cast<int32_t *>(packed)};
    return output_write_whole(o, record, &result);
}
