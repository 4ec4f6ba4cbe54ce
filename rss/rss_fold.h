// Per-pixel kernels of the RSS run. They work on rows of phase counts as a
// data file stores them (big-endian) and on rows of the running sum of
// squares, with the map operations' arithmetic, pixel for pixel: widen,
// scale, square, add; root and rounding at the end.
//
// The sum marks an invalid pixel with a NaN instead of DBL_MAP_INVALID: a NaN
// carries itself through every later addition, so the inner loop needs no
// validity test. Every other value in the sum lies in [0, DBL_MAP_INVALID).
#pragma once

#include <cstddef>
#include <cstdint>

// A set of kernels (portable, or AVX2 where the processor has it). The run's
// plan holds the set it uses.
struct fold_kernels_t;

// The best the processor has, and the portable set (which tests and
// benchmarks choose through the tuning, rss/rss_tuning.h).
const fold_kernels_t *fold_best_kernels();
const fold_kernels_t *fold_portable_kernels();

// "avx2" or "portable".
const char *fold_kernel_name(const fold_kernels_t *kernels);

// How one input enters the sum.
struct fold_params_t {
    double factor; // unit factor
    bool scaled;   // multiply by factor (it is not within 1e-10 of 1)
    bool first;    // the first input: its squares replace the sum
};

// Folds n pixels: raw holds n big-endian phase counts, sum the n matching
// sum pixels. Yields true when scaling, squaring or adding overflowed
// (ERR_FP_OVERFLOW) at any of them; the sum is then meaningless.
bool fold_row(const fold_kernels_t *kernels, const unsigned char *raw, double *sum, std::size_t n,
              const fold_params_t &params);

// Marks n sum pixels invalid (camera pixels outside an input's window).
void fold_invalidate(double *sum, std::size_t n);

// Extends the valid-data extent of an input by one of its rows (n raw
// big-endian counts): *left and *right are the extreme columns holding a
// valid count so far (start with n and -1). Yields whether the row holds one.
bool row_valid_extent(const unsigned char *raw, int32_t n, int32_t *left, int32_t *right);

// Turns n final sums into phase counts: square root, then rounding half away
// from zero, with INT_MAP_INVALID for invalid pixels and roots beyond
// 67108863. The counts go to `out` in machine order, 4 bytes each; out may
// overlap the sum's own storage as long as it does not start after sum (the
// run packs the result into the sum map this way).
void round_row(const fold_kernels_t *kernels, const double *sum, unsigned char *out, std::size_t n);

// Extends the valid extent of the result by one row of n counts written by
// round_row; as row_valid_extent.
bool result_valid_extent(const unsigned char *counts, int32_t n, int32_t *left, int32_t *right);

// Copies n phase counts from machine order to the file's big-endian order.
void store_be_counts(const fold_kernels_t *kernels, const unsigned char *counts, unsigned char *out,
                     std::size_t n);
