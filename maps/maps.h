/* Windows, height maps and the per-pixel arithmetic from which the RSS is
   built. A map covers one window of camera pixels, row-major with a row stride
   of the window's width. Invalid pixels are marked in the data itself.
   A C header: it compiles as C11 and as C++, with C linkage. */
#ifndef KELVORIN_MAPS_H
#define KELVORIN_MAPS_H

#include "support/support.h"

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A rectangle of camera pixels. Inclusive right and bottom bounds
// (x + width - 1, y + height - 1) are computed in 32 bits. A window with a
// width or height of 0 is empty.
typedef struct window_t {
    int16_t x;      // column of the left edge
    int16_t y;      // row of the top edge
    int16_t width;  // number of columns
    int16_t height; // number of rows
} window_t;
U_STATIC_ASSERT(sizeof(window_t) == 8, "window_t is four 16-bit numbers");

// Signed 32-bit phase counts; values >= INT_MAP_INVALID are invalid.
typedef struct int_map_t {
    uint32_t size;   // element capacity; 0 exactly when matrix is null
    window_t window; // rectangle covered
    int32_t *matrix; // row-major elements, or null
} int_map_t;

// Doubles; a value is valid only when less than DBL_MAP_INVALID (NaN is not).
typedef struct dbl_map_t {
    uint32_t size;
    window_t window;
    double *matrix;
} dbl_map_t;

// 16-bit intensity frames: n_buckets planes of width x height samples.
typedef struct intens_map_t {
    uint32_t size;
    window_t window;
    int16_t n_buckets; // number of frames held
    int16_t range;     // carried with the data, not interpreted
    uint16_t *matrix;
} intens_map_t;

#define INT_MAP_INVALID ((int32_t)0x7FFFFFF8)
#define DBL_MAP_INVALID 3.4028234663852886e38 // largest float, as a double
#define MAP_MAX_ROWS ((int32_t)32768)         // entries of a row-pointer table

// Relation of window A to window B, as given by wn_compare.
enum wn_relation {
    WN_DISJOINT = 1, // no shared pixel
    WN_EQUAL = 2,    // the same rectangle
    WN_OVERLAP = 3,  // overlap, neither contains the other
    WN_INSIDE = 4,   // A within B and different
    WN_ENCLOSES = 5, // A contains B and different
};

// Relation of a to b. An empty window is disjoint from every window.
KELVORIN_API int32_t wn_compare(const window_t *a, const window_t *b);

// ---------------------------------------------------------------------------
// Life cycle: init, set the window, alloc (or resize), use, free. Element
// storage comes from u_malloc_fn and goes back through u_free_fn.

// Sets every field to zero (the empty map).
KELVORIN_API void int_map_init(int_map_t *map);
KELVORIN_API void dbl_map_init(dbl_map_t *map);

// Allocates width x height elements for the map's window (left
// uninitialised). The map must hold no matrix. ERR_PARAM_OUT_OF_RANGE for an
// empty window (record unchanged); ERR_NO_MEM when refused (size 0, no matrix).
U_NODISCARD KELVORIN_API int32_t int_map_alloc(int_map_t *map);
U_NODISCARD KELVORIN_API int32_t dbl_map_alloc(dbl_map_t *map);

// As above for n_buckets x width x height samples; when refused it also sets
// n_buckets, width and height to 0.
U_NODISCARD KELVORIN_API int32_t intens_map_alloc(intens_map_t *map);

// Gives the map the window w. An empty w releases the matrix and keeps the old
// window. The buffer is replaced when w needs more than `size` elements, or
// fewer and keep_larger is false; otherwise it is kept. ERR_NO_MEM leaves the
// map empty with its old window. Contents afterwards are unspecified.
U_NODISCARD KELVORIN_API int32_t int_map_resize(int_map_t *map, const window_t *w,
                                                bool keep_larger);

