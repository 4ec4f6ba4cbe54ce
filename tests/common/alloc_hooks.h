// A tracking allocator for the memory hooks: counts live blocks, can refuse
// the k-th allocation, and fills new blocks with 0xa5 so code cannot rely on
// zeroed memory.
#pragma once

#include <cstddef>
#include <cstdint>

struct tracking_alloc_t {
    int64_t allocations; // allocations attempted since install
    int64_t live;        // blocks handed out and not yet freed
    int64_t fail_at;     // refuse the allocation with this number (1-based); 0 never
};

extern tracking_alloc_t g_tracking;

// Points u_malloc_fn/u_free_fn (and realloc/calloc) at the tracker and zeroes
// its counters; fail_at as above.
void tracking_install(int64_t fail_at = 0);

// Restores the runtime's allocator.
void tracking_uninstall();

// RAII guard for tests.
struct tracking_scope {
    explicit tracking_scope(int64_t fail_at = 0) { tracking_install(fail_at); }
    ~tracking_scope() { tracking_uninstall(); }
    tracking_scope(const tracking_scope &) = delete;
    tracking_scope &operator=(const tracking_scope &) = delete;
};
