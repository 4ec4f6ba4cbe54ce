// Window relations and the life cycle, addressing and copying of maps.
#include "maps/maps.h"
#include "support/support.h"

#include "common/fault_alloc.h"
#include "map_builders.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(WnCompare, Relations) {
    const struct {
        window_t a, b;
        int32_t relation;
    } cases[] = {{{0, 0, 10, 10}, {0, 0, 10, 10}, WN_EQUAL},
                 {{0, 0, 10, 10}, {10, 0, 5, 5}, WN_DISJOINT}, // adjacent column
                 {{10, 0, 5, 5}, {0, 0, 10, 10}, WN_DISJOINT},
                 {{0, 0, 10, 10}, {0, 10, 5, 5}, WN_DISJOINT}, // adjacent row
                 {{0, 0, 10, 10}, {9, 0, 5, 5}, WN_OVERLAP},   // one shared column
                 {{0, 0, 10, 10}, {3, 9, 2, 5}, WN_OVERLAP},   // one shared row
                 {{2, -2, 3, 20}, {0, 0, 10, 10}, WN_OVERLAP}, // a cross
                 {{2, 2, 3, 3}, {0, 0, 10, 10}, WN_INSIDE},
                 {{0, 0, 10, 10}, {2, 2, 3, 3}, WN_ENCLOSES},
                 {{0, 0, 10, 5}, {0, 0, 10, 10}, WN_INSIDE}, // shares three edges
                 {{9, 9, 1, 1}, {0, 0, 10, 10}, WN_INSIDE},  // corner pixel
                 {{0, 0, 10, 10}, {9, 9, 1, 1}, WN_ENCLOSES},
                 {{0, 0, 0, 0}, {0, 0, 0, 0}, WN_DISJOINT}, // empty, even with itself
                 {{5, 5, 0, 3}, {5, 5, 0, 3}, WN_DISJOINT},
                 {{5, 5, 0, 3}, {0, 0, 10, 10}, WN_DISJOINT},
                 {{0, 0, 10, 10}, {5, 5, 3, 0}, WN_DISJOINT},
                 // Right edge 41999 does not fit in 16 bits.
                 {{22000, 0, 20000, 1}, {30000, 0, 1, 1}, WN_ENCLOSES},
                 {{30000, 0, 1, 1}, {22000, 0, 20000, 1}, WN_INSIDE},
                 {{32767, 32767, 32767, 32767}, {32767, 32767, 32767, 32767}, WN_EQUAL}};
    for (const auto &c : cases) {
        EXPECT_EQ(wn_compare(&c.a, &c.b), c.relation) << c.a << " vs " << c.b;
    }
}

TEST(MapLifeCycle, InitGivesTheEmptyMap) {
    int_map_t im;
    dbl_map_t dm;
    std::memset(&im, 0x5a, sizeof im);
    std::memset(&dm, 0x5a, sizeof dm);
    int_map_init(&im);
    dbl_map_init(&dm);
    EXPECT_TRUE((im.size == 0 && im.matrix == nullptr && im.window == window_t{}));
    EXPECT_TRUE((dm.size == 0 && dm.matrix == nullptr && dm.window == window_t{}));
}

TEST(MapLifeCycle, AllocAndFree) {
    fault_alloc_scope tracking;
    int_map_t im{0, {3, 4, 5, 6}, nullptr};
    dbl_map_t dm{0, {3, 4, 5, 6}, nullptr};
    intens_map_t nm{0, {3, 4, 5, 6}, 3, 77, nullptr};
    ASSERT_EQ(int_map_alloc(&im), 0);
    ASSERT_EQ(dbl_map_alloc(&dm), 0);
    ASSERT_EQ(intens_map_alloc(&nm), 0);
    EXPECT_EQ(im.size, 30u);
    EXPECT_EQ(dm.size, 30u);
    EXPECT_EQ(nm.size, 90u);
    EXPECT_EQ(fault_alloc_stats().live, 3);
    std::fill_n(im.matrix, im.size, 1); // the whole capacity is writable
    std::fill_n(dm.matrix, dm.size, 1.0);
    std::fill_n(nm.matrix, nm.size, uint16_t{1});

    for (int round = 0; round < 2; ++round) { // a second free does nothing
        int_map_free(&im);
        dbl_map_free(&dm);
        intens_map_free(&nm);
        EXPECT_EQ(fault_alloc_stats().live, 0);
        EXPECT_TRUE((im.matrix == nullptr && im.size == 0 && im.window == window_t{3, 4, 0, 0}));
        EXPECT_TRUE((dm.matrix == nullptr && dm.size == 0 && dm.window == window_t{3, 4, 0, 0}));
        EXPECT_TRUE((nm.matrix == nullptr && nm.size == 0 && nm.window == window_t{3, 4, 0, 0}));
        EXPECT_EQ(nm.n_buckets, 0);
    }
}

