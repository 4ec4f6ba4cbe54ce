// The run's kernels, portable and vector, against the map operations on
// hostile values: every value at every lane of a vector step and in the
// scalar tail.
#include "maps/map_builders.h"
#include "maps/round.h"
#include "rss/rss_fold.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double SUBNORMAL = 4.9406564584124654e-324;
constexpr int32_t INVALID = 0x7FFFFFF8;
const double BELOW_LIMIT = std::nextafter(DBL_MAP_INVALID, 0.0);

std::vector<const fold_kernels_t *> kernel_sets() {
    std::vector<const fold_kernels_t *> sets = {fold_portable_kernels()};
    if (fold_best_kernels() != sets[0]) {
        sets.push_back(fold_best_kernels());
    }
    return sets;
}

// The values rotated by k places: each value meets every position.
template <typename T> std::vector<T> rotated(const std::vector<T> &v, std::size_t k) {
    std::vector<T> r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        r[(i + k) % v.size()] = v[i];
    }
    return r;
}

TEST(Rounding, HalvesAndLimits) {
    const struct {
        double x;
        int32_t count;
    } cases[] = {
        {0.5, 1},
        {-0.5, -1},
        {2.5, 3},
        {-2.5, -3},
        {0.49999999999999994, 0},
        {-0.49999999999999994, 0},
        {1.4999999999999998, 1},
        {4503599627370495.5, INVALID},
        {67108862.5, 67108863},
        {67108863.0, 67108863},
        {67108863.5, INVALID},
        {std::nextafter(67108863.0, INF), INVALID},
        {-67108863.5, -67108864},
        {-67108864.0, -67108864},
        {-67108864.5, INVALID},
        {std::nextafter(-67108864.0, -INF), INVALID},
        {SUBNORMAL, 0},
        {-0.0, 0},
        {NaN, INVALID},
        {INF, INVALID},
        {-INF, INVALID},
    };
    std::vector<double> xs;
    for (const auto &c : cases) {
        EXPECT_EQ(map_round_count(c.x), c.count) << c.x;
        xs.push_back(c.x);
    }
    dbl_map_t in = dbl_map_of({0, 0, static_cast<int16_t>(xs.size()), 1}, xs);
    int_map_t out = int_map_filled(in.window, 0);
    ASSERT_EQ(dbl_map_to_int(&in, &out), 0);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        EXPECT_EQ(out.matrix[i], cases[i].count) << xs[i];
    }
    dbl_map_free(&in);
    int_map_free(&out);
}

// round_row against dbl_map_sqrt then dbl_map_to_int.
TEST(FoldKernels, FinishRoundsAsTheMapOperations) {
    const std::vector<double> sums = {
        0.0,
        SUBNORMAL,
        0.25,
        std::nextafter(0.25, 0.0),
        std::nextafter(0.25, 1.0),
        6.25,
        0.49999999999999994 * 0.49999999999999994,
        2.25,
        67108862.5 * 67108862.5,
        67108863.0 * 67108863.0,
        std::nextafter(67108863.0 * 67108863.0, INF),
        67108863.5 * 67108863.5,
        std::nextafter(67108863.5 * 67108863.5, 0.0),
        1e300,
        BELOW_LIMIT,
        NaN,
        1.0,
    };
    const std::vector<const fold_kernels_t *> sets = kernel_sets();
    for (std::size_t set = 0; set < sets.size(); ++set) {
        const fold_kernels_t *k = sets[set];
        for (std::size_t shift = 0; shift < 5; ++shift) {
            const std::vector<double> row = rotated(sums, shift);
            std::vector<double> map_values = row;
            for (double &v : map_values) {
                v = std::isnan(v) ? DBL_MAP_INVALID : v;
            }
            dbl_map_t ref = dbl_map_of({0, 0, static_cast<int16_t>(row.size()), 1}, map_values);
            int_map_t want = int_map_filled(ref.window, 0);
            dbl_map_sqrt(&ref);
            ASSERT_EQ(dbl_map_to_int(&ref, &want), 0);
            std::vector<int32_t> got(row.size());
            round_row(k, row.data(), reinterpret_cast<unsigned char *>(got.data()), row.size());
            EXPECT_EQ(got, elements(want.matrix, row.size())) << "kernel set " << set;
            dbl_map_free(&ref);
            int_map_free(&want);
        }
    }
}

