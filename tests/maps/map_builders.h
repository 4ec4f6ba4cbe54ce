// Building small maps for the tests: allocate through the hooks, fill from a
// list in storage order.
#pragma once

#include "maps/maps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

inline bool operator==(const window_t &a, const window_t &b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

inline std::ostream &operator<<(std::ostream &os, const window_t &w) {
    return os << '(' << w.x << ',' << w.y << ',' << w.width << ',' << w.height << ')';
}

inline int_map_t int_map_of(window_t w, const std::vector<int32_t> &values) {
    int_map_t m;
    int_map_init(&m);
    m.window = w;
    EXPECT_EQ(int_map_alloc(&m), 0);
    EXPECT_EQ(values.size(), static_cast<std::size_t>(w.width) * w.height);
    std::memcpy(m.matrix, values.data(), values.size() * sizeof(int32_t));
    return m;
}

inline int_map_t int_map_filled(window_t w, int32_t v) {
    return int_map_of(w, std::vector<int32_t>(static_cast<std::size_t>(w.width) * w.height, v));
}

inline dbl_map_t dbl_map_of(window_t w, const std::vector<double> &values) {
    dbl_map_t m;
    dbl_map_init(&m);
    m.window = w;
    EXPECT_EQ(dbl_map_alloc(&m), 0);
    EXPECT_EQ(values.size(), static_cast<std::size_t>(w.width) * w.height);
    std::memcpy(m.matrix, values.data(), values.size() * sizeof(double));
    return m;
}

template <typename T> std::vector<T> elements(const T *matrix, std::size_t n) {
    return std::vector<T>(matrix, matrix + n);
}

// Bitwise equality, so NaN and -0.0 compare as what they are.
inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
