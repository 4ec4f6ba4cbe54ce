// Map arithmetic: conversions, scale, square, add, square root and the
// valid-data window.
#include "maps/maps.h"
#include "support/support.h"

#include "map_builders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

namespace {

constexpr double INV = DBL_MAP_INVALID;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double BELOW_INV = std::nextafter(INV, 0.0);

window_t row_window(std::size_t n) {
    return {0, 0, static_cast<int16_t>(n), 1};
}

void expect_bits(const dbl_map_t &m, const std::vector<double> &expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(same_bits(m.matrix[i], expected[i]))
            << "element " << i << ": " << m.matrix[i] << " != " << expected[i];
    }
}

TEST(Convert, IntToDouble) {
    const std::vector<int32_t> in = {5,          -7,         0,          INT32_MIN,  0x7FFFFFF7,
                                     0x7FFFFFF8, 0x7FFFFFF9, 0x7FFFFFFA, 0x7FFFFFFB, 0x7FFFFFFC,
                                     0x7FFFFFFD, 0x7FFFFFFE, 0x7FFFFFFF};
    int_map_t src = int_map_of(row_window(in.size()), in);
    dbl_map_t dst = dbl_map_of(row_window(in.size()), std::vector<double>(in.size(), NaN));
    ASSERT_EQ(int_map_to_dbl(&src, &dst), 0);
    expect_bits(
        dst, {5.0, -7.0, 0.0, -2147483648.0, 2147483639.0, INV, INV, INV, INV, INV, INV, INV, INV});
    int_map_free(&src);
    dbl_map_free(&dst);
}

// Half away from zero within [-2^26, 2^26 - 1]; the range test is made before
// rounding (67108863.4 is out), and 0.49999999999999994 + 0.5 would round to 1.
TEST(Convert, DoubleToIntRoundsWithinTheRange) {
    const struct {
        double x;
        int32_t expected;
    } cases[] = {{2.5, 3},
                 {-2.5, -3},
                 {2.4999, 2},
                 {-2.4999, -2},
                 {0.5, 1},
                 {-0.5, -1},
                 {0.49999999999999994, 0},
                 {-0.49999999999999994, 0},
                 {-0.0, 0},
                 {67108863.0, 67108863},
                 {67108862.5, 67108863},
                 {67108863.4, INT_MAP_INVALID},
                 {67108863.6, INT_MAP_INVALID},
                 {-67108864.0, -67108864},
                 {-67108863.5, -67108864},
                 {-67108864.2, INT_MAP_INVALID},
                 {NaN, INT_MAP_INVALID},
                 {INV, INT_MAP_INVALID},
                 {-INV, INT_MAP_INVALID},
                 {std::numeric_limits<double>::infinity(), INT_MAP_INVALID},
                 {-std::numeric_limits<double>::infinity(), INT_MAP_INVALID},
                 {3e9, INT_MAP_INVALID}};
    std::vector<double> in;
    for (const auto &c : cases) {
        in.push_back(c.x);
    }
    dbl_map_t src = dbl_map_of(row_window(in.size()), in);
    int_map_t dst = int_map_filled(row_window(in.size()), 12345);
    ASSERT_EQ(dbl_map_to_int(&src, &dst), 0);
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(dst.matrix[i], cases[i].expected) << "x = " << cases[i].x;
    }
    int_map_free(&dst);
    dbl_map_free(&src);
}

TEST(Convert, MismatchedWindowsLeaveTheDestination) {
    const window_t w{0, 0, 3, 2};
    int_map_t isrc = int_map_filled(w, 1);
    dbl_map_t dsrc = dbl_map_of(w, std::vector<double>(6, 1.0));
    for (window_t other :
         {window_t{1, 0, 3, 2}, window_t{0, 0, 2, 3}, window_t{0, 0, 3, 3}, window_t{0, 0, 3, 1}}) {
        const std::size_t n = static_cast<std::size_t>(other.width) * other.height;
        dbl_map_t ddst = dbl_map_of(other, std::vector<double>(n, -9.0));
        int_map_t idst = int_map_filled(other, -9);
        EXPECT_EQ(int_map_to_dbl(&isrc, &ddst), ERR_WINDOWS_MISMATCHED) << other;
        EXPECT_EQ(dbl_map_copy(&dsrc, &ddst), ERR_WINDOWS_MISMATCHED) << other;
        EXPECT_EQ(dbl_map_to_int(&dsrc, &idst), ERR_WINDOWS_MISMATCHED) << other;
        EXPECT_EQ(elements(ddst.matrix, n), std::vector<double>(n, -9.0));
        EXPECT_EQ(elements(idst.matrix, n), std::vector<int32_t>(n, -9));
        dbl_map_free(&ddst);
        int_map_free(&idst);
    }
    int_map_free(&isrc);
    dbl_map_free(&dsrc);
}

