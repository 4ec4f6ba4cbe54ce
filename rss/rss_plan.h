// How a run goes: decided once, in one record, when the first batch's
// headers are read and before any input's data is. Every other part reads
// the plan and none changes it.
#pragma once

#include "rss/rss_units.h"

#include <cstddef>
#include <cstdint>

struct fold_kernels_t;

// A piece is a worker's buffer (one input's counts for a band, rows of an
// input read whole, or result rows on their way to the output file) and a
// slot of the ring. It holds a row of the widest window.
constexpr std::size_t RSS_PIECE_BYTES = 128 * 1024;
static_assert(RSS_PIECE_BYTES >= 32767 * 4, "a row of the widest window fits a piece");

// Rounded bands that wait, in a single pass, for the run's thread to take
// them in order; each worker may hold one more.
constexpr int32_t RSS_SLOTS = 16;

constexpr int32_t RSS_WORKERS = 2;
constexpr int32_t RSS_MAIN = 0;   // the run's own thread, which also takes the result
constexpr int32_t RSS_HELPER = 1; // the helper thread

enum rss_mode : uint8_t {
    // Every input in one batch: each worker sums only the band it folds and
    // rounds it into a slot of the ring as soon as the band is folded.
    MODE_SINGLE_PASS,
    // Batch after batch into the sum of the whole frame; the run's thread
    // rounds each band of the last batch when it takes it.
    MODE_BATCHES,
};

struct rss_plan_t {
    rss_mode mode;
    const fold_kernels_t *kernels;
    int32_t width; // camera frame
    int32_t height;
    int32_t band_rows; // camera rows per band; the last band may have fewer
    int32_t bands;
    int32_t slots; // of the ring: RSS_SLOTS in a single pass, 0 in batches
};

// The plan for the first input's frame. Bands are as tall as band_sum_bytes
// of sums allow, at least one row, and never more than a piece of counts.
rss_plan_t plan_make(rss_mode mode, const fold_kernels_t *kernels, const rss_frame_t &frame,
                     std::size_t band_sum_bytes);

// The camera rows of a band.
struct row_span_t {
    int32_t top;
    int32_t rows;
};
row_span_t band_span(const rss_plan_t &p, int32_t band);
