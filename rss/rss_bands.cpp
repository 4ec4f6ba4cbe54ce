// The plan, and folding bands of the camera frame. Both workers run
// fold_band and round_band at once, each on the bands it took.
#include "rss/rss_bands.h"

#include "support/support.h"

#include <algorithm>
#include <cassert>

namespace {

// Allocates a map of `height` rows of the frame's width.
int32_t alloc_rows(dbl_map_t *map, int32_t width, int32_t height) {
    map->window = window_t{0, 0, static_cast<int16_t>(width), static_cast<int16_t>(height)};
    return dbl_map_alloc(map);
}

double *sum_row(const rss_plan_t &p, const rss_worker_t *w, int32_t row) {
    const int32_t at = p.mode == MODE_SINGLE_PASS ? row % p.band_rows : row;
    return w->sum + static_cast<std::size_t>(at) * p.width;
}

unsigned char *counts_of_band(const rss_plan_t &p, const rss_worker_t *w, int32_t band) {
    if (p.mode == MODE_SINGLE_PASS) {
        return w->counts + static_cast<std::size_t>(band % p.slots) * RSS_PIECE_BYTES;
    }
    return w->counts + 4 * static_cast<std::size_t>(p.width) * band_span(p, band).top;
}

// Folds a member's rows of a band into the sum, with the camera pixels
// outside its window marked invalid. `data` holds window rows
// [first_row, first_row + rows).
bool fold_band_rows(const rss_plan_t &p, rss_worker_t *w, const member_t &m, row_span_t span,
                    const unsigned char *data, int32_t first_row, int32_t rows) {
    const window_t &window = m.block.window;
    const std::size_t x = static_cast<std::size_t>(window.x), width = window.width;
    bool overflow = false;
    for (int32_t row = span.top; row < span.top + span.rows; ++row) {
        double *sum = sum_row(p, w, row);
        const int32_t data_row = row - window.y - first_row;
        if (data_row < 0 || data_row >= rows) {
            fold_invalidate(sum, static_cast<std::size_t>(p.width));
            continue;
        }
        const unsigned char *raw = data + static_cast<std::size_t>(data_row) * width * 4;
        fold_invalidate(sum, x);
        overflow |= fold_row(p.kernels, raw, sum + x, width, m.fold);
        fold_invalidate(sum + x + width, static_cast<std::size_t>(p.width) - x - width);
    }
    return overflow;
}

} // namespace

rss_plan_t plan_make(rss_mode mode, const fold_kernels_t *kernels, const rss_frame_t &frame,
                     std::size_t band_sum_bytes) {
    rss_plan_t p = {mode,
                    kernels,
                    frame.camera_width,
                    frame.camera_height,
                    0,
                    0,
                    mode == MODE_SINGLE_PASS ? RSS_SLOTS : 0};
    const std::size_t width = static_cast<std::size_t>(p.width);
    // A band's counts must fit one piece: a worker's buffer, a slot of the
    // ring, and in batches the rows packed at the front of the sum.
    const std::size_t rows =
        std::min(band_sum_bytes / (sizeof(double) * width), RSS_PIECE_BYTES / (4 * width));
    p.band_rows = static_cast<int32_t>(std::clamp<std::size_t>(rows, 1, p.height));
    assert(static_cast<std::size_t>(p.band_rows) * 4 * width <= RSS_PIECE_BYTES);
    p.bands = (p.height + p.band_rows - 1) / p.band_rows;
    return p;
}

row_span_t band_span(const rss_plan_t &p, int32_t band) {
    const int32_t top = band * p.band_rows;
    return {top, std::min(p.band_rows, p.height - top)};
}

int32_t sums_alloc_pieces(rss_sums_t *s) {
    int32_t code = 0;
    for (unsigned char *&buffer : s->buffer) {
        buffer = static_cast<unsigned char *>(u_malloc_fn(RSS_PIECE_BYTES));
        code = buffer == nullptr ? ERR_NO_MEM : code;
    }
    return code;
}

