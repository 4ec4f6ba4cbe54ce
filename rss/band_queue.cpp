// The band queue and the helper thread. This file alone is built with
// exceptions enabled, for one reason: starting a thread reports failure by
// throwing, and the run then works on its own thread instead.
#include "rss/band_queue.h"

namespace {

using guard_t = std::unique_lock<std::mutex>;

void helper_main(band_queue_t *q) {
    guard_t guard(q->lock);
    for (;;) {
        q->changed.wait(guard, [q] { return q->task != nullptr || q->stop; });
        if (q->task == nullptr) {
            return;
        }
        const bq_task_fn task = q->task;
        void *context = q->context;
        q->task = nullptr;
        guard.unlock();
        task(context);
        guard.lock();
        q->helper_busy = false;
        q->changed.notify_all();
    }
}

// Picks the worker's next step; false when it must wait for the other.
bool pick_step(band_queue_t *q, bool taker, int32_t *held, bq_step_t *step) {
    const int32_t bands = q->plan->bands;
    const bool taking = q->last_batch && q->failed == BQ_NO_FAILURE && q->taken < bands;
    if (taker && taking && q->rounded[q->taken]) {
        *step = {BQ_TAKE, q->taken};
        return true;
    }
    if (*held >= 0 && q->failed != BQ_NO_FAILURE) {
        *held = -1;
    }
    if (*held >= 0) {
        if (q->taken <= *held - q->plan->slots) {
            return false; // its slot still holds a band not taken
        }
        *step = {BQ_ROUND, *held};
        *held = -1;
        return true;
    }
    if (q->next_band < bands) {
        *step = {BQ_FOLD, q->next_band++};
        return true;
    }
    if (taker && taking) {
        return false; // bands still to be taken
    }
    if (q->next_open < q->open_count && q->failed == BQ_NO_FAILURE) {
        *step = {BQ_OPEN, q->next_open++};
        return true;
    }
    *step = {BQ_DONE, -1};
    return true;
}

} // namespace

bool bq_start(band_queue_t *q) {
    try {
        q->helper = std::thread(helper_main, q);
        q->helper_running = true;
    } catch (...) {
        // No thread (std::system_error) or no memory for its state
        // (std::bad_alloc): the run's thread does all the work.
        q->helper_running = false;
    }
    return q->helper_running;
}

void bq_stop(band_queue_t *q) {
    if (!q->helper_running) {
        return;
    }
    {
        const guard_t guard(q->lock);
        q->stop = true;
        q->changed.notify_all();
    }
    q->helper.join();
    q->helper_running = false;
}

void bq_post(band_queue_t *q, bq_task_fn task, void *context) {
    const guard_t guard(q->lock);
    q->task = task;
    q->context = context;
    q->helper_busy = true;
    q->changed.notify_all();
}

void bq_wait_helper(band_queue_t *q) {
    guard_t guard(q->lock);
    q->changed.wait(guard, [q] { return !q->helper_busy; });
}

void bq_begin(band_queue_t *q, const rss_plan_t *plan, bool last_batch, int32_t open_ahead) {
    const guard_t guard(q->lock);
    q->next_open = 0;
    q->open_count = open_ahead;
    q->plan = plan;
    q->next_band = 0;
    q->failed = BQ_NO_FAILURE;
    q->last_batch = last_batch;
    q->rounded.reset();
    q->taken = 0;
}

bq_step_t bq_next(band_queue_t *q, bool taker, int32_t *held) {
    guard_t guard(q->lock);
    bq_step_t step;
    while (!pick_step(q, taker, held, &step)) {
        q->changed.wait(guard);
    }
    return step;
}

bool bq_folded(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    if (!q->last_batch || q->failed != BQ_NO_FAILURE) {
        return false;
    }
    if (q->plan->slots > 0) {
        return true;
    }
    q->rounded[band] = true; // the run's thread rounds it as it takes it
    q->changed.notify_all();
    return false;
}

void bq_rounded(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    q->rounded[band] = true;
    q->changed.notify_all();
}

void bq_taken(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    q->taken = band + 1;
    q->changed.notify_all();
}

void bq_member_fails(band_queue_t *q, int32_t index) {
    const guard_t guard(q->lock);
    if (index < q->failed) {
        q->failed = index;
    }
    q->changed.notify_all();
}

int32_t bq_failed(band_queue_t *q) {
    const guard_t guard(q->lock);
    return q->failed;
}
