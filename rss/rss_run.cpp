// The RSS run: reads every input's phase map, re-expresses it in the output's
// units, adds the squares pixel by pixel over the camera frame, takes the
// root, trims the result to its valid data and writes it as a data file.
//
// Words, across rss/:
//   batch   inputs whose files are open together (rss_inputs)
//   plan    how the run goes, decided once (rss_plan)
//   band    rows of the camera frame, folded by one worker (rss_bands)
//   fold    read a member's rows of a band and add their squares to the sum
//   round   turn a band's sums into counts: the root, rounded (rss_fold)
//   take    move the rounded bands, in order, into the result (rss_result)
//   worker  the run's thread or the helper; they meet in the queue alone
//
// The run streams its inputs instead of holding them whole. Inputs are
// opened in batches. Every input of a batch is folded into a band before the
// band is left, so that a band's sums stay in cache. The run's thread and a
// helper thread take bands in turn (band_queue), each reading the band's
// rows of every input and folding them, so that data read by one processor
// is folded by the same one; then they open the next batch's inputs ahead.
//
// In the batch that holds the last input, the run's thread takes the rounded
// bands in order into the result, and writes the output file ahead of the
// end as soon as that is possible (rss_output decides what happens to the
// file). A batch's report lines are written once it is folded in full, input
// by input, and the first input that fails ends the run with its message.
#include "rss/rss.h"

#include "rss/band_queue.h"
#include "rss/rss_bands.h"
#include "rss/rss_budget.h"
#include "rss/rss_inputs.h"
#include "rss/rss_output.h"
#include "rss/rss_report.h"
#include "rss/rss_request.h"
#include "rss/rss_result.h"
#include "rss/rss_tuning.h"

