// The one place where the run's two threads meet: the helper thread, and the
// state of a batch's bands that both threads read and change. Every field
// that both threads reach is read and written under `lock` only, and every
// change to them is announced on `changed`; the queue alone owns them.
//
// The run's thread and the helper take a batch's bands in turn; each reads
// and folds the band it took on its own, without the lock. Once the bands
// are handed out they open the next batch's members in turn. In the last batch
// the rounded bands are then taken into the result, in order, by the run's
// thread. In a single pass a worker rounds a band into its slot of the ring
// as soon as the band is folded, and holds the band until that slot is free:
// until the band `slots` places before it has been taken.
#pragma once

#include "rss/rss_plan.h"

#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// No member of the batch has failed.
constexpr int32_t BQ_NO_FAILURE = INT32_MAX;

// What a worker does next.
enum bq_step_kind : uint8_t {
    BQ_FOLD,  // read the band of every member and fold it into the sum
    BQ_ROUND, // round the band it holds into its slot
    BQ_TAKE,  // (the run's thread) take the next band into the result
    BQ_OPEN,  // open a member of the next batch ahead (once every band is taken)
    BQ_DONE,  // nothing is left for this worker in the batch
};

struct bq_step_t {
    bq_step_kind kind;
    int32_t band; // BQ_OPEN: the member of the next batch
};

using bq_task_fn = void (*)(void *context);

struct band_queue_t {
    // The run's thread only.
    std::thread helper; // when helper_running
    bool helper_running;

    std::mutex lock;
    std::condition_variable changed;

    // Under the lock: the helper's task.
    bq_task_fn task;  // posted and not yet started; null when none
    void *context;    // the task's argument
    bool helper_busy; // a task is posted and has not ended
    bool stop;        // the helper thread is to end

    // Under the lock: the current batch.
    const rss_plan_t *plan;     // read-only
    int32_t next_band;          // the next band to be folded
    int32_t failed;             // index of the first member that fails, or BQ_NO_FAILURE
    bool last_batch;            // its rounded bands are taken into the result
    std::bitset<32768> rounded; // per band: rounded, waiting to be taken
    int32_t taken;              // bands taken into the result
    int32_t next_open;          // the next member of the next batch to open ahead
    int32_t open_count;         // members of the next batch to open ahead
};

// Starts the helper thread. False when it cannot be started; the run's
// thread then does all the work. `q` must be value-initialised.
bool bq_start(band_queue_t *q);

// Ends the helper thread once its task is done. Safe when it never started.
void bq_stop(band_queue_t *q);

// Runs task(context) on the helper (which must be running and idle).
void bq_post(band_queue_t *q, bq_task_fn task, void *context);

// Waits until the helper's task has ended; returns at once when none runs.
void bq_wait_helper(band_queue_t *q);

// Sets up a batch over the plan's bands, after which the workers open the
// first open_ahead members of the next batch; the helper must be idle.
void bq_begin(band_queue_t *q, const rss_plan_t *plan, bool last_batch, int32_t open_ahead);

// The next step of a worker, waiting as long as there is none yet. *held is
// the band the worker has folded and not yet rounded, or -1; `taker` is the
// run's thread. A band held when a member fails is dropped: the run fails.
bq_step_t bq_next(band_queue_t *q, bool taker, int32_t *held);

// A worker has folded `band`. True when it is to hold the band and round it
// into its slot (bq_next says when); otherwise the band is done with, or, in
// the last batch of a run in batches, waits for the run's thread to round it
// as it takes it.
bool bq_folded(band_queue_t *q, int32_t band);

// A worker has rounded `band` into its slot: it may be taken.
void bq_rounded(band_queue_t *q, int32_t band);

// The run's thread has taken `band` (the next in order) into the result.
void bq_taken(band_queue_t *q, int32_t band);

// Member `index` of the batch fails (read error or overflow): later members
// no longer matter, and rounded bands are no longer needed.
void bq_member_fails(band_queue_t *q, int32_t index);

// The index of the first member that fails, or BQ_NO_FAILURE.
int32_t bq_failed(band_queue_t *q);
