#include "common/alloc_hooks.h"

#include "support/support.h"

#include <cstdlib>
#include <cstring>

tracking_alloc_t g_tracking;

namespace {

bool refuse() {
    ++g_tracking.allocations;
    return g_tracking.fail_at != 0 && g_tracking.allocations == g_tracking.fail_at;
}

void *tracked_malloc(std::size_t n) {
    if (refuse()) {
        return nullptr;
    }
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p != nullptr) {
        std::memset(p, 0xa5, n);
        ++g_tracking.live;
    }
    return p;
}

void *tracked_calloc(std::size_t count, std::size_t size) {
    if (refuse()) {
        return nullptr;
    }
    void *p = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (p != nullptr) {
        ++g_tracking.live;
    }
    return p;
}

void *tracked_realloc(void *block, std::size_t n) {
    if (refuse()) {
        return nullptr;
    }
    void *p = std::realloc(block, n == 0 ? 1 : n);
    if (p != nullptr && block == nullptr) {
        ++g_tracking.live;
    }
    return p;
}

void tracked_free(void *block) {
    if (block != nullptr) {
        --g_tracking.live;
        std::free(block);
    }
}

} // namespace

void tracking_install(int64_t fail_at) {
    g_tracking = tracking_alloc_t{0, 0, fail_at};
    u_malloc_fn = tracked_malloc;
    u_calloc_fn = tracked_calloc;
    u_realloc_fn = tracked_realloc;
    u_free_fn = tracked_free;
}

void tracking_uninstall() {
    u_malloc_fn = std::malloc;
    u_calloc_fn = std::calloc;
    u_realloc_fn = std::realloc;
    u_free_fn = std::free;
}
