// Rounding of doubles to phase counts, shared by the map operations and the
// RSS run's kernels so that both round alike.
#pragma once

#include "maps/maps.h"

#include <cmath>
#include <cstdint>

// The doubles that round to a count: [-2^26, 2^26 - 1], tested before
// rounding.
constexpr double MAP_ROUND_MIN = -67108864.0;
constexpr double MAP_ROUND_MAX = 67108863.0;

// x rounded half away from zero, or INT_MAP_INVALID outside the range (NaN
// included). Decided on the exact fractional part: x + 0.5 is not exact
// (0.49999999999999994 + 0.5 rounds up to 1.0), and some runtimes' round()
// share that fault.
inline int32_t map_round_count(double x) {
    if (!(x >= MAP_ROUND_MIN && x <= MAP_ROUND_MAX)) {
        return INT_MAP_INVALID;
    }
    const double whole = std::trunc(x);
    return static_cast<int32_t>(std::fabs(x - whole) >= 0.5 ? whole + std::copysign(1.0, x)
                                                            : whole);
}