// Release the matrix; size, width, height (and n_buckets) become 0, x and y
// stay. Freeing an empty map, or freeing twice, is allowed.
KELVORIN_API void int_map_free(int_map_t *map);
KELVORIN_API void dbl_map_free(dbl_map_t *map);
KELVORIN_API void intens_map_free(intens_map_t *map);

// Sets every pixel of the (allocated) map's window to v.
KELVORIN_API void int_map_fill(int_map_t *map, int32_t v);

// Copies window sw of src to window dw of dst, invalid markers included. Each
// window must lie within its map and both must have the same size, else
// ERR_IMPROPER_WINDOW with nothing copied. Pixels of dst outside dw stay.
U_NODISCARD KELVORIN_API int32_t int_map_copy_window(const int_map_t *src, const window_t *sw,
                                                     int_map_t *dst, const window_t *dw);

// Address of the element at w's top-left pixel. Unchecked: callers establish
// containment with wn_compare first.
KELVORIN_API int32_t *int_map_pixel(const int_map_t *map, const window_t *w);

// Fill a table of row pointers (room for MAP_MAX_ROWS) over w, or over the
// map's own window when w is null.
KELVORIN_API void int_map_rows(const int_map_t *map, const window_t *w, int32_t **rows);
KELVORIN_API void dbl_map_rows(const dbl_map_t *map, const window_t *w, double **rows);

// ---------------------------------------------------------------------------
// Arithmetic. None allocates. Walks cover the width x height elements of the
// map's own window in storage order.

// Integer to double; invalid values become DBL_MAP_INVALID. The windows must
// be equal, else ERR_WINDOWS_MISMATCHED with dst untouched.
U_NODISCARD KELVORIN_API int32_t int_map_to_dbl(const int_map_t *src, dbl_map_t *dst);

// Double to integer: values in [-67108864, 67108863] (tested before rounding)
// are rounded half away from zero; everything else, NaN included, becomes
// INT_MAP_INVALID. ERR_WINDOWS_MISMATCHED when the windows differ.
U_NODISCARD KELVORIN_API int32_t dbl_map_to_int(const dbl_map_t *src, int_map_t *dst);

// Bit-for-bit copy between maps of equal windows (else ERR_WINDOWS_MISMATCHED).
U_NODISCARD KELVORIN_API int32_t dbl_map_copy(const dbl_map_t *src, dbl_map_t *dst);

// Multiplies every valid element by f. A product with |y| >= DBL_MAP_INVALID
// stops at once with ERR_FP_OVERFLOW: that element keeps its value, earlier
// ones are scaled, later ones untouched.
U_NODISCARD KELVORIN_API int32_t dbl_map_scale(dbl_map_t *map, double f);

// Squares every valid element; a square >= DBL_MAP_INVALID stops at once with
// ERR_FP_OVERFLOW, that element keeping its value.
U_NODISCARD KELVORIN_API int32_t dbl_map_square(dbl_map_t *map);

// Adds addend into acc over the overlap of their windows, row by row. A pixel
// invalid in either becomes DBL_MAP_INVALID. A sum beyond +-DBL_MAP_INVALID
// (strictly) is stored and then stops the walk with ERR_FP_OVERFLOW.
// ERR_WINDOWS_DISJOINT when the windows share no pixel (acc untouched).
U_NODISCARD KELVORIN_API int32_t dbl_map_add(const dbl_map_t *addend, dbl_map_t *acc);

// Square root of every valid element; a valid value <= 0 becomes +0.0.
KELVORIN_API void dbl_map_sqrt(dbl_map_t *map);

// Smallest window holding every valid element of the search window sw (or
// the whole map when sw is null). ERR_IMPROPER_WINDOW when sw is not within
// the map (out untouched); ERR_ALL_BAD_DATA when nothing is valid (out zero).
U_NODISCARD KELVORIN_API int32_t int_map_valid_window(const int_map_t *map, const window_t *sw,
                                                      window_t *out);

#ifdef __cplusplus
}
#endif

#endif /* KELVORIN_MAPS_H */
