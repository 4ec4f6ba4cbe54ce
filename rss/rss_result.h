// The result of the run, taken band by band in order on the run's thread:
// its valid extent, the rows kept for the end, and the output file written
// ahead as soon as the columns of the trimmed result are certain (they lie
// within every folded input's window), its header last.
#pragma once

#include "rss/rss_bands.h"
#include "rss/rss_inputs.h"
#include "rss/rss_output.h"
#include "rss/rss_plan.h"

#include <cstdint>

// The run's thread only.
struct rss_result_t {
    valid_extent_t valid; // valid result so far, in camera rows and columns
    int32_t span_left;    // columns inside every folded window
    int32_t span_right;
    int32_t kept_rows; // single pass: rows from the top kept in the sums' result map
};

// An empty result, with the span over every column.
rss_result_t result_start();

// Narrows the span to the windows of the batch's folded members.
void result_add_span(rss_result_t *r, const rss_batch_t &b);

// Takes band `band` of the last batch, the next in order, into the result:
// in batches rounds it first; extends the valid extent; writes ahead what is
// certain, or in a single pass keeps the band's counts. Rows below the last
// valid row so far wait, since the result may end above them. `frame` and
// `input_count` give the header's length when writing ahead starts.
void result_take_band(rss_result_t *r, const rss_plan_t &p, rss_sums_t *s, rss_worker_t *w,
                      rss_output_t *o, const rss_frame_t &frame, int32_t input_count, int32_t band);

// The smallest window holding every valid result pixel; false when none is.
bool result_window(const rss_result_t &r, window_t *window);

// Writes the result trimmed to `window` under `record` and ends the output
// file (output_end).
[[nodiscard]] int32_t result_write(const rss_result_t &r, const rss_plan_t &p, rss_sums_t *s,
                                   const rss_worker_t &w, rss_output_t *o, const df_hdr_t *record,
                                   const window_t &window);
