// The one place where the run's two threads meet: the helper thread, and the
// state of the bands of a batch that both threads read and change. Every
// field that both threads reach is read and written under `lock` only, and
// every change to them is announced on `changed`.
//
// A batch's bands are taken in turn by the run's thread and the helper. Each
// worker reads and folds the band it took on its own (that work needs no
// lock: the band's rows and the worker's buffers are the worker's). In the
// batch that holds the last input the finished bands are then taken into the
// result in order by the run's thread (the consumer). When finished bands
// wait in a ring of slots, a worker that has folded a band holds it until
// its slot is free, that is until the band `slots` places before it has been
// taken. The ring and the ready flags are kept here too (bq_ring_t), with
// the ring's indexing; the module knows nothing of what the bands hold.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

// No member of the batch has failed.
constexpr int32_t BQ_NO_FAILURE = INT32_MAX;

// What a worker does next.
enum bq_step_kind : uint8_t {
    BQ_FOLD,   // read and fold the band into the sum
    BQ_FINISH, // turn the band it holds into counts in the band's slot
    BQ_ACCEPT, // (consumer) take the band into the result
    BQ_DONE,   // nothing is left for this worker in the batch
};

struct bq_step_t {
    bq_step_kind kind;
    int32_t band;
};

using bq_task_fn = void (*)(void *context);

// A worker's buffer, and a slot of the ring: one input's counts for a band,
// rows of an input read only to be scanned, or result rows on their way to
// the output file. It holds at least one row of the widest window, and a
// band's counts (band rows x width x 4 bytes) always fit one.
constexpr std::size_t RSS_PIECE_BYTES = 128 * 1024;
static_assert(RSS_PIECE_BYTES >= 32767 * 4, "one row of the widest window fits a piece");

// Finished bands whose counts can wait, in a single pass, for the run's
// thread to take them in order.
constexpr int32_t RSS_SLOTS = 16;
static_assert(RSS_SLOTS >= 2, "each worker holds a band while the consumer takes another");

// The storage the queue works on, allocated by the run's thread before any
// band is folded: a ready flag per band and, in a single pass, the ring.
struct bq_ring_t {
    unsigned char *ready; // a flag per band (read and written under the queue's lock)
    unsigned char *slots; // RSS_SLOTS pieces, or null: finished bands stay in place
    int32_t bands;
};

// Allocates the flags, and the ring when `ring`. Safe to free when it fails.
[[nodiscard]] int32_t bq_ring_alloc(bq_ring_t *r, int32_t bands, bool ring);
void bq_ring_free(bq_ring_t *r);

// Band `band`'s slot: written by the worker that finishes the band, read by
// the consumer once it is ready (the queue orders the two).
unsigned char *bq_slot(const bq_ring_t &r, int32_t band);

struct band_queue_t {
    // The run's thread only.
    std::thread helper; // the helper thread, when helper_running
    bool helper_running;

    std::mutex lock;
    std::condition_variable changed;

    // Under the lock: the helper's task.
    bq_task_fn task;  // posted and not yet started; null when none
    void *context;    // the task's argument
    bool helper_busy; // a task is posted and has not ended ("helper done" when false)
    bool stop;        // the helper thread is to end

    // Under the lock: the current batch.
    int32_t bands;        // bands of the camera frame
    int32_t next_band;    // the next band to be taken
    int32_t end;          // members from this index on no longer matter (an earlier one
                          // failed), or BQ_NO_FAILURE
    bool collect;         // the batch holds the last input: finished bands are taken in order
    int32_t slots;        // finished bands wait in a ring of this many slots; 0 when they
                          // stay in place
    unsigned char *ready; // per band: finished and waiting to be taken (storage: the run's)
    int32_t accepted;     // bands taken into the result
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

// Sets up a batch of `bands` bands; the helper must be idle. `ready` holds a
// zeroed flag per band when `collect`.
void bq_begin_batch(band_queue_t *q, int32_t bands, bool collect, int32_t slots,
                    unsigned char *ready);

// The same over a ring's bands: RSS_SLOTS slots when it has them.
void bq_begin_ring(band_queue_t *q, const bq_ring_t &r, bool collect);

// The next step of a worker, waiting as long as there is none yet. *held is
// the band the worker has folded and not yet finished, or -1; the consumer
// is the run's thread. A band held when a member fails is dropped: the run
// fails, and the band is no longer needed.
bq_step_t bq_next(band_queue_t *q, bool consumer, int32_t *held);

// A worker has folded `band`. Yields true when it must hold the band and
// finish it into its slot (bq_next says when); otherwise the band is done
// with (marked ready when the batch is collected without slots).
bool bq_folded(band_queue_t *q, int32_t band);

// A worker has finished `band` into its slot: it is ready to be taken.
void bq_ready(band_queue_t *q, int32_t band);

// The consumer has taken `band` (the next in order) into the result.
void bq_accepted(band_queue_t *q, int32_t band);

// Member `index` of the batch fails (read error or overflow): later members
// no longer matter, and finished bands are no longer needed.
void bq_member_fails(band_queue_t *q, int32_t index);

// Members from this index on no longer matter (BQ_NO_FAILURE: all matter).
int32_t bq_end(band_queue_t *q);