namespace {

// What the run is asked to do, fixed at its start.
struct rss_job_t {
    const rss_request_t *request;
    rss_tuning_t tuning;
    bool write_ahead; // as tuned, and no name behind a byte-order mark
    const rss_sink_t *sink;
};

// The run's working set. Who owns each part is said where the part's record
// is declared; the helper thread reaches the run only through helper_bands.
struct rss_run_t {
    const rss_job_t *job;
    band_queue_t queue;  // shared by both threads, under its lock
    rss_inputs_t inputs; // the run's thread only
    rss_batch_t batch;   // members: the run's thread, read-only while folding; work: per worker
    member_t ahead[RSS_BATCH_MAX]; // next batch's: [i] its opener's, then the run's thread's
    int32_t ahead_count;           // the run's thread
    rss_frame_t frame;             // the run's thread; read-only while folding
    rss_plan_t plan; // made with the first batch, before any data is read; read-only after
    rss_sums_t sums; // allocated by the run's thread; written through the workers' views
    rss_worker_t workers[RSS_WORKERS]; // worker w's own
    rss_result_t result;               // the run's thread only
    rss_output_t output;               // the run's thread only
    rss_budget_state_t budget;         // when asked for: see rss_budget_state_t
    int64_t latest_time;               // latest input time stamp so far (the run's thread)
};

// Makes (creates or empties) the output file, and writes what comes of it:
// the message when it cannot be made, which ends the run, else its report
// lines.
int32_t make_output(rss_run_t &r) {
    const rss_request_t &q = *r.job->request;
    if (q.out_name == nullptr) { // a budget alone
        r.output.state = OUT_CLOSED;
        return 0;
    }
    if (!output_make(&r.output, q.out_name, r.job->write_ahead)) {
        report_message(r.job->sink, rss_error_format(RSS_ERR_CANNOT_CREATE_OUTPUT), q.out_name);
        return RSS_ERR_CANNOT_CREATE_OUTPUT;
    }
    if (q.verbose) {
        report_output(r.job->sink, q.out_name, q.phase_res, r.frame.out_phase_res);
    }
    return 0;
}

// A worker's share of the batch's bands. The run's thread also takes the
// rounded bands of the last batch into the result, in order.
void work_bands(rss_run_t &r, int32_t worker) {
    rss_worker_t *w = &r.workers[worker];
    const bool budget = r.job->request->budget != nullptr;
    int32_t held = -1;
    for (;;) {
        const bq_step_t step = bq_next(&r.queue, worker == RSS_MAIN, &held);
        switch (step.kind) {
        case BQ_FOLD:
            fold_band(r.plan, r.batch, w, &r.queue, step.band);
            if (bq_folded(&r.queue, step.band)) {
                held = step.band;
            }
            break;
        case BQ_ROUND:
            if (budget) { // before its sums turn into counts
                budget_band(&r.budget, r.plan, r.batch, w, worker, step.band);
            }
            round_band(r.plan, w, step.band);
            bq_rounded(&r.queue, step.band);
            break;
        case BQ_OPEN:
            inputs_open_ahead(r.inputs, r.frame, r.ahead, step.band);
            break;
        case BQ_TAKE:
            if (budget) {
                budget_take(&r.budget, r.plan, *w, step.band);
            }
            result_take_band(&r.result, r.plan, &r.sums, w, &r.output, r.frame,
                             r.job->request->count, step.band);
            bq_taken(&r.queue, step.band);
            break;
        case BQ_DONE:
            return;
        }
    }
}

// The helper's task for a batch: its share of the bands.
void helper_bands(void *context) {
    work_bands(*static_cast<rss_run_t *>(context), RSS_HELPER);
}

// Opens the next batch and checks its inputs. The first batch with an input
// to fold fixes the plan: a single pass when it holds every input.
int32_t open_batch(rss_run_t &r) {
    inputs_open_batch(&r.inputs, &r.batch, &r.frame, r.ahead, r.ahead_count);
    r.ahead_count = 0;
    if (r.batch.folded > 0 && r.plan.bands == 0) {
        const rss_mode mode = r.inputs.next == r.inputs.count ? MODE_SINGLE_PASS : MODE_BATCHES;
        const bool budget = r.job->request->budget != nullptr;
        const std::size_t band_sum_bytes =
            budget && mode == MODE_SINGLE_PASS
                ? budget_band_sum_bytes(r.job->tuning.band_sum_bytes, r.frame, r.batch)
                : r.job->tuning.band_sum_bytes;
        r.plan = plan_make(mode, r.job->tuning.kernels, r.frame, band_sum_bytes);
        if (const int32_t code = sums_alloc(&r.sums, r.plan); code != 0) {
            return code;
        }
        sums_views(&r.sums, r.plan, &r.batch, r.workers);
        if (budget) {
            if (const int32_t code =
                    budget_alloc(&r.budget, r.inputs.count, r.plan,
                                 r.job->request->budget->dominance != nullptr, &r.batch, r.workers);
                code != 0) {
                return code;
            }
        }
    }
    result_add_span(&r.result, r.batch);
    return 0;
}

// Folds the batch's bands on both threads, opens the next batch ahead and
// reads whole a last member that is not folded; the last batch is taken
// into the result on the way.
void fold_batch(rss_run_t &r) {
    int32_t failed = BQ_NO_FAILURE;
    if (r.batch.folded > 0) {
        const bool last = r.inputs.next == r.inputs.count && r.batch.folded == r.batch.count;
        r.ahead_count = inputs_ahead_count(r.inputs, r.batch);
        bq_begin(&r.queue, &r.plan, last, r.ahead_count);
        if ((r.plan.bands > 1 || r.ahead_count > 1) && r.queue.helper_running) {
            bq_post(&r.queue, helper_bands, &r);
        }
        work_bands(r, RSS_MAIN);
        failed = bq_failed(&r.queue);
    }
    inputs_read_last_whole(&r.batch, failed, r.sums.buffer[RSS_MAIN]);
    bq_wait_helper(&r.queue);
    inputs_merge_work(&r.batch);
}

// Writes the batch's report lines and messages in input order.
int32_t report_batch(rss_run_t &r) {
    for (int32_t i = 0; i < r.batch.count; ++i) {
        if (const int32_t code = report_member(r.job->sink, r.batch.members[i],
                                               r.job->request->verbose, &r.latest_time);
            code != 0) {
            return code;
        }
    }
    return 0;
}

// Trims the result to its valid data and writes it, and fills the budget.
int32_t write_result(rss_run_t &r) {
    const rss_request_t &q = *r.job->request;
    window_t window;
    if (!result_window(r.result, &window)) {
        report_message(r.job->sink, "%s", rss_error_format(RSS_ERR_NO_VALID_RESULT));
        return RSS_ERR_NO_VALID_RESULT;
    }
    if (q.budget != nullptr && r.plan.mode == MODE_BATCHES) { // read again, against the result
        if (const int32_t code =
                budget_reread(&r.budget, r.plan, &r.inputs, &r.batch, &r.frame, r.workers, r.ahead,
                              r.queue.helper_running ? &r.queue : nullptr);
            code != 0) {
            return code;
        }
    }
    if (q.verbose) {
        report_result_window(r.job->sink, window);
    }
    df_hdr_t record;
    output_record(r.frame, r.latest_time, q.count, &record);
    if (q.out_name != nullptr) {
        if (const int32_t code = result_write(r.result, r.plan, &r.sums, r.workers[RSS_MAIN],
                                              &r.output, &record, window);
            code != 0) {
            return code;
        }
        if (q.verbose) {
            report_written(r.job->sink, q.out_name);
        }
    }
    if (q.budget != nullptr) {
        budget_fill(&r.budget, q, df_metres_per_count(&record) * 1e9, window);
    }
    return 0;
}

// Stops the helper, closes every file, names a code that has no message yet,
// ends the output file of a failed run (emptied again) and releases all
// memory.
int32_t end_run(rss_run_t &r, int32_t code) {
    bq_wait_helper(&r.queue);
    bq_stop(&r.queue);
    inputs_close_batch(&r.inputs, &r.batch);
    inputs_close_ahead(r.ahead, r.ahead_count);
    if (code != 0 && !report_is_own_code(code)) {
        report_code(r.job->sink, code);
    }
    if (r.output.state != OUT_CLOSED && output_end(&r.output, nullptr, nullptr, {}) != 0) {
        report_output_not_emptied(r.job->sink, r.output.name);
    }
    sums_free(&r.sums);
    budget_free(&r.budget);
    return code;
}

int32_t run(const rss_job_t &job) {
    rss_run_t r{};
    const rss_request_t &q = *job.request;
    r.job = &job;
    r.inputs = rss_inputs_t{q.names, q.count, q.weights, job.tuning.batch_max, 0, 0};
    r.frame.out_phase_res = q.phase_res;
    r.result = result_start();
    if (job.tuning.helper_thread) {
        bq_start(&r.queue);
    }
    // The output file is made before any input is read.
    int32_t code = make_output(r);
    if (code == 0) {
        code = sums_alloc_pieces(&r.sums);
    }
    while (code == 0 && r.inputs.next < q.count) {
        code = open_batch(r);
        if (code == 0) {
            fold_batch(r);
        }
        inputs_close_batch(&r.inputs, &r.batch);
        if (code == 0) {
            code = report_batch(r);
        }
    }
    if (code == 0) {
        code = write_result(r);
    }
    return end_run(r, code);
}

} // namespace

