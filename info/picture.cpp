// The picture of a phase map: one palette index per camera pixel of the
// phase window, coloured by height, transparent where there is no data. The
// map itself is only read.
#include "info/info.h"

#include <cmath>
#include <cstring>

namespace {

// The encoder's rows, (width + 1) x height bytes with their filter bytes,
// and the compressed stream must stay well inside a PNG chunk and a zlib
// length.
constexpr int64_t MAX_PICTURE_BYTES = int64_t{1} << 30;

// A figure draws its map some hundred px long: far below this.
constexpr int MAX_ENLARGEMENT = 1024;

// Entry for a position t over the range scaled to 0..256: 256 equal bins,
// the top of the range falling into the last one; outside values clamped.
int colour_bin(double t) {
    if (!(t > 0.0)) {
        return t == t ? 0 : 128; // NaN: the middle
    }
    return t >= 255.0 ? 255 : static_cast<int>(t);
}

// Index 0 for pixels without data, then one index per distinct colour of the
// table, in the table's order (the table repeats a few neighbours).
struct palette_plan_t {
    uint8_t of_entry[256]; // index of each table entry
    uint32_t colour[256];  // colour of each index (index 0 unused)
    int count;             // indices, 0 included
};

palette_plan_t full_palette() {
    palette_plan_t plan{};
    int next = 1;
    for (int e = 0; e < 256; ++e) {
        if (e > 0 && INFO_COLOUR_TABLE[e] == INFO_COLOUR_TABLE[e - 1]) {
            plan.of_entry[e] = plan.of_entry[e - 1];
            continue;
        }
        plan.colour[next] = INFO_COLOUR_TABLE[e];
        plan.of_entry[e] = static_cast<uint8_t>(next++);
    }
    plan.count = next;
    return plan;
}

} // namespace

int32_t info_map_drawable(const info_file_t *file, double lo_nm, double hi_nm) {
    if (const int32_t usable = info_heights_usable(file); usable != 0) {
        return usable;
    }
    if (!std::isfinite(lo_nm) || !std::isfinite(hi_nm)) {
        return ERR_INVALID_PARAM;
    }
    return 0;
}

int32_t info_picture_make(const info_file_t *file, double lo_nm, double hi_nm,
                          info_picture_t *picture) {
    *picture = info_picture_t{};
    const int_map_t &map = file->phase;
    if (const int32_t code = info_map_drawable(file, lo_nm, hi_nm); code != 0) {
        return code;
    }
    const int width = map.window.width;
    const int height = map.window.height;
    if ((int64_t{width} + 1) * height > MAX_PICTURE_BYTES) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    const palette_plan_t plan = full_palette();
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    picture->indices = static_cast<uint8_t *>(u_malloc_fn(pixels > 0 ? pixels : 1));
    if (picture->indices == nullptr) {
        return ERR_NO_MEM;
    }
    picture->width = width;
    picture->height = height;
    // Bin of a count v: (v x nm_per_count - lo) x 256 / (hi - lo) = v x a + b.
    const double span = hi_nm - lo_nm;
    const double a = span > 0.0 ? file->nm_per_count * (256.0 / span) : 0.0;
    const double b = span > 0.0 ? -lo_nm * (256.0 / span) : 128.0;
    const int32_t *v = map.matrix;
    for (std::size_t i = 0; i < pixels; ++i) {
        picture->indices[i] = v[i] < INT_MAP_INVALID ? plan.of_entry[colour_bin(v[i] * a + b)] : 0;
    }
    info_picture_compact(picture, plan.colour, plan.count);
    return 0;
}

void info_picture_free(info_picture_t *picture) {
    u_free_fn(picture->indices);
    picture->indices = nullptr;
}

void info_picture_compact(info_picture_t *picture, const uint32_t *colours, int count) {
    const std::size_t pixels =
        static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(picture->height);
    bool used[256] = {};
    for (std::size_t i = 0; i < pixels; ++i) {
        used[picture->indices[i]] = true;
    }
    uint8_t renumber[256] = {};
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (used[i]) {
            renumber[i] = static_cast<uint8_t>(kept);
            picture->palette[kept++] = colours[i];
        }
    }
    picture->colours = kept;
    picture->transparent = used[0];
    if (kept == count) {
        return; // every index in use: nothing to renumber
    }
    for (std::size_t i = 0; i < pixels; ++i) {
        picture->indices[i] = renumber[picture->indices[i]];
    }
}

int info_enlargement(int columns, int rows, double drawn_w, double drawn_h) {
    // A hair of slack: a drawn size computed as a multiple of the pixels
    // may fall just short of it.
    const double k = std::floor(std::fmin(drawn_w / columns, drawn_h / rows) * (1 + 1e-9));
    return k >= 1.0 && k <= MAX_ENLARGEMENT ? static_cast<int>(k) : k > 1.0 ? MAX_ENLARGEMENT : 1;
}

int32_t info_picture_enlarge(const info_picture_t *picture, int factor, info_picture_t *enlarged) {
    *enlarged = *picture;
    const std::size_t k = static_cast<std::size_t>(factor);
    const std::size_t width = static_cast<std::size_t>(picture->width);
    const std::size_t wide = width * k;
    const std::size_t pixels = wide * static_cast<std::size_t>(picture->height) * k;
    enlarged->indices = static_cast<uint8_t *>(u_malloc_fn(pixels > 0 ? pixels : 1));
    if (enlarged->indices == nullptr) {
        return ERR_NO_MEM;
    }
    enlarged->width = picture->width * factor;
    enlarged->height = picture->height * factor;
    uint8_t *out = enlarged->indices;
    for (int y = 0; y < picture->height; ++y) {
        const uint8_t *row = picture->indices + width * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < width; ++x) {
            std::memset(out + x * k, row[x], k);
        }
        for (std::size_t copy = 1; copy < k; ++copy) {
            std::memcpy(out + copy * wide, out, wide);
        }
        out += wide * k;
    }
    return 0;
}
