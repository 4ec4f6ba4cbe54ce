// The uncertainty budget of a run (rss_budget_t), gathered while the run
// reads its inputs: each input's squares over the result's valid pixels V,
// their largest, where each input dominates, and the result's own squares.
//
// V is known for a band once every input is folded into it. In a single pass
// the worker that folded a band reads its members' rows of the band once
// more, at once, to gather them. In batches V is known only at the end: the
// inputs are then read once more, in tiles of rows, against the result's
// counts.
#pragma once

#include "rss/band_queue.h"
#include "rss/rss_bands.h"
#include "rss/rss_inputs.h"
#include "rss/rss_plan.h"

#include <cstdint>

// What is gathered of one input: sums and largest of its squares (c x)^2 in
// output counts over V, the pixels of V where it dominates, and its own
// valid pixels.
struct budget_input_t {
    double squares;
    double largest;
    int64_t dominant;
    int64_t valid;
};

// What one worker gathers: per input of the run, and of the result over V;
// and for the pixels of the band it gathers, the largest square so far and
// its input (NaN: not in V).
struct budget_work_t {
    budget_input_t *inputs; // one per input of the run
    double squares;         // of the result's sums over V
    double largest;
    int64_t valid; // pixels in V
    double *best;
    int32_t *best_input;
    int32_t *map; // the dominance map over the frame: the rows it gathers; or null
};

// The storage, allocated by the run's thread when a budget is asked for.
struct rss_budget_state_t {
    budget_work_t work[RSS_WORKERS];
    int_map_t map; // over the frame, when the dominance map is asked for
};

[[nodiscard]] int32_t budget_alloc(rss_budget_state_t *b, int32_t inputs, const rss_plan_t &p,
                                   bool with_map);
void budget_free(rss_budget_state_t *b);

// Adds the result's sums of `n` pixels (final, before the root) over V: the
// ones below DBL_MAP_INVALID whose root rounds to a count. With `best`, also
// marks each pixel in V (-1) or not (NaN) there.
void budget_note_sums(budget_work_t *w, const double *sums, std::size_t n, double *best);

// Single pass: gathers a folded band, its sums still in the worker's rows.
void budget_band(const rss_plan_t &p, const rss_batch_t &b, rss_worker_t *w, budget_work_t *bw,
                 int32_t band);

// Batches, once every band is taken: reads every input once more, in tiles
// of rows, against the result's counts (packed at the front of the sum of
// the frame, whose second half holds the tiles' state). Yields the code of
// an input that cannot be read again.
[[nodiscard]] int32_t budget_reread(const rss_plan_t &p, rss_inputs_t *in, rss_batch_t *b,
                                    rss_frame_t *frame, rss_worker_t *w, budget_work_t *bw);

// Merges both workers' work into the request's budget, nm_per_count turning
// output counts into nm, and hands over the dominance map cut to `window`.
void budget_fill(rss_budget_state_t *b, const rss_request_t &q, double nm_per_count,
                 const window_t &window);
