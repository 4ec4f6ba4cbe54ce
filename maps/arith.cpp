// Per-pixel arithmetic of the RSS: conversions, scale, square, add, square
// root, and the valid-data window search.
#include "maps/maps.h"
#include "maps/round.h"

#include "support/support.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

uint32_t element_count(const window_t &w) {
    return static_cast<uint32_t>(static_cast<int32_t>(w.width) * static_cast<int32_t>(w.height));
}

// NaN compares false, so it is invalid too.
inline bool dbl_valid(double x) {
    return x < DBL_MAP_INVALID;
}

inline bool int_valid(int32_t v) {
    return v < INT_MAP_INVALID;
}

} // namespace

int32_t int_map_to_dbl(const int_map_t *src, dbl_map_t *dst) {
    if (wn_compare(&src->window, &dst->window) != WN_EQUAL) {
        return ERR_WINDOWS_MISMATCHED;
    }
    const uint32_t n = element_count(src->window);
    const int32_t *s = src->matrix;
    double *d = dst->matrix;
    for (uint32_t i = 0; i < n; ++i) {
        d[i] = int_valid(s[i]) ? static_cast<double>(s[i]) : DBL_MAP_INVALID;
    }
    return 0;
}

int32_t dbl_map_to_int(const dbl_map_t *src, int_map_t *dst) {
    if (wn_compare(&dst->window, &src->window) != WN_EQUAL) {
        return ERR_WINDOWS_MISMATCHED;
    }
    const uint32_t n = element_count(src->window);
    const double *s = src->matrix;
    int32_t *d = dst->matrix;
    for (uint32_t i = 0; i < n; ++i) {
        d[i] = map_round_count(s[i]);
    }
    return 0;
}

int32_t dbl_map_copy(const dbl_map_t *src, dbl_map_t *dst) {
    if (wn_compare(&src->window, &dst->window) != WN_EQUAL) {
        return ERR_WINDOWS_MISMATCHED;
    }
    std::memmove(dst->matrix, src->matrix,
                 static_cast<std::size_t>(element_count(src->window)) * sizeof(double));
    return 0;
}

int32_t dbl_map_scale(dbl_map_t *map, double f) {
    const uint32_t n = element_count(map->window);
    double *m = map->matrix;
    for (uint32_t i = 0; i < n; ++i) {
        const double x = m[i];
        if (!dbl_valid(x)) {
            continue;
        }
        const double y = x * f;
        if (y <= -DBL_MAP_INVALID || y >= DBL_MAP_INVALID) {
            return ERR_FP_OVERFLOW;
        }
        m[i] = y;
    }
    return 0;
}

int32_t dbl_map_square(dbl_map_t *map) {
    const uint32_t n = element_count(map->window);
    double *m = map->matrix;
    for (uint32_t i = 0; i < n; ++i) {
        const double x = m[i];
        if (!dbl_valid(x)) {
            continue;
        }
        const double y = x * x;
        if (y >= DBL_MAP_INVALID) {
            return ERR_FP_OVERFLOW;
        }
        m[i] = y;
    }
    return 0;
}

int32_t dbl_map_add(const dbl_map_t *addend, dbl_map_t *acc) {
    const window_t &a = addend->window;
    const window_t &s = acc->window;
    if (wn_compare(&a, &s) == WN_DISJOINT) {
        return ERR_WINDOWS_DISJOINT;
    }
    double *a_rows[MAP_MAX_ROWS];
    double *s_rows[MAP_MAX_ROWS];
    dbl_map_rows(addend, nullptr, a_rows);
    dbl_map_rows(acc, nullptr, s_rows);

    const int32_t top = std::max<int32_t>(s.y, a.y);
    const int32_t bottom = std::min<int32_t>(s.y + s.height - 1, a.y + a.height - 1);
    const int32_t left = std::max<int32_t>(s.x, a.x);
    const int32_t right = std::min<int32_t>(s.x + s.width - 1, a.x + a.width - 1);
    for (int32_t row = top; row <= bottom; ++row) {
        const double *ap = a_rows[row - a.y] + (left - a.x);
        double *sp = s_rows[row - s.y] + (left - s.x);
        for (int32_t col = left; col <= right; ++col, ++ap, ++sp) {
            if (!dbl_valid(*ap) || !dbl_valid(*sp)) {
                *sp = DBL_MAP_INVALID;
                continue;
            }
            const double t = *sp + *ap;
            *sp = t;
            if (t < -DBL_MAP_INVALID || t > DBL_MAP_INVALID) {
                return ERR_FP_OVERFLOW;
            }
        }
    }
    return 0;
}

void dbl_map_sqrt(dbl_map_t *map) {
    const uint32_t n = element_count(map->window);
    double *m = map->matrix;
    for (uint32_t i = 0; i < n; ++i) {
        const double x = m[i];
        if (!dbl_valid(x)) {
            continue;
        }
        m[i] = x > 0.0 ? std::sqrt(x) : 0.0;
    }
}

int32_t int_map_valid_window(const int_map_t *map, const window_t *sw, window_t *out) {
    if (sw != nullptr) {
        const int32_t r = wn_compare(sw, &map->window);
        if (r != WN_EQUAL && r != WN_INSIDE) {
            return ERR_IMPROPER_WINDOW;
        }
    }
    const window_t w = sw != nullptr ? *sw : map->window;
    *out = window_t{0, 0, 0, 0};
    if (w.width <= 0 || w.height <= 0) {
        return ERR_ALL_BAD_DATA;
    }

    int32_t *rows[MAP_MAX_ROWS];
    int_map_rows(map, &w, rows);
    const int32_t width = w.width;
    const int32_t height = w.height;

    auto row_has_valid = [&](int32_t r) {
        const int32_t *p = rows[r];
        for (int32_t c = 0; c < width; ++c) {
            if (int_valid(p[c])) {
                return true;
            }
        }
        return false;
    };

    int32_t top = 0;
    while (top < height && !row_has_valid(top)) {
        ++top;
    }
    if (top == height) {
        return ERR_ALL_BAD_DATA;
    }
    int32_t bottom = height - 1;
    while (bottom > top && !row_has_valid(bottom)) {
        --bottom;
    }

    auto column_has_valid = [&](int32_t c) {
        for (int32_t r = top; r <= bottom; ++r) {
            if (int_valid(rows[r][c])) {
                return true;
            }
        }
        return false;
    };

    int32_t left = 0;
    while (left < width && !column_has_valid(left)) {
        ++left;
    }
    int32_t right = width - 1;
    while (right > left && !column_has_valid(right)) {
        --right;
    }

    out->x = static_cast<int16_t>(w.x + left);
    out->y = static_cast<int16_t>(w.y + top);
    out->width = static_cast<int16_t>(right - left + 1);
    out->height = static_cast<int16_t>(bottom - top + 1);
    return 0;
}
