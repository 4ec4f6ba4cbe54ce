// The uncertainty budget of a run (rss_budget_t), gathered while the run
// reads its inputs: each input's squares over the result's valid pixels V,
// their largest, where each input dominates, and the result's own squares.
//
// V is known for a band once every input is folded into it. In a single pass
// each worker keeps its band's rows of the members in a store of its own
// while it folds them (the members that fit; the rest it reads once more)
// and, once the band is folded, gathers them into the band's partial,
// beside the band's slot; the run's thread adds the partials up as it takes
// the bands, in order, so that the sums do not depend on which worker took
// which band. In batches V is known only at the end: both workers then read
// every input once more, against the result's counts.
#pragma once

#include "rss/rss_bands.h"
#include "rss/rss_inputs.h"
#include "rss/rss_plan.h"

#include <cstdint>

// What is gathered of one input, or of the result: sums and largest of its
// squares (c x)^2 in output counts over V, the pixels of V where it
// dominates (the result: the pixels of V), and its own valid pixels.
struct budget_sums_t {
    double squares;
    double largest;
    int64_t dominant;
    int64_t valid;
};

// A worker's state over the pixels it gathers (a band, or in batches the
// frame): the largest square so far and its input (NaN: not in V).
struct budget_work_t {
    double *best;
    int32_t *best_input;
};

// The run's thread owns everything here except work[w] (worker w's) and, in
// a single pass, the partial beside a slot (the worker rounding the slot's
// band, then the run's thread until the band is taken).
struct rss_budget_state_t {
    budget_sums_t *inputs;   // one per input of the run: the totals
    budget_sums_t result;    // the result's, over V
    budget_sums_t *partials; // single pass: per slot, one per input and the result's
    int32_t count;           // inputs
    budget_work_t work[RSS_WORKERS];
    unsigned char *store[RSS_WORKERS]; // single pass: worker w's kept rows (rss_worker_t::kept)
    int_map_t map;                     // over the frame, when the dominance map is asked for
};

// In a single pass, the sum bytes a band may take for the budget: few
// enough rows that a worker's store holds every member's rows of a band,
// when it can hold a row of each.
std::size_t budget_band_sum_bytes(std::size_t tuned, const rss_frame_t &frame,
                                  const rss_batch_t &batch);

// Allocates the budget's state; in a single pass also the workers' stores,
// and marks the members that they keep.
[[nodiscard]] int32_t budget_alloc(rss_budget_state_t *b, int32_t inputs, const rss_plan_t &p,
                                   bool with_map, rss_batch_t *batch,
                                   rss_worker_t workers[RSS_WORKERS]);
void budget_free(rss_budget_state_t *b);

// Single pass: gathers a folded band (its sums still in the worker's rows,
// the kept members' rows in its store) into the partial beside its slot,
// and marks the dominance map.
void budget_band(rss_budget_state_t *b, const rss_plan_t &p, const rss_batch_t &batch,
                 rss_worker_t *w, int32_t worker, int32_t band);

// The run's thread takes a band: in a single pass it adds the band's
// partial to the totals; in batches it adds the band's sums, before they
// are rounded, to the result's.
void budget_take(rss_budget_state_t *b, const rss_plan_t &p, const rss_worker_t &w, int32_t band);

// Batches, once every band is taken: reads every input once more, against
// the result's counts (packed at the front of the frame's sum, whose second
// half holds the inputs of the largest squares), the helper (when q is
// given) taking the lower rows, and both opening the next batch ahead into
// `ahead`. Yields the code of an input that cannot be read again.
[[nodiscard]] int32_t budget_reread(rss_budget_state_t *b, const rss_plan_t &p, rss_inputs_t *in,
                                    rss_batch_t *batch, rss_frame_t *frame,
                                    rss_worker_t workers[RSS_WORKERS], member_t *ahead,
                                    band_queue_t *q);

// Fills the request's budget, nm_per_count turning output counts into nm,
// and hands over the dominance map cut to `window`.
void budget_fill(rss_budget_state_t *b, const rss_request_t &q, double nm_per_count,
                 const window_t &window);