TEST(Convert, CopyIsBitForBit) {
    const std::vector<double> in = {-0.0, NaN, -NaN, INV, 1e-310, -1.5};
    dbl_map_t src = dbl_map_of({4, 4, 3, 2}, in);
    dbl_map_t dst = dbl_map_of({4, 4, 3, 2}, std::vector<double>(6, 7.0));
    ASSERT_EQ(dbl_map_copy(&src, &dst), 0);
    expect_bits(dst, in);
    dbl_map_free(&src);
    dbl_map_free(&dst);
}

// Each case: input row, factor (scale) or none (square), status, row afterwards.
struct walk_case {
    std::vector<double> in;
    double factor;
    int32_t rc;
    std::vector<double> out;
};

void run_walks(const std::vector<walk_case> &cases, bool square) {
    for (const walk_case &c : cases) {
        dbl_map_t m = dbl_map_of(row_window(c.in.size()), c.in);
        EXPECT_EQ(square ? dbl_map_square(&m) : dbl_map_scale(&m, c.factor), c.rc);
        expect_bits(m, c.out);
        dbl_map_free(&m);
    }
}

TEST(Scale, ValidElementsOnlyAndOverflowStopsAtOnce) {
    const double half = INV / 2; // exact: a power-of-two step
    run_walks({{{2.0, INV, -3.0, NaN, -1e38}, 0.5, 0, {1.0, INV, -1.5, NaN, -5e37}},
               {{2.0, NaN, INV, 1e38, 3.0}, 4.0, ERR_FP_OVERFLOW, {8.0, NaN, INV, 1e38, 3.0}},
               {{1.0, half, 5.0}, 2.0, ERR_FP_OVERFLOW, {2.0, half, 5.0}}, // y == INV
               {{1.0, -half, 5.0}, 2.0, ERR_FP_OVERFLOW, {2.0, -half, 5.0}},
               {{-INV}, 1.0, ERR_FP_OVERFLOW, {-INV}},
               {{BELOW_INV / 2, -BELOW_INV / 2}, 2.0, 0, {BELOW_INV, -BELOW_INV}}},
              false);
}

TEST(Square, ValidElementsOnlyAndOverflowStopsAtOnce) {
    const double root = std::sqrt(INV);
    ASSERT_EQ(root * root, INV);
    const double below = std::nextafter(root, 0.0);
    ASSERT_LT(below * below, INV);
    run_walks({{{3.0, -4.0, NaN, INV, 0.0, -0.0}, 0, 0, {9.0, 16.0, NaN, INV, 0.0, 0.0}},
               {{2.0, 1e20, 3.0}, 0, ERR_FP_OVERFLOW, {4.0, 1e20, 3.0}},
               {{root}, 0, ERR_FP_OVERFLOW, {root}},
               {{-root}, 0, ERR_FP_OVERFLOW, {-root}},
               {{below, -below}, 0, 0, {below * below, below * below}}},
              true);
}

TEST(Sqrt, NonPositiveBecomesPlusZeroAndInvalidStays) {
    dbl_map_t m =
        dbl_map_of(row_window(10), {16.0, 2.0, 0.0, -0.0, -4.0, -1e300, INV, NaN, -INV, 1e30});
    dbl_map_sqrt(&m);
    expect_bits(m, {4.0, std::sqrt(2.0), 0.0, 0.0, 0.0, 0.0, INV, NaN, 0.0, std::sqrt(1e30)});
    dbl_map_free(&m);
}

