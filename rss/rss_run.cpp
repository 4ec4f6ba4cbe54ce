// The RSS run: reads every input's phase map, re-expresses it in the output's
// units, adds the squares pixel by pixel over the camera frame, takes the
// root, trims the result to its valid data and writes it as a data file.
//
// The run streams its inputs instead of holding them whole. Inputs are taken
// in batches whose files are open together (rss/rss_inputs.h). The camera
// frame is cut into bands (rss/rss_bands.h), and every input of a batch is
// folded into a band before the band is left. Two workers, the run's thread
// and a helper thread, take bands in turn (rss/band_queue.h: the one place
// where they meet, with the ring of finished bands), each reading the band's
// rows of every input and folding them, so that data read by one processor
// is folded by the same one. The pixel arithmetic is that of the map
// operations (rss/rss_fold.h), so the result is bit-identical to running
// them input by input.
//
// In the batch that holds the last input, the run's thread takes the
// finished bands in order into the result (rss/rss_result.h) and writes the
// output file ahead of the end as soon as that is possible
// (rss/rss_output.h, which alone decides what happens to the file).
//
// Messages and report lines come out exactly as an input-by-input run writes
// them (rss/rss_report.h): a batch's lines are written once it is folded in
// full, input by input, and the first failure in input order ends the run.
#include "rss/rss.h"

#include "rss/band_queue.h"
#include "rss/rss_bands.h"
#include "rss/rss_inputs.h"
#include "rss/rss_output.h"
#include "rss/rss_report.h"
#include "rss/rss_request.h"
#include "rss/rss_result.h"
#include "rss/rss_tuning.h"
#include "rss/rss_units.h"
#include "support/platform_internal.h"
#include "support/support.h"

#include <algorithm>

