// What the project's own callers reach beyond <kelvorin/rss.h>: the run with
// a tuning, through which tests and benchmarks reach several bands and
// batches with small inputs, the run without its helper thread or without
// writing ahead, and the portable kernels.
#pragma once

#include "rss/rss.h"

#include <cstddef>
#include <cstdint>

struct fold_kernels_t;

constexpr int32_t RSS_BATCH_MAX = 64;

struct rss_tuning_t {
    std::size_t band_sum_bytes;              // bytes of the sum per band (at least one row)
    int32_t batch_max;                       // inputs open at once, 1 to RSS_BATCH_MAX
    bool helper_thread;                      // a second thread takes bands too
    const fold_kernels_t *kernels = nullptr; // null: the best the processor has
    bool write_ahead = true;                 // the result's rows may go out before the end
};

// Bands of 256 KiB (a band's sum stays in the second-level cache while every
// input of a batch is folded into it), RSS_BATCH_MAX, with the helper thread.
constexpr rss_tuning_t RSS_TUNING_DEFAULT = {256 * 1024, RSS_BATCH_MAX, true};

// rss_compute with the given tuning.
[[nodiscard]] int32_t rss_compute_tuned(const rss_request_t *request, const rss_sink_t *sink,
                                        const rss_tuning_t &tuning);