int32_t sums_alloc(rss_sums_t *s, const rss_plan_t &p) {
    if (p.mode == MODE_BATCHES) {
        return alloc_rows(&s->frame, p.width, p.height);
    }
    for (dbl_map_t &band : s->band) {
        if (const int32_t code = alloc_rows(&band, p.width, p.band_rows); code != 0) {
            return code;
        }
    }
    s->ring = static_cast<unsigned char *>(u_malloc_fn(RSS_SLOTS * RSS_PIECE_BYTES));
    s->kept.window = window_t{0, 0, static_cast<int16_t>(p.width), static_cast<int16_t>(p.height)};
    return s->ring == nullptr ? ERR_NO_MEM : int_map_alloc(&s->kept);
}

void sums_views(rss_sums_t *s, const rss_plan_t &p, rss_batch_t *b,
                rss_worker_t workers[RSS_WORKERS]) {
    for (int32_t i = 0; i < RSS_WORKERS; ++i) {
        const bool single = p.mode == MODE_SINGLE_PASS;
        workers[i] = {s->buffer[i], single ? s->band[i].matrix : s->frame.matrix,
                      single ? s->ring : reinterpret_cast<unsigned char *>(s->frame.matrix),
                      b->work[i], nullptr};
    }
}

void sums_free(rss_sums_t *s) {
    dbl_map_free(&s->frame);
    for (dbl_map_t &band : s->band) {
        dbl_map_free(&band);
    }
    int_map_free(&s->kept);
    u_free_fn(s->ring);
    s->ring = nullptr;
    for (unsigned char *&buffer : s->buffer) {
        u_free_fn(buffer);
        buffer = nullptr;
    }
}

member_rows_t member_rows(const member_t &m, row_span_t span) {
    const window_t &window = m.block.window;
    const int32_t top = std::max<int32_t>(span.top, window.y);
    const int32_t end = std::min<int32_t>(span.top + span.rows, window.y + window.height);
    return {top - window.y, std::max(0, end - top)};
}

void fold_band(const rss_plan_t &p, const rss_batch_t &b, rss_worker_t *w, band_queue_t *q,
               int32_t band) {
    const row_span_t span = band_span(p, band);
    for (int32_t i = 0; i < b.count && i <= bq_failed(q); ++i) {
        const member_t &m = b.members[i];
        member_work_t &work = w->work[i];
        if (m.role != ROLE_FOLD || work.read_code != 0) {
            continue;
        }
        const window_t &window = m.block.window;
        const auto [first_row, rows] = member_rows(m, span);
        unsigned char *data = m.kept ? w->kept + m.kept_at : w->piece;
        if (rows > 0) {
            work.read_code = df_read_phase_at(m.stream, &m.block, int64_t{first_row} * window.width,
                                              data, static_cast<std::size_t>(rows) * window.width);
            if (work.read_code != 0) {
                bq_member_fails(q, i);
                continue;
            }
            member_find_valid(&work, data, window.width, first_row, rows);
        }
        // A band without rows of the member still marks its sum invalid.
        if (!work.overflow && fold_band_rows(p, w, m, span, data, first_row, rows)) {
            work.overflow = true;
            bq_member_fails(q, i);
        }
    }
}

void round_band(const rss_plan_t &p, rss_worker_t *w, int32_t band) {
    const std::size_t width = static_cast<std::size_t>(p.width);
    const row_span_t span = band_span(p, band);
    // In batches the counts are packed at the front of the sum, over rows
    // already rounded: safe only because bands are rounded in order.
    unsigned char *counts = counts_of_band(p, w, band);
    for (int32_t row = span.top; row < span.top + span.rows; ++row) {
        round_row(p.kernels, sum_row(p, w, row), counts, width);
        counts += 4 * width;
    }
}

const unsigned char *rounded_row(const rss_plan_t &p, const rss_worker_t &w, int32_t row) {
    const row_span_t span = band_span(p, row / p.band_rows);
    return counts_of_band(p, &w, row / p.band_rows) +
           4 * static_cast<std::size_t>(p.width) * (row - span.top);
}
