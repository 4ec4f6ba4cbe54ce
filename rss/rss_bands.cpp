// Folding bands of the camera frame. Both workers run fold_band and
// finish_band at once, each on its own bands: the sum rows, counts and
// buffers of a band belong to the worker that took it.
#include "rss/rss_bands.h"

#include "support/support.h"

#include <algorithm>
#include <cassert>

namespace {

// Allocates a map of `height` rows of the frame's width.
int32_t alloc_dbl(dbl_map_t *map, int32_t width, int32_t height) {
    map->window = window_t{0, 0, static_cast<int16_t>(width), static_cast<int16_t>(height)};
    return dbl_map_alloc(map);
}

// The sum of a camera row, for the worker folding its band.
double *sum_row(const rss_sums_t &s, int32_t worker, int32_t row) {
    const std::size_t width = static_cast<std::size_t>(s.width);
    if (s.single_pass) {
        return s.band[worker].matrix + static_cast<std::size_t>(row % s.band_rows) * width;
    }
    return s.sum.matrix + static_cast<std::size_t>(row) * width;
}

// Folds a member's rows of a band into the sum, with the camera pixels
// outside its window marked invalid. `counts` holds window rows
// [first_row, first_row + rows). True on overflow.
bool fold_band_rows(const rss_sums_t &s, int32_t worker, const member_t &m, int32_t band,
                    int32_t first_row, int32_t rows, const unsigned char *counts) {
    const window_t &window = m.block.window;
    const int32_t x = window.x;
    const int32_t w = window.width;
    bool overflow = false;
    for (int32_t row = band_top(s, band); row < band_end(s, band); ++row) {
        double *sum = sum_row(s, worker, row);
        const int32_t data_row = row - window.y - first_row;
        if (data_row < 0 || data_row >= rows) {
            fold_invalidate(sum, static_cast<std::size_t>(s.width));
            continue;
        }
        const unsigned char *raw = counts + static_cast<std::size_t>(data_row) * w * 4;
        fold_invalidate(sum, static_cast<std::size_t>(x));
        overflow |= fold_row(s.kernels, raw, sum + x, static_cast<std::size_t>(w), m.fold);
        fold_invalidate(sum + x + w, static_cast<std::size_t>(s.width - x - w));
    }
    return overflow;
}

} // namespace

int32_t sums_alloc_buffers(rss_sums_t *s) {
    int32_t code = 0;
    for (unsigned char *&buffer : s->buffer) {
        buffer = static_cast<unsigned char *>(u_malloc_fn(RSS_PIECE_BYTES));
        code = buffer == nullptr ? ERR_NO_MEM : code;
    }
    return code;
}

int32_t sums_alloc(rss_sums_t *s, const rss_frame_t &frame, std::size_t band_sum_bytes) {
    s->width = frame.camera_width;
    s->height = frame.camera_height;
    const std::size_t width = static_cast<std::size_t>(s->width);
    // A band's counts must fit one piece: a worker's buffer, a slot of the
    // ring, and in batches the rows packed at the front of the sum.
    const std::size_t rows =
        std::min(band_sum_bytes / (sizeof(double) * width), RSS_PIECE_BYTES / (4 * width));
    s->band_rows = static_cast<int32_t>(std::clamp<std::size_t>(rows, 1, s->height));
    assert(static_cast<std::size_t>(s->band_rows) * 4 * width <= RSS_PIECE_BYTES);
    s->bands = (s->height + s->band_rows - 1) / s->band_rows;
    if (const int32_t code = bq_ring_alloc(&s->ring, s->bands, s->single_pass); code != 0) {
        return code;
    }
    if (!s->single_pass) {
        return alloc_dbl(&s->sum, s->width, s->height);
    }
    for (dbl_map_t &band : s->band) {
        if (const int32_t code = alloc_dbl(&band, s->width, s->band_rows); code != 0) {
            return code;
        }
    }
    s->result.window =
        window_t{0, 0, static_cast<int16_t>(s->width), static_cast<int16_t>(s->height)};
    return int_map_alloc(&s->result);
}

void sums_free(rss_sums_t *s) {
    dbl_map_free(&s->sum);
    for (dbl_map_t &band : s->band) {
        dbl_map_free(&band);
    }
    int_map_free(&s->result);
    bq_ring_free(&s->ring);
    for (unsigned char *&buffer : s->buffer) {
        u_free_fn(buffer);
        buffer = nullptr;
    }
}

int32_t band_top(const rss_sums_t &s, int32_t band) {
    return band * s.band_rows;
}

int32_t band_end(const rss_sums_t &s, int32_t band) {
    return std::min<int32_t>(band_top(s, band) + s.band_rows, s.height);
}

void fold_band(const rss_sums_t &s, rss_batch_t *b, band_queue_t *q, int32_t worker, int32_t band) {
    unsigned char *counts = s.buffer[worker];
    const int32_t top_row = band_top(s, band);
    const int32_t end_row = band_end(s, band);
    for (int32_t i = 0; i < b->count && i < bq_end(q); ++i) {
        const member_t &m = b->members[i];
        member_work_t &w = b->work[worker][i];
        if (m.role != ROLE_FOLD || w.read_code != 0) {
            continue;
        }
        const window_t &window = m.block.window;
        const int32_t top = std::max<int32_t>(top_row, window.y);
        const int32_t rows =
            std::max(0, std::min<int32_t>(end_row, window.y + window.height) - top);
        const int32_t first_row = top - window.y;
        if (rows > 0) {
            w.read_code = df_read_phase_at(m.stream, &m.block, int64_t{first_row} * window.width,
                                           counts, static_cast<std::size_t>(rows) * window.width);
            if (w.read_code != 0) {
                bq_member_fails(q, i);
                continue;
            }
            member_scan_rows(&w, counts, window.width, first_row, rows);
        }
        // A band without rows of the member still marks its sum invalid.
        if (!w.overflow && fold_band_rows(s, worker, m, band, first_row, rows, counts)) {
            w.overflow = true;
            bq_member_fails(q, i);
        }
    }
}

void finish_band(const rss_sums_t &s, int32_t worker, int32_t band) {
    const std::size_t width = static_cast<std::size_t>(s.width);
    const int32_t top = band_top(s, band);
    // In batches the counts are packed at the front of the sum, over rows
    // already finished: safe only because bands are finished in order.
    unsigned char *counts = s.single_pass
                                ? bq_slot(s.ring, band)
                                : reinterpret_cast<unsigned char *>(s.sum.matrix) + 4 * width * top;
    for (int32_t row = top; row < band_end(s, band); ++row) {
        finish_row(s.kernels, sum_row(s, worker, row), counts, width);
        counts += 4 * width;
    }
}

const unsigned char *finished_row(const rss_sums_t &s, int32_t row) {
    const std::size_t width = static_cast<std::size_t>(s.width);
    if (!s.single_pass) {
        return reinterpret_cast<const unsigned char *>(s.sum.matrix) + 4 * width * row;
    }
    return bq_slot(s.ring, row / s.band_rows) + 4 * width * (row % s.band_rows);
}
