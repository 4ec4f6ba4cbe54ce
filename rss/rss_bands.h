// The sums the run folds its inputs into, band by band, and the counts the
// bands are rounded into.
//
// The camera frame is cut into bands of rows small enough for a band's part
// of the sum to stay in cache while every input of a batch is folded into
// it. In a single pass each worker sums only the band it folds; in batches
// the sum covers the frame (rss/rss_plan.h).
#pragma once

#include "maps/maps.h"
#include "rss/band_queue.h"
#include "rss/rss_inputs.h"
#include "rss/rss_plan.h"

#include <cstdint>

// The storage of the sums, allocated and released by the run's thread. Who
// writes what is given by the workers' views below.
struct rss_sums_t {
    unsigned char *buffer[RSS_WORKERS]; // a piece per worker
    dbl_map_t band[RSS_WORKERS];        // single pass: a band of the sum per worker
    dbl_map_t frame;                    // batches: the sum of the whole frame
    unsigned char *ring;                // single pass: the plan's slots, a piece each
    int_map_t kept;                     // single pass: result counts kept for the end
};

// What one worker may write while it folds and rounds bands: its piece, the
// sum rows of the bands it takes (its own band in a single pass; in batches
// the frame's rows of the bands it takes), where it rounds counts to (in a
// single pass the slots of the bands it rounds; in batches the run's thread
// packs the counts of the bands it takes at the front of the frame's sum),
// its share of what the batch's members show and, in a single pass with a
// budget, its store of the kept members' rows of its band (rss_budget).
struct rss_worker_t {
    unsigned char *piece;
    double *sum;
    unsigned char *counts;
    member_work_t *work; // one per member of the batch
    unsigned char *kept; // single pass with a budget: the band's rows of the kept members
};

// The workers' pieces, before the plan.
[[nodiscard]] int32_t sums_alloc_pieces(rss_sums_t *s);

// What the plan needs: the bands of the sum and the ring in a single pass,
// the frame's sum in batches. Then the workers' views.
[[nodiscard]] int32_t sums_alloc(rss_sums_t *s, const rss_plan_t &p);
void sums_views(rss_sums_t *s, const rss_plan_t &p, rss_batch_t *b,
                rss_worker_t workers[RSS_WORKERS]);

// Releases everything; safe on a record never allocated.
void sums_free(rss_sums_t *s);

// A member's window rows that lie in a span of camera rows: the first, as a
// row of its window, and how many (0 when none).
struct member_rows_t {
    int32_t first_row;
    int32_t rows;
};
member_rows_t member_rows(const member_t &m, row_span_t span);

// Reads every member's rows of a band into the worker's piece (a kept
// member's into its place in the worker's store), searches them for valid
// data and folds them into the worker's sum rows. A member that fails is
// told to the queue.
void fold_band(const rss_plan_t &p, const rss_batch_t &b, rss_worker_t *w, band_queue_t *q,
               int32_t band);

// Rounds the band's final sums into counts: the root, rounded to a count, or
// INT_MAP_INVALID.
void round_band(const rss_plan_t &p, rss_worker_t *w, int32_t band);

// The counts of a rounded camera row, in machine order.
const unsigned char *rounded_row(const rss_plan_t &p, const rss_worker_t &w, int32_t row);