TEST(Add, OverTheOverlapOfTwoWindows) {
    const window_t acc_w{0, 0, 4, 4};
    const struct {
        window_t addend_w;
    } cases[] = {{{1, 1, 3, 3}},  {{0, 0, 4, 4}},   {{1, 1, 2, 2}}, {{2, -1, 4, 2}},
                 {{-2, 2, 3, 5}}, {{-1, -1, 6, 6}}, {{3, 3, 1, 1}}};
    for (const auto &c : cases) {
        const window_t aw = c.addend_w;
        std::vector<double> acc_v(16), add_v(static_cast<std::size_t>(aw.width) * aw.height);
        for (std::size_t i = 0; i < acc_v.size(); ++i) {
            acc_v[i] = i == 10 ? INV : i == 15 ? NaN : 10.0 * i;
        }
        for (std::size_t i = 0; i < add_v.size(); ++i) {
            add_v[i] = i == 4 ? NaN : i == 5 ? INV : 1000.0 + i;
        }
        dbl_map_t acc = dbl_map_of(acc_w, acc_v);
        dbl_map_t add = dbl_map_of(aw, add_v);
        ASSERT_EQ(dbl_map_add(&add, &acc), 0) << aw;
        EXPECT_TRUE(acc.window == acc_w);
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 4; ++x) {
                const double s = acc_v[y * 4 + x];
                double expected = s;
                if (x >= aw.x && x < aw.x + aw.width && y >= aw.y && y < aw.y + aw.height) {
                    const double a = add_v[(y - aw.y) * aw.width + (x - aw.x)];
                    expected = (a < INV && s < INV) ? s + a : INV;
                }
                EXPECT_TRUE(same_bits(acc.matrix[y * 4 + x], expected))
                    << aw << " pixel " << x << ',' << y << ": " << acc.matrix[y * 4 + x];
            }
        }
        dbl_map_free(&acc);
        dbl_map_free(&add);
    }
}

TEST(Add, DisjointWindowsLeaveTheAccumulator) {
    dbl_map_t acc = dbl_map_of({0, 0, 4, 4}, std::vector<double>(16, 1.0));
    for (window_t w : {window_t{4, 0, 4, 4}, window_t{0, 4, 4, 4}, window_t{1, 1, 0, 2}}) {
        dbl_map_t add{};
        add.window = w;
        if (w.width > 0) {
            add = dbl_map_of(w, std::vector<double>(16, 2.0));
        }
        EXPECT_EQ(dbl_map_add(&add, &acc), ERR_WINDOWS_DISJOINT) << w;
        EXPECT_EQ(elements(acc.matrix, 16), std::vector<double>(16, 1.0));
        dbl_map_free(&add);
    }
    dbl_map_free(&acc);
}

TEST(Add, OverflowBeyondStrictBoundsStoresTheSumAndStops) {
    const double half = INV / 2;
    dbl_map_t acc = dbl_map_of(row_window(5), {half, -half, BELOW_INV, 1.0, 2.0});
    dbl_map_t add = dbl_map_of(row_window(5), {half, -half, BELOW_INV, 1.0, 2.0});
    EXPECT_EQ(dbl_map_add(&add, &acc), ERR_FP_OVERFLOW);
    expect_bits(acc, {INV, -INV, 2 * BELOW_INV, 1.0, 2.0});

    acc.matrix[0] = -BELOW_INV;
    acc.matrix[1] = 1.0;
    add.matrix[0] = -BELOW_INV;
    EXPECT_EQ(dbl_map_add(&add, &acc), ERR_FP_OVERFLOW);
    expect_bits(acc, {-2 * BELOW_INV, 1.0, 2 * BELOW_INV, 1.0, 2.0});
    dbl_map_free(&acc);
    dbl_map_free(&add);
}

