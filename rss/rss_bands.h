// The sums the RSS run folds its inputs into, band by band, and the counts
// the finished bands turn into.
//
// The camera frame is cut into bands of rows small enough for a band's part
// of the sum to stay in cache while every input of a batch is folded into
// it. When all inputs fit in one batch (a single pass), each worker holds
// only the sum of its current band and turns it into counts in a ring of
// slots as soon as the band is folded; otherwise the sum covers the camera
// frame, and the counts of finished rows are packed at its front.
#pragma once

#include "maps/maps.h"
#include "rss/band_queue.h"
#include "rss/rss_fold.h"
#include "rss/rss_inputs.h"
#include "rss/rss_units.h"

#include <cstddef>
#include <cstdint>

struct rss_sums_t {
    // Fixed by the run's thread before any band is folded; read-only after.
    const fold_kernels_t *kernels;
    bool single_pass; // all inputs in one batch
    int32_t width;    // camera frame
    int32_t height;
    int32_t band_rows; // camera rows per band
    int32_t bands;     // 0 until the first input is to be folded

    // Storage, allocated and released by the run's thread.
    unsigned char *buffer[RSS_WORKERS]; // worker w's pieces: worker w only
    dbl_map_t band[RSS_WORKERS];        // single pass: worker w's band of the sum: worker w only
    dbl_map_t sum;    // in batches: the sum over the frame; a band's rows belong to
                      // the worker that took the band, finished rows to the run's thread
    bq_ring_t ring;   // the ready flags, and in a single pass the ring of finished bands
    int_map_t result; // single pass: counts of rows not written ahead: the run's thread
};

// The workers' piece buffers.
[[nodiscard]] int32_t sums_alloc_buffers(rss_sums_t *s);

// Cuts the frame into bands and allocates what the bands need: a band of the
// sum per worker, the result counts and the slots in a single pass; the
// whole sum in batches. `single_pass` must be set.
[[nodiscard]] int32_t sums_alloc(rss_sums_t *s, const rss_frame_t &frame,
                                 std::size_t band_sum_bytes);

// Releases everything; safe on a record never allocated.
void sums_free(rss_sums_t *s);

// First camera row of a band, and the row after its last.
int32_t band_top(const rss_sums_t &s, int32_t band);
int32_t band_end(const rss_sums_t &s, int32_t band);

// Reads every member's rows of a band and folds them into the worker's sum,
// recording in the worker's share of the batch's work what it found. A
// member that fails is told to the queue.
void fold_band(const rss_sums_t &s, rss_batch_t *b, band_queue_t *q, int32_t worker, int32_t band);

// The band's sums are final: root and rounding into result counts, in the
// band's slot in a single pass, else packed in place at the front of the
// sum (bands must then be finished in order).
void finish_band(const rss_sums_t &s, int32_t worker, int32_t band);

// The counts of a finished camera row in machine order: in its band's slot
// in a single pass, packed at the front of the sum in batches.
const unsigned char *finished_row(const rss_sums_t &s, int32_t row);
