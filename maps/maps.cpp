// Windows and the life cycle, addressing, filling and copying of maps.
#include "maps/maps.h"

#include "support/support.h"

#include <cstring>

namespace {

// Element count of a window, in 32-bit arithmetic as the records define it.
uint32_t element_count(const window_t &w) {
    return static_cast<uint32_t>(static_cast<int32_t>(w.width) * static_cast<int32_t>(w.height));
}

// Takes n elements of `elem` bytes from the allocation hook; byte counts are
// formed in 64 bits.
void *take(uint64_t n, uint64_t elem) {
    return u_malloc_fn(static_cast<std::size_t>(n * elem));
}

bool within(const window_t *w, const window_t *map_window) {
    const int32_t r = wn_compare(w, map_window);
    return r == WN_EQUAL || r == WN_INSIDE;
}

} // namespace

int32_t wn_compare(const window_t *a, const window_t *b) {
    // An empty window holds no pixel, so it shares none with any window. The
    // bound tests below would not say so for an empty window lying within a
    // larger one (its right edge x - 1 still reaches the other's columns).
    if (a->width <= 0 || a->height <= 0 || b->width <= 0 || b->height <= 0) {
        return WN_DISJOINT;
    }
    const int32_t a_right = a->x + a->width - 1;
    const int32_t a_bottom = a->y + a->height - 1;
    const int32_t b_right = b->x + b->width - 1;
    const int32_t b_bottom = b->y + b->height - 1;
    if (a_right < b->x || a->x > b_right || a_bottom < b->y || a->y > b_bottom) {
        return WN_DISJOINT;
    }
    if (a->x == b->x && a_right == b_right && a->y == b->y && a_bottom == b_bottom) {
        return WN_EQUAL;
    }
    if (a->x >= b->x && a_right <= b_right && a->y >= b->y && a_bottom <= b_bottom) {
        return WN_INSIDE;
    }
    if (a->x <= b->x && a_right >= b_right && a->y <= b->y && a_bottom >= b_bottom) {
        return WN_ENCLOSES;
    }
    return WN_OVERLAP;
}

void int_map_init(int_map_t *map) {
    *map = int_map_t{};
}

void dbl_map_init(dbl_map_t *map) {
    *map = dbl_map_t{};
}

int32_t int_map_alloc(int_map_t *map) {
    const uint32_t n = element_count(map->window);
    if (n == 0) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    map->size = 0;
    map->matrix = static_cast<int32_t *>(take(n, sizeof(int32_t)));
    if (map->matrix == nullptr) {
        return ERR_NO_MEM;
    }
    map->size = n;
    return 0;
}

int32_t dbl_map_alloc(dbl_map_t *map) {
    const uint32_t n = element_count(map->window);
    if (n == 0) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    map->size = 0;
    map->matrix = static_cast<double *>(take(n, sizeof(double)));
    if (map->matrix == nullptr) {
        return ERR_NO_MEM;
    }
    map->size = n;
    return 0;
}

int32_t intens_map_alloc(intens_map_t *map) {
    const uint64_t n = static_cast<uint64_t>(static_cast<uint32_t>(map->n_buckets)) *
                       static_cast<uint32_t>(element_count(map->window));
    if (map->n_buckets <= 0 || n == 0 || n > UINT32_MAX) {
        return ERR_PARAM_OUT_OF_RANGE;
    }
    map->size = 0;
    map->matrix = static_cast<uint16_t *>(take(n, sizeof(uint16_t)));
    if (map->matrix == nullptr) {
        map->n_buckets = 0;
        map->window.width = 0;
        map->window.height = 0;
        return ERR_NO_MEM;
    }
    map->size = static_cast<uint32_t>(n);
    return 0;
}

int32_t int_map_resize(int_map_t *map, const window_t *w, bool keep_larger) {
    if (map->matrix == nullptr) {
        map->size = 0;
    }
    const uint32_t n = element_count(*w);
    if (n == 0) {
        u_free_fn(map->matrix);
        map->matrix = nullptr;
        map->size = 0;
        return 0;
    }
    if (n > map->size || (n < map->size && !keep_larger)) {
        u_free_fn(map->matrix);
        map->matrix = nullptr;
        map->size = 0;
        map->matrix = static_cast<int32_t *>(take(n, sizeof(int32_t)));
        if (map->matrix == nullptr) {
            return ERR_NO_MEM;
        }
        map->size = n;
    }
    map->window = *w;
    return 0;
}

void int_map_free(int_map_t *map) {
    u_free_fn(map->matrix);
    map->matrix = nullptr;
    map->size = 0;
    map->window.width = 0;
    map->window.height = 0;
}

void dbl_map_free(dbl_map_t *map) {
    u_free_fn(map->matrix);
    map->matrix = nullptr;
    map->size = 0;
    map->window.width = 0;
    map->window.height = 0;
}

void intens_map_free(intens_map_t *map) {
    u_free_fn(map->matrix);
    map->matrix = nullptr;
    map->size = 0;
    map->window.width = 0;
    map->window.height = 0;
    map->n_buckets = 0;
}

void int_map_fill(int_map_t *map, int32_t v) {
    const uint32_t n = element_count(map->window);
    for (uint32_t i = 0; i < n; ++i) {
        map->matrix[i] = v;
    }
}

int32_t *int_map_pixel(const int_map_t *map, const window_t *w) {
    const int32_t offset = (w->y - map->window.y) * map->window.width + (w->x - map->window.x);
    return map->matrix + static_cast<std::ptrdiff_t>(offset);
}

void int_map_rows(const int_map_t *map, const window_t *w, int32_t **rows) {
    if (w == nullptr) {
        w = &map->window;
    }
    if (w->height <= 0) {
        return;
    }
    rows[0] = int_map_pixel(map, w);
    for (int32_t i = 1; i < w->height; ++i) {
        rows[i] = rows[i - 1] + map->window.width;
    }
}

void dbl_map_rows(const dbl_map_t *map, const window_t *w, double **rows) {
    int32_t height;
    if (w != nullptr) {
        const int32_t offset = (w->y - map->window.y) * map->window.width + (w->x - map->window.x);
        rows[0] = map->matrix + static_cast<std::ptrdiff_t>(offset);
        height = w->height;
    } else {
        rows[0] = map->matrix;
        height = map->window.height;
    }
    for (int32_t i = 1; i < height; ++i) {
        rows[i] = rows[i - 1] + map->window.width;
    }
}

int32_t int_map_copy_window(const int_map_t *src, const window_t *sw, int_map_t *dst,
                            const window_t *dw) {
    if (!within(sw, &src->window) || !within(dw, &dst->window)) {
        return ERR_IMPROPER_WINDOW;
    }
    if (dw->width != sw->width || dw->height != sw->height) {
        return ERR_IMPROPER_WINDOW;
    }
    const int32_t *p = int_map_pixel(src, sw);
    int32_t *q = int_map_pixel(dst, dw);
    const std::size_t row_bytes = static_cast<std::size_t>(sw->width) * sizeof(int32_t);
    for (int32_t r = 0; r < sw->height; ++r) {
        std::memmove(q, p, row_bytes);
        p += src->window.width;
        q += dst->window.width;
    }
    return 0;
}