namespace {

// What the run is asked to do, fixed at its start.
struct rss_job_t {
    const char *out_name;
    int32_t phase_res; // -1 from the first input, else the output's code
    bool verbose;
    const char *const *names;
    int32_t count;
    rss_tuning_t tuning;
    const fold_kernels_t *kernels;
    bool wide_names; // some name lies behind a byte-order mark
    const rss_sink_t *sink;
};

// The run's working set. Who owns each part is said where the part's record
// is declared; the helper thread reaches the run only through helper_bands.
struct rss_run_t {
    const rss_job_t *job;
    band_queue_t queue;  // shared by both threads, under its lock
    rss_inputs_t inputs; // the run's thread only
    rss_batch_t batch;   // members: the run's thread, read-only while folding; work: per worker
    rss_frame_t frame;   // the run's thread; read-only while folding
    rss_sums_t sums;     // see rss_sums_t
    rss_result_t result; // the run's thread only
    rss_output_t output; // the run's thread only
    int64_t latest_time; // latest input time stamp so far (the run's thread)
    int32_t reported;    // inputs whose lines are written, without failure (the run's thread)
};

// Makes (creates or empties) the output file, and writes what comes of it:
// the message when it cannot be made, which ends the run, else its report
// lines.
int32_t make_output(rss_run_t &r) {
    if (!output_make(&r.output)) {
        report_message(r.job->sink, rss_error_format(RSS_ERR_CANNOT_CREATE_OUTPUT),
                       r.job->out_name);
        return RSS_ERR_CANNOT_CREATE_OUTPUT;
    }
    if (r.job->verbose) {
        report_output(r.job->sink, r.job->out_name, r.job->phase_res, r.frame.out_phase_res);
    }
    return 0;
}

// A worker's share of the batch's bands. The run's thread also takes the
// finished bands of the last batch into the result, in order.
void work_bands(rss_run_t &r, int32_t worker) {
    int32_t held = -1;
    for (;;) {
        const bq_step_t step = bq_next(&r.queue, worker == RSS_MAIN, &held);
        switch (step.kind) {
        case BQ_FOLD:
            fold_band(r.sums, &r.batch, &r.queue, worker, step.band);
            if (bq_folded(&r.queue, step.band)) {
                held = step.band;
            }
            break;
        case BQ_FINISH:
            finish_band(r.sums, worker, step.band);
            bq_ready(&r.queue, step.band);
            break;
        case BQ_ACCEPT:
            result_accept_band(&r.result, r.sums, &r.output, r.frame, r.job->count, step.band);
            bq_accepted(&r.queue, step.band);
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

// Opens the next batch and checks its inputs; the first one fixes the frame
// and the storage the bands need.
int32_t open_batch(rss_run_t &r) {
    rss_batch_t &b = r.batch;
    if (inputs_open_batch(&r.inputs, &b, &r.frame)) {
        r.sums.single_pass = false; // not all inputs can be open at once
    }
    if (b.folded > 0 && r.sums.bands == 0) {
        r.sums.kernels = r.job->kernels;
        if (const int32_t code = sums_alloc(&r.sums, r.frame, r.job->tuning.band_sum_bytes);
            code != 0) {
            return code;
        }
    }
    result_add_span(&r.result, b);
    b.two_workers = b.folded > 0 && r.sums.bands > 1 && r.queue.helper_running;
    return 0;
}

// Folds the batch's bands on both threads and scans an input that is only
// read; the batch's last input folded, the result is taken on the way.
void fold_batch(rss_run_t &r) {
    rss_batch_t &b = r.batch;
    bq_begin_ring(&r.queue, r.sums.ring, b.final);
    if (b.two_workers) {
        bq_post(&r.queue, helper_bands, &r);
    }
    if (b.folded > 0) {
        work_bands(r, RSS_MAIN);
    }
    inputs_scan_last(&b, bq_end(&r.queue), r.sums.buffer[RSS_MAIN], RSS_PIECE_BYTES);
    bq_wait_helper(&r.queue);
    inputs_merge_work(&b);
}

// Writes the batch's report lines and messages in input order.
int32_t report_batch(rss_run_t &r) {
    for (int32_t i = 0; i < r.batch.count; ++i) {
        if (const int32_t code =
                report_member(r.job->sink, r.batch.members[i], r.job->verbose, &r.latest_time);
            code != 0) {
            return code;
        }
        ++r.reported;
    }
    return 0;
}

// Trims the result to its valid data and writes it.
int32_t write_result(rss_run_t &r) {
    if (r.reported == 0) {
        // An empty input table (the entry's run only): converting the empty
        // sum fails as an input-by-input run's conversion does.
        return ERR_WINDOWS_MISMATCHED;
    }
    window_t window;
    if (!result_window(r.result, &window)) {
        report_message(r.job->sink, "%s", rss_error_format(RSS_ERR_NO_VALID_RESULT));
        return RSS_ERR_NO_VALID_RESULT;
    }
    if (r.job->verbose) {
        report_result_window(r.job->sink, window);
    }
    df_hdr_t record;
    rss_output_record(r.frame, r.latest_time, r.job->count, &record);
    if (const int32_t code = result_write(r.result, &r.sums, &r.output, &record, window);
        code != 0) {
        return code;
    }
    if (r.job->verbose) {
        report_written(r.job->sink, r.job->out_name);
    }
    return 0;
}

// Stops the helper, closes every file, releases all memory, and names a code
// that has no message yet. A failing run leaves the output file empty, as it
// was made at the start, unless writing the result itself failed.
int32_t finish(rss_run_t &r, int32_t code) {
    bq_wait_helper(&r.queue);
    bq_stop(&r.queue);
    inputs_close_batch(&r.inputs, &r.batch);
    output_close(&r.output, code != 0);
    sums_free(&r.sums);
    if (code != 0 && !report_is_own_code(code)) {
        report_code(r.job->sink, code);
    }
    return code;
}

int32_t run(const rss_job_t &job) {
    rss_run_t r{};
    r.job = &job;
    r.inputs = rss_inputs_t{job.names, job.count, job.tuning.batch_max, 0, 0, false, {}, {}};
    r.frame.out_phase_res = job.phase_res;
    r.result = result_start();
    r.output = rss_output_t{
        job.out_name, job.wide_names || !job.tuning.write_ahead, OUT_NOT_MADE, nullptr, 0, 0};
    r.sums.single_pass = job.count <= std::clamp(job.tuning.batch_max, 1, RSS_BATCH_MAX);
    if (job.tuning.helper_thread) {
        bq_start(&r.queue);
    }

    // The output file is made before any input is read.
    int32_t code = make_output(r);
    if (code == 0) {
        code = sums_alloc_buffers(&r.sums);
    }
    while (code == 0 && r.inputs.next < job.count) {
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
    return finish(r, code);
}

} // namespace

namespace {

// min_count: 1 for rss_compute; the entry's run, and with it the tests that
// hold it against the step-by-step run, may hand over an empty table.
int32_t compute(const rss_request_t *request, const rss_sink_t *sink, const rss_tuning_t &tuning,
                int32_t min_count) {
    static constexpr rss_sink_t SILENT = {nullptr, nullptr, nullptr};
    sink = sink != nullptr ? sink : &SILENT;
    const rss_request_t *q = request;
    if (!rss_request_is_valid(q, min_count)) {
        report_code(sink, ERR_INVALID_PARAM);
        return ERR_INVALID_PARAM;
    }
    // The run empties the output before it reads any input: such a request
    // would destroy that input.
    if (rss_output_is_input(q->out_name, q->names, q->count)) {
        report_message(sink, rss_error_format(RSS_ERR_OUTPUT_IS_INPUT), q->out_name);
        return RSS_ERR_OUTPUT_IS_INPUT;
    }
    const fold_kernels_t *kernels =
        tuning.kernels != nullptr ? tuning.kernels : fold_best_kernels();
    rss_job_t job = {q->out_name, q->phase_res, q->verbose, q->names, q->count,
                     tuning,      kernels,      false,      sink};
    job.wide_names = u_path_has_wide_mark(job.out_name);
    for (int32_t i = 0; i < job.count && !job.wide_names; ++i) {
        job.wide_names = u_path_has_wide_mark(job.names[i]);
    }
    return run(job);
}

} // namespace

int32_t rss_compute_tuned(const rss_request_t *request, const rss_sink_t *sink,
                          const rss_tuning_t &tuning) {
    return compute(request, sink, tuning, 0);
}

int32_t rss_compute(const rss_request_t *request, const rss_sink_t *sink) {
    return compute(request, sink, RSS_TUNING_DEFAULT, 1);
}
