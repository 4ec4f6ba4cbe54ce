// A second thread that runs one task at a time for the run: the run hands it
// a task, does its own share of the work, and waits for the task to end.
// Tasks must not call the memory hooks or print: the hooks are only ever
// called from the run's own thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

struct helper_thread_t {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    void (*task)(void *context); // the task to run, null when there is none
    void *context;
    bool busy;    // a task is posted and has not ended
    bool stop;    // the thread is to end
    bool running; // the thread exists
};

// Starts the thread. False when it cannot be started; the run then does all
// the work itself. `h` must be value-initialised: helper_thread_t h{};
bool helper_start(helper_thread_t *h);

// Runs task(context) on the thread (which must be running and idle).
void helper_post(helper_thread_t *h, void (*task)(void *context), void *context);

// Waits until the posted task has ended; returns at once when none is.
void helper_wait(helper_thread_t *h);

// Ends the thread once its task is done. Safe when it never started.
void helper_stop(helper_thread_t *h);