TEST(MapLifeCycle, AllocRejectsEmptyWindowsWithoutAllocating) {
    fault_alloc_scope tracking;
    for (window_t w : {window_t{1, 2, 0, 5}, window_t{1, 2, 5, 0}, window_t{1, 2, 0, 0}}) {
        int_map_t im{0, w, nullptr};
        dbl_map_t dm{0, w, nullptr};
        intens_map_t nm{0, w, 2, 9, nullptr};
        EXPECT_EQ(int_map_alloc(&im), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(dbl_map_alloc(&dm), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_EQ(intens_map_alloc(&nm), ERR_PARAM_OUT_OF_RANGE);
        EXPECT_TRUE(im.window == w && dm.window == w && nm.window == w);
        EXPECT_TRUE(im.matrix == nullptr && dm.matrix == nullptr && nm.matrix == nullptr);
        EXPECT_EQ(nm.n_buckets, 2);
    }
    // No buckets, negative buckets, or more samples than a 32-bit size holds.
    for (int16_t buckets : {0, -1, 32767}) {
        intens_map_t nm{0, {0, 0, 32767, 32767}, buckets, 0, nullptr};
        EXPECT_EQ(intens_map_alloc(&nm), ERR_PARAM_OUT_OF_RANGE) << buckets;
        EXPECT_EQ(nm.matrix, nullptr);
    }
    EXPECT_EQ(fault_alloc_stats().allocations, 0);
}

TEST(MapLifeCycle, RefusedAllocationLeavesAnEmptyRecord) {
    fault_alloc_scope tracking(1);
    int_map_t im{0, {3, 4, 5, 6}, nullptr};
    EXPECT_EQ(int_map_alloc(&im), ERR_NO_MEM);
    EXPECT_TRUE((im.size == 0 && im.matrix == nullptr && im.window == window_t{3, 4, 5, 6}));

    fault_alloc_install(1);
    dbl_map_t dm{0, {3, 4, 5, 6}, nullptr};
    EXPECT_EQ(dbl_map_alloc(&dm), ERR_NO_MEM);
    EXPECT_TRUE((dm.size == 0 && dm.matrix == nullptr && dm.window == window_t{3, 4, 5, 6}));

    fault_alloc_install(1);
    intens_map_t nm{0, {3, 4, 5, 6}, 3, 77, nullptr};
    EXPECT_EQ(intens_map_alloc(&nm), ERR_NO_MEM);
    EXPECT_TRUE((nm.size == 0 && nm.matrix == nullptr && nm.window == window_t{3, 4, 0, 0}));
    EXPECT_EQ(nm.n_buckets, 0);
    EXPECT_EQ(nm.range, 77);
}

// The byte count of the largest maps exceeds 32 bits.
std::size_t g_requested;
void *refuse_and_record(std::size_t bytes) {
    g_requested = bytes;
    return nullptr;
}

TEST(MapLifeCycle, ByteCountsAreFormedIn64Bits) {
    const window_t big{0, 0, 32767, 32767};
    const std::size_t n = 32767u * 32767u;
    u_malloc_fn = refuse_and_record;
    int_map_t im{0, big, nullptr};
    dbl_map_t dm{0, big, nullptr};
    intens_map_t nm{0, big, 4, 0, nullptr};
    int_map_t rm{};
    EXPECT_EQ(int_map_alloc(&im), ERR_NO_MEM);
    const std::size_t int_bytes = g_requested;
    EXPECT_EQ(dbl_map_alloc(&dm), ERR_NO_MEM);
    const std::size_t dbl_bytes = g_requested;
    EXPECT_EQ(intens_map_alloc(&nm), ERR_NO_MEM);
    const std::size_t intens_bytes = g_requested;
    EXPECT_EQ(int_map_resize(&rm, &big, false), ERR_NO_MEM);
    const std::size_t resize_bytes = g_requested;
    u_malloc_fn = std::malloc;
    EXPECT_EQ(int_bytes, n * 4);
    EXPECT_EQ(dbl_bytes, n * 8);
    EXPECT_EQ(intens_bytes, n * 4 * 2);
    EXPECT_EQ(resize_bytes, n * 4);
}

TEST(MapLifeCycle, Resize) {
    const window_t w100{0, 0, 10, 10};
    const struct {
        const char *what;
        bool start_allocated;
        window_t to;
        bool keep_larger;
        uint32_t size;
        bool replaced;
    } cases[] = {{"shrink, keep", true, {5, 5, 6, 10}, true, 100, false},
                 {"shrink, replace", true, {5, 5, 6, 10}, false, 60, true},
                 {"grow with keep", true, {0, 0, 11, 10}, true, 110, true},
                 {"grow", true, {0, 0, 11, 10}, false, 110, true},
                 {"same count", true, {1, 1, 20, 5}, false, 100, false},
                 {"first allocation", false, {2, 3, 3, 3}, true, 9, true}};
    for (const auto &c : cases) {
        fault_alloc_scope tracking;
        int_map_t m{0, w100, nullptr};
        if (c.start_allocated) {
            ASSERT_EQ(int_map_alloc(&m), 0);
        } else {
            m.size = 50; // a stale size without a matrix counts as none
        }
        const int64_t before = fault_alloc_stats().allocations;
        const int32_t *old = m.matrix;
        ASSERT_EQ(int_map_resize(&m, &c.to, c.keep_larger), 0) << c.what;
        EXPECT_EQ(m.size, c.size) << c.what;
        EXPECT_TRUE(m.window == c.to) << c.what;
        EXPECT_EQ(fault_alloc_stats().allocations - before, c.replaced ? 1 : 0) << c.what;
        if (!c.replaced) {
            EXPECT_EQ(m.matrix, old) << c.what;
        }
        EXPECT_EQ(fault_alloc_stats().live, 1) << c.what;
        std::fill_n(m.matrix, m.size, 0);
        int_map_free(&m);
    }
}

TEST(MapLifeCycle, ResizeToEmptyOrRefusedKeepsTheOldWindow) {
    fault_alloc_scope tracking(2);
    int_map_t m{0, {4, 5, 10, 10}, nullptr};
    ASSERT_EQ(int_map_alloc(&m), 0);
    const window_t empty{0, 0, 0, 7};
    EXPECT_EQ(int_map_resize(&m, &empty, true), 0);
    EXPECT_TRUE((m.size == 0 && m.matrix == nullptr && m.window == window_t{4, 5, 10, 10}));
    EXPECT_EQ(fault_alloc_stats().live, 0);

    const window_t bigger{0, 0, 20, 20};
    m.window = {4, 5, 10, 10};
    EXPECT_EQ(int_map_resize(&m, &bigger, false), ERR_NO_MEM); // allocation 2 is refused
    EXPECT_TRUE((m.size == 0 && m.matrix == nullptr && m.window == window_t{4, 5, 10, 10}));
    EXPECT_EQ(fault_alloc_stats().live, 0);
}

TEST(MapAddressing, FillPixelAndRowTables) {
    int_map_t m = int_map_filled({0, 0, 10, 10}, -1);
    const window_t small{10, 20, 3, 4}; // reread the kept buffer with a stride of 3
    ASSERT_EQ(int_map_resize(&m, &small, true), 0);
    int_map_fill(&m, 7);
    EXPECT_EQ(elements(m.matrix, 13),
              (std::vector<int32_t>{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, -1}));

    const window_t w{11, 21, 2, 2};
    EXPECT_EQ(int_map_pixel(&m, &w), m.matrix + 4);
    EXPECT_EQ(int_map_pixel(&m, &small), m.matrix);

    int32_t *irows[6] = {};
    int_map_rows(&m, &w, irows);
    EXPECT_EQ(irows[0], m.matrix + 4);
    EXPECT_EQ(irows[1], m.matrix + 7);
    EXPECT_EQ(irows[2], nullptr);
    int_map_rows(&m, nullptr, irows);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(irows[i], m.matrix + 3 * i);
    }
    EXPECT_EQ(irows[4], nullptr);

    dbl_map_t d = dbl_map_of(small, std::vector<double>(12, 0.0));
    double *drows[6] = {};
    dbl_map_rows(&d, &w, drows);
    EXPECT_EQ(drows[0], d.matrix + 4);
    EXPECT_EQ(drows[1], d.matrix + 7);
    EXPECT_EQ(drows[2], nullptr);
    dbl_map_rows(&d, nullptr, drows);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(drows[i], d.matrix + 3 * i);
    }
    EXPECT_EQ(drows[4], nullptr);
    int_map_free(&m);
    dbl_map_free(&d);
}