TEST(Rss, OfThreeAndFourIsFive) {
    const window_t w = row_window(6);
    int_map_t a = int_map_of(w, {3, -6, 0, INT_MAP_INVALID, 7, 1});
    int_map_t b = int_map_of(w, {4, 8, 0, 1, 0x7FFFFFFF, 1});
    const struct {
        double factor;
        std::vector<int32_t> expected;
    } cases[] = {
        {1.0, {5, 10, 0, INT_MAP_INVALID, INT_MAP_INVALID, 1}},
        {0.5, {3, 5, 0, INT_MAP_INVALID, INT_MAP_INVALID, 1}}, // 2.5 rounds up
    };
    for (const auto &c : cases) {
        dbl_map_t da = dbl_map_of(w, std::vector<double>(6, 0.0));
        dbl_map_t db = dbl_map_of(w, std::vector<double>(6, 0.0));
        dbl_map_t sum = dbl_map_of(w, std::vector<double>(6, 0.0));
        int_map_t out = int_map_filled(w, 0);
        ASSERT_EQ(int_map_to_dbl(&a, &da), 0);
        ASSERT_EQ(int_map_to_dbl(&b, &db), 0);
        ASSERT_EQ(dbl_map_scale(&da, c.factor), 0);
        ASSERT_EQ(dbl_map_scale(&db, c.factor), 0);
        ASSERT_EQ(dbl_map_square(&da), 0);
        ASSERT_EQ(dbl_map_square(&db), 0);
        ASSERT_EQ(dbl_map_copy(&da, &sum), 0);
        ASSERT_EQ(dbl_map_add(&db, &sum), 0);
        dbl_map_sqrt(&sum);
        ASSERT_EQ(dbl_map_to_int(&sum, &out), 0);
        EXPECT_EQ(elements(out.matrix, 6), c.expected) << "factor " << c.factor;
        dbl_map_free(&da);
        dbl_map_free(&db);
        dbl_map_free(&sum);
        int_map_free(&out);
    }
    int_map_free(&a);
    int_map_free(&b);
}

TEST(ValidWindow, SmallestWindowHoldingValidData) {
    // Maps of 10 x 10 at `origin`, valid only at the listed offsets; a search
    // window with a negative width stands for none.
    const window_t no_sw{0, 0, -1, 0}, untouched{-1, -1, -1, -1};
    const struct {
        int16_t origin;
        std::vector<std::pair<int, int>> valid;
        window_t sw;
        int32_t rc;
        window_t out;
    } cases[] = {{0, {{2, 3}, {7, 5}}, no_sw, 0, {2, 3, 6, 3}},
                 {100, {{2, 3}, {7, 5}}, no_sw, 0, {102, 103, 6, 3}},
                 {0, {{0, 0}, {9, 9}}, no_sw, 0, {0, 0, 10, 10}},
                 {0, {{9, 0}, {0, 9}}, no_sw, 0, {0, 0, 10, 10}},
                 {0, {{9, 9}}, no_sw, 0, {9, 9, 1, 1}},
                 {0, {{0, 0}}, no_sw, 0, {0, 0, 1, 1}},
                 {0, {{4, 6}}, no_sw, 0, {4, 6, 1, 1}},
                 {0, {{2, 3}, {7, 5}}, {3, 3, 5, 5}, 0, {7, 5, 1, 1}},
                 {0, {{2, 3}, {7, 5}}, {0, 0, 10, 10}, 0, {2, 3, 6, 3}},
                 {0, {}, no_sw, ERR_ALL_BAD_DATA, {0, 0, 0, 0}},
                 {0, {{2, 3}, {7, 5}}, {3, 3, 4, 2}, ERR_ALL_BAD_DATA, {0, 0, 0, 0}},
                 {0, {{9, 9}}, {8, 8, 3, 3}, ERR_IMPROPER_WINDOW, untouched},
                 {0, {{9, 9}}, {20, 0, 2, 2}, ERR_IMPROPER_WINDOW, untouched},
                 {0, {{9, 9}}, {2, 2, 0, 0}, ERR_IMPROPER_WINDOW, untouched}};
    const int32_t invalid[] = {INT_MAP_INVALID, INT32_MAX, 0x7FFFFFFC};
    const int32_t valid[] = {INT32_MIN, 0x7FFFFFF7};
    for (const auto &c : cases) {
        std::vector<int32_t> v(100);
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] = invalid[i % 3];
        }
        for (std::size_t i = 0; i < c.valid.size(); ++i) {
            v[c.valid[i].second * 10 + c.valid[i].first] = valid[i % 2];
        }
        int_map_t m = int_map_of({c.origin, c.origin, 10, 10}, v);
        window_t out = untouched;
        EXPECT_EQ(int_map_valid_window(&m, c.sw.width < 0 ? nullptr : &c.sw, &out), c.rc)
            << "search " << c.sw;
        EXPECT_TRUE(out == c.out) << out;
        int_map_free(&m);
    }
}

} // namespace