int32_t rss_compute_tuned(const rss_request_t *request, const rss_sink_t *sink,
                          const rss_tuning_t &tuning) {
    static constexpr rss_sink_t SILENT = {nullptr, nullptr, nullptr};
    sink = sink != nullptr ? sink : &SILENT;
    if (!rss_request_is_valid(request)) {
        report_code(sink, ERR_INVALID_PARAM);
        return ERR_INVALID_PARAM;
    }
    // The run empties the output before it reads any input: such a request
    // would destroy that input.
    if (rss_output_is_input(request->out_name, request->names, request->count)) {
        report_message(sink, rss_error_format(RSS_ERR_OUTPUT_IS_INPUT), request->out_name);
        return RSS_ERR_OUTPUT_IS_INPUT;
    }
    rss_job_t job = {request, tuning, tuning.write_ahead, sink};
    job.tuning.kernels = tuning.kernels != nullptr ? tuning.kernels : fold_best_kernels();
    for (int32_t i = -1; i < request->count; ++i) {
        const char *name = i < 0 ? request->out_name : request->names[i];
        job.write_ahead &= name != nullptr && !u_path_has_wide_mark(name);
    }
    return run(job);
}

int32_t rss_compute(const rss_request_t *request, const rss_sink_t *sink) {
    return rss_compute_tuned(request, sink, RSS_TUNING_DEFAULT);
}