TEST(MapCopyWindow, CopiesBetweenDifferentStrides) {
    std::vector<int32_t> values(20);
    for (int i = 0; i < 20; ++i) {
        values[i] = 100 + i;
    }
    int_map_t src = int_map_of({10, 20, 5, 4}, values);
    int_map_t dst = int_map_filled({0, 0, 7, 6}, INT_MAP_INVALID);
    const window_t sw{11, 21, 3, 2};
    const window_t dw{2, 3, 3, 2};
    ASSERT_EQ(int_map_copy_window(&src, &sw, &dst, &dw), 0);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 7; ++x) {
            const bool in = x >= 2 && x < 5 && y >= 3 && y < 5;
            const int32_t expected = in ? 100 + (y - 3 + 1) * 5 + (x - 2 + 1) : INT_MAP_INVALID;
            EXPECT_EQ(dst.matrix[y * 7 + x], expected) << x << ',' << y;
        }
    }

    // Placing a whole map at its own coordinates in a larger frame.
    int_map_t frame = int_map_filled({0, 0, 20, 30}, INT_MAP_INVALID);
    ASSERT_EQ(int_map_copy_window(&src, &src.window, &frame, &src.window), 0);
    EXPECT_EQ(frame.matrix[20 * 20 + 10], 100);
    EXPECT_EQ(frame.matrix[23 * 20 + 14], 119);
    EXPECT_EQ(frame.matrix[23 * 20 + 15], INT_MAP_INVALID);
    int_map_free(&src);
    int_map_free(&dst);
    int_map_free(&frame);
}

TEST(MapCopyWindow, ImproperWindowsCopyNothing) {
    int_map_t src = int_map_filled({10, 20, 5, 4}, 1);
    int_map_t dst = int_map_filled({0, 0, 7, 6}, INT_MAP_INVALID);
    const struct {
        window_t sw, dw;
    } cases[] = {
        {{12, 21, 4, 3}, {0, 0, 4, 3}}, // source reaches past its map
        {{10, 20, 4, 3}, {0, 0, 3, 4}}, // sizes differ
        {{10, 20, 4, 3}, {4, 0, 4, 3}}, // destination reaches past its map
        {{10, 20, 4, 3}, {20, 20, 4, 3}}, {{10, 20, 0, 3}, {0, 0, 0, 3}}, // empty windows
    };
    for (const auto &c : cases) {
        EXPECT_EQ(int_map_copy_window(&src, &c.sw, &dst, &c.dw), ERR_IMPROPER_WINDOW)
            << c.sw << " -> " << c.dw;
        EXPECT_EQ(elements(dst.matrix, 42), std::vector<int32_t>(42, INT_MAP_INVALID));
    }
    int_map_free(&src);
    int_map_free(&dst);
}

} // namespace
