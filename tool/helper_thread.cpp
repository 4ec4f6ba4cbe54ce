// The helper thread. This file alone is built with exceptions enabled, for
// one reason: starting a thread reports failure by throwing, and the run
// then works on its own thread instead.
#include "tool/helper_thread.h"

#include <system_error>

namespace {

void helper_main(helper_thread_t *h) {
    std::unique_lock<std::mutex> guard(h->lock);
    for (;;) {
        h->wake.wait(guard, [h] { return h->task != nullptr || h->stop; });
        if (h->task == nullptr) {
            return;
        }
        void (*task)(void *) = h->task;
        void *context = h->context;
        guard.unlock();
        task(context);
        guard.lock();
        h->task = nullptr;
        h->busy = false;
        h->wake.notify_all();
    }
}

} // namespace

bool helper_start(helper_thread_t *h) {
    try {
        h->thread = std::thread(helper_main, h);
        h->running = true;
    } catch (const std::system_error &) {
        h->running = false;
    }
    return h->running;
}

void helper_post(helper_thread_t *h, void (*task)(void *), void *context) {
    const std::lock_guard<std::mutex> guard(h->lock);
    h->task = task;
    h->context = context;
    h->busy = true;
    h->wake.notify_all();
}

void helper_wait(helper_thread_t *h) {
    std::unique_lock<std::mutex> guard(h->lock);
    h->wake.wait(guard, [h] { return !h->busy; });
}

void helper_stop(helper_thread_t *h) {
    if (!h->running) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(h->lock);
        h->stop = true;
        h->wake.notify_all();
    }
    h->thread.join();
    h->running = false;
}
