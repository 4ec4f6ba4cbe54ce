#include "common/fault_alloc.h"

#include "support/support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

struct state_t {
    std::mutex lock;
    std::unordered_set<void *> blocks;
    fault_alloc_stats_t stats{};
    fault_alloc_plan_t plan;
};

// Never destroyed: hooks may still run while static objects are torn down.
state_t &state() {
    static state_t *s = new state_t;
    return *s;
}

// Counts the call for `bytes`; true when it is to be refused. Caller holds
// the lock.
bool refuse(state_t &s, std::size_t bytes) {
    const int64_t n = ++s.stats.allocations;
    const fault_alloc_plan_t &p = s.plan;
    if (p.fail_at > 0 && (n == p.fail_at || (p.keep_failing && n > p.fail_at))) {
        ++s.stats.refused;
        return true;
    }
    if (bytes > p.max_block) {
        ++s.stats.oversized;
        return true;
    }
    return false;
}

void remember(state_t &s, void *p) {
    s.blocks.insert(p);
    ++s.stats.live;
}

// Forgets a block; false when it was never handed out.
bool forget(state_t &s, void *p) {
    if (s.blocks.erase(p) == 0) {
        ++s.stats.foreign_frees;
        return false;
    }
    --s.stats.live;
    return true;
}

void *fault_malloc(std::size_t n) {
    state_t &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (refuse(s, n)) {
        return nullptr;
    }
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p != nullptr) {
        std::memset(p, 0xa5, std::min(n, s.plan.fill));
        remember(s, p);
    }
    return p;
}

void *fault_calloc(std::size_t count, std::size_t size) {
    state_t &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const bool overflow = size != 0 && count > SIZE_MAX / size;
    if (refuse(s, overflow ? SIZE_MAX : count * size)) {
        return nullptr;
    }
    void *p = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (p != nullptr) {
        remember(s, p);
    }
    return p;
}

void *fault_realloc(void *block, std::size_t n) {
    state_t &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (refuse(s, n)) {
        return nullptr; // the old block stays valid and live
    }
    const bool known = block == nullptr || forget(s, block);
    void *p = std::realloc(block, n == 0 ? 1 : n);
    if (p == nullptr) {
        if (block != nullptr && known) {
            remember(s, block); // the old block stays valid and live
        }
        return nullptr;
    }
    remember(s, p);
    return p;
}

void fault_free(void *block) {
    if (block == nullptr) {
        return;
    }
    state_t &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    forget(s, block);
    std::free(block); // a foreign block is counted, then released as its owner meant
}

} // namespace

void fault_alloc_install(const fault_alloc_plan_t &plan) {
    state_t &s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.blocks.clear();
        s.stats = fault_alloc_stats_t{};
        s.plan = plan;
    }
    u_malloc_fn = fault_malloc;
    u_calloc_fn = fault_calloc;
    u_realloc_fn = fault_realloc;
    u_free_fn = fault_free;
}

void fault_alloc_uninstall() {
    u_malloc_fn = std::malloc;
    u_calloc_fn = std::calloc;
    u_realloc_fn = std::realloc;
    u_free_fn = std::free;
}

fault_alloc_stats_t fault_alloc_stats() {
    state_t &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.stats;
}
