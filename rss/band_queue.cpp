// The band queue and the helper thread. This file alone is built with
// exceptions enabled, for one reason: starting a thread reports failure by
// throwing, and the run then works on its own thread instead.
#include "rss/band_queue.h"

#include "support/support.h"

#include <cstring>

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
bool pick_step(band_queue_t *q, bool consumer, int32_t *held, bq_step_t *step) {
    const bool failed = q->end != BQ_NO_FAILURE;
    if (consumer && q->collect && !failed && q->accepted < q->bands && q->ready[q->accepted] != 0) {
        *step = {BQ_ACCEPT, q->accepted};
        return true;
    }
    if (*held >= 0 && failed) {
        *held = -1;
    }
    if (*held >= 0) {
        if (q->accepted <= *held - q->slots) {
            return false; // its slot still holds a band not taken
        }
        *step = {BQ_FINISH, *held};
        *held = -1;
        return true;
    }
    if (q->next_band < q->bands) {
        *step = {BQ_FOLD, q->next_band++};
        return true;
    }
    // The consumer is done once every band is taken (or no longer needed).
    if (consumer && q->collect && !failed && q->accepted < q->bands) {
        return false;
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

void bq_begin_batch(band_queue_t *q, int32_t bands, bool collect, int32_t slots,
                    unsigned char *ready) {
    const guard_t guard(q->lock);
    q->bands = bands;
    q->next_band = 0;
    q->end = BQ_NO_FAILURE;
    q->collect = collect;
    q->slots = slots;
    q->ready = ready;
    q->accepted = 0;
}

int32_t bq_ring_alloc(bq_ring_t *r, int32_t bands, bool ring) {
    r->bands = bands;
    r->ready = static_cast<unsigned char *>(u_malloc_fn(static_cast<std::size_t>(bands)));
    r->slots =
        ring ? static_cast<unsigned char *>(u_malloc_fn(RSS_SLOTS * RSS_PIECE_BYTES)) : nullptr;
    if (r->ready == nullptr || (ring && r->slots == nullptr)) {
        return ERR_NO_MEM;
    }
    std::memset(r->ready, 0, static_cast<std::size_t>(bands));
    return 0;
}

void bq_ring_free(bq_ring_t *r) {
    u_free_fn(r->ready);
    u_free_fn(r->slots);
    *r = bq_ring_t{};
}

unsigned char *bq_slot(const bq_ring_t &r, int32_t band) {
    return r.slots + static_cast<std::size_t>(band % RSS_SLOTS) * RSS_PIECE_BYTES;
}

void bq_begin_ring(band_queue_t *q, const bq_ring_t &r, bool collect) {
    bq_begin_batch(q, r.bands, collect, r.slots != nullptr ? RSS_SLOTS : 0, r.ready);
}

bq_step_t bq_next(band_queue_t *q, bool consumer, int32_t *held) {
    guard_t guard(q->lock);
    bq_step_t step;
    while (!pick_step(q, consumer, held, &step)) {
        q->changed.wait(guard);
    }
    return step;
}

bool bq_folded(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    if (!q->collect || q->end != BQ_NO_FAILURE) {
        return false;
    }
    if (q->slots > 0) {
        return true;
    }
    q->ready[band] = 1;
    q->changed.notify_all();
    return false;
}

void bq_ready(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    q->ready[band] = 1;
    q->changed.notify_all();
}

void bq_accepted(band_queue_t *q, int32_t band) {
    const guard_t guard(q->lock);
    q->accepted = band + 1;
    q->changed.notify_all();
}

void bq_member_fails(band_queue_t *q, int32_t index) {
    const guard_t guard(q->lock);
    if (index + 1 < q->end) {
        q->end = index + 1;
    }
    q->changed.notify_all();
}

int32_t bq_end(band_queue_t *q) {
    const guard_t guard(q->lock);
    return q->end;
}
