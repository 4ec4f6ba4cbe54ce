// The picture of a phase map: one RGBA pixel per camera pixel of the phase
// window, coloured by height, transparent where there is no data.
#include "info/info.h"

#include <cmath>
#include <cstring>

namespace {

// The encoder counts bytes in int: its filtered copy, (4 x width + 1) x
// height bytes, and the compressed stream must stay well inside that.
constexpr int64_t MAX_PICTURE_BYTES = int64_t{1} << 30;

// Entry for a position t over the range scaled to 0..256: 256 equal bins,
// the top of the range falling into the last one; outside values clamped.
int colour_bin(double t) {
    if (!(t > 0.0)) {
        return t == t ? 0 : 128; // NaN: the middle
    }
    return t >= 255.0 ? 255 : static_cast<int>(t);
}

} // namespace

int32_t info_write_png(info_file_t *file, double lo_nm, double hi_nm, const char *path) {
    int_map_t &map = file->phase;
    if (map.matrix == nullptr) {
        return ERR_NO_DATA;
    }
    if (file->stats.valid == 0) {
        return ERR_ALL_BAD_DATA;
    }
    if (!std::isfinite(file->nm_per_count) || !std::isfinite(lo_nm) || !std::isfinite(hi_nm)) {
        return ERR_INVALID_PARAM;
    }
    const int width = map.window.width;
    const int height = map.window.height;
    if ((4 * int64_t{width} + 1) * height > MAX_PICTURE_BYTES) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    // The picture takes the place of the map: one 4-byte RGBA pixel for each
    // 4-byte count, so that a large map needs no second buffer of its size.
    static_assert(sizeof(int32_t) == 4);
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto *rgba = reinterpret_cast<uint8_t *>(map.matrix);
    // Bin of a count v: (v x nm_per_count - lo) x 256 / (hi - lo) = v x a + b.
    const double span = hi_nm - lo_nm;
    const double a = span > 0.0 ? file->nm_per_count * (256.0 / span) : 0.0;
    const double b = span > 0.0 ? -lo_nm * (256.0 / span) : 128.0;
    for (std::size_t i = 0; i < pixels; ++i) {
        int32_t v;
        std::memcpy(&v, rgba + 4 * i, 4);
        uint8_t px[4] = {0, 0, 0, 0};
        if (v < INT_MAP_INVALID) {
            const uint32_t rgb = INFO_COLOUR_TABLE[colour_bin(v * a + b)];
            px[0] = static_cast<uint8_t>(rgb >> 16);
            px[1] = static_cast<uint8_t>(rgb >> 8);
            px[2] = static_cast<uint8_t>(rgb);
            px[3] = 255;
        }
        std::memcpy(rgba + 4 * i, px, 4);
    }
    out_file_t out;
    int32_t code = out_file_open(&out, path);
    if (code == 0) {
        if (!info_png_encode(rgba, width, height, &out)) {
            out_file_abandon(&out);
            code = ERR_NO_MEM;
        } else {
            code = out_file_commit(&out);
        }
    }
    return code;
}