// fold_row against int_map_to_dbl, dbl_map_scale, dbl_map_square and
// dbl_map_add: the same overflow, and where there is none, the same sums.
TEST(FoldKernels, FoldAddsAsTheMapOperations) {
    const std::vector<int32_t> counts = {
        0,    1,    -1, 67108863, -67108864, INVALID, INVALID + 3, 0x7FFFFFF7, -2147483647 - 1,
        4096, -300, 77};
    // Sums as the run keeps them: NaN, or in [0, DBL_MAP_INVALID).
    const std::vector<double> before = {0.0,  BELOW_LIMIT, 1e30, SUBNORMAL, NaN, 2.5,
                                        3e38, 1.0,         0.0,  NaN,       7.0, 0.25};
    const double factors[] = {
        1.0, 0.5, -3.0, 1e-310, 0.0, 1e150, 1e20, NaN, INF, -INF, std::nextafter(1.0, 2.0)};
    const window_t w = {0, 0, static_cast<int16_t>(counts.size()), 1};
    const std::vector<const fold_kernels_t *> sets = kernel_sets();
    for (std::size_t set = 0; set < sets.size(); ++set) {
        const fold_kernels_t *k = sets[set];
        for (const double f : factors) {
            for (const bool first : {true, false}) {
                for (std::size_t shift = 0; shift < 5; ++shift) {
                    const std::vector<int32_t> c = rotated(counts, shift);
                    const std::vector<double> s = rotated(before, shift);
                    // The map operations, step by step.
                    int_map_t in = int_map_of(w, c);
                    dbl_map_t work = dbl_map_of(w, std::vector<double>(c.size()));
                    std::vector<double> acc_values = s;
                    for (double &v : acc_values) {
                        v = std::isnan(v) ? DBL_MAP_INVALID : v;
                    }
                    dbl_map_t acc = dbl_map_of(w, acc_values);
                    ASSERT_EQ(int_map_to_dbl(&in, &work), 0);
                    bool overflow = f != 1.0 && dbl_map_scale(&work, f) == ERR_FP_OVERFLOW;
                    overflow = overflow || dbl_map_square(&work) == ERR_FP_OVERFLOW;
                    const dbl_map_t &want = first ? work : acc;
                    if (!first && !overflow) {
                        overflow = dbl_map_add(&work, &acc) == ERR_FP_OVERFLOW;
                    }
                    // The kernel, on big-endian counts.
                    std::vector<unsigned char> raw(4 * c.size());
                    for (std::size_t i = 0; i < c.size(); ++i) {
                        const auto u = static_cast<uint32_t>(c[i]);
                        raw[4 * i] = static_cast<unsigned char>(u >> 24);
                        raw[4 * i + 1] = static_cast<unsigned char>(u >> 16);
                        raw[4 * i + 2] = static_cast<unsigned char>(u >> 8);
                        raw[4 * i + 3] = static_cast<unsigned char>(u);
                    }
                    std::vector<double> sum = s;
                    const bool got_overflow =
                        fold_row(k, raw.data(), sum.data(), sum.size(), {f, f != 1.0, first});
                    EXPECT_EQ(got_overflow, overflow)
                        << "kernel set " << set << " factor " << f << " first " << first;
                    for (std::size_t i = 0; i < sum.size() && !overflow; ++i) {
                        const double m = want.matrix[i];
                        if (!(m < DBL_MAP_INVALID)) { // invalid in the map: NaN in the sum
                            EXPECT_TRUE(std::isnan(sum[i])) << "pixel " << i << " factor " << f;
                        } else {
                            EXPECT_TRUE(same_bits(sum[i], m)) << "pixel " << i << " factor " << f
                                                              << ": " << sum[i] << " vs " << m;
                        }
                    }
                    int_map_free(&in);
                    dbl_map_free(&work);
                    dbl_map_free(&acc);
                }
            }
        }
    }
}

} // namespace
