// The tests' and fuzz targets' allocator behind the memory hooks, for fault
// injection. Thread-safe: it counts allocations, can refuse the k-th one (or
// every one from the k-th on, as when memory has really run out) and blocks
// above a size cap, knows every block it handed out and counts frees of
// blocks it never gave. New blocks are filled with 0xa5 (by default wholly)
// so that code cannot rely on zeroed memory.
#pragma once

#include <cstddef>
#include <cstdint>

struct fault_alloc_stats_t {
    int64_t allocations;   // allocation calls since install, refused ones included
    int64_t refused;       // calls refused by their number (fail_at)
    int64_t oversized;     // calls refused for asking more than the cap
    int64_t live;          // blocks handed out and not yet freed
    int64_t foreign_frees; // frees of blocks this allocator did not hand out
};

// What the allocator refuses and fills.
struct fault_alloc_plan_t {
    int64_t fail_at = 0;       // refuse this allocation (1-based); 0 none
    bool keep_failing = false; // and every one after it
    // Refuse larger blocks, so that a damaged header cannot make a fuzzed
    // run ask the system for gigabytes.
    std::size_t max_block = SIZE_MAX;
    // Bytes at the start of each new block that are filled (the fuzz targets
    // fill only the head: filling megabytes per input slows them down).
    std::size_t fill = SIZE_MAX;
};

// Points every memory hook at the allocator and clears its counters.
void fault_alloc_install(const fault_alloc_plan_t &plan);

// The same, refusing the fail_at-th allocation (1-based; 0 none) and, with
// keep_failing, every one after it.
inline void fault_alloc_install(int64_t fail_at = 0, bool keep_failing = false) {
    fault_alloc_install(fault_alloc_plan_t{.fail_at = fail_at, .keep_failing = keep_failing});
}

// Restores the runtime's allocator. Blocks still live stay known, so that a
// later free of one is not counted as foreign until the next install.
void fault_alloc_uninstall();

fault_alloc_stats_t fault_alloc_stats();

// Installs for the lifetime of the scope.
struct fault_alloc_scope {
    explicit fault_alloc_scope(int64_t fail_at = 0, bool keep_failing = false) {
        fault_alloc_install(fail_at, keep_failing);
    }
    ~fault_alloc_scope() { fault_alloc_uninstall(); }
    fault_alloc_scope(const fault_alloc_scope &) = delete;
    fault_alloc_scope &operator=(const fault_alloc_scope &) = delete;
};
