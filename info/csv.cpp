// The table of a phase map: "x,y,height_nm" and one line per valid pixel in
// camera coordinates, heights in their shortest exact form.
#include "info/info.h"

#include <charconv>

namespace {

constexpr std::size_t CHUNK = 1 << 20;
// A line: two numbers of at most 6 characters, a double of at most
// INFO_NUMBER_BUF - 1, two commas and a line end.
constexpr std::size_t LINE_MAX_BYTES = 16 + INFO_NUMBER_BUF;

} // namespace

int32_t info_write_csv(const info_file_t *file, const char *path, int64_t *rows) {
    const int_map_t &map = file->phase;
    *rows = 0;
    if (map.matrix == nullptr) {
        return ERR_NO_DATA;
    }
    auto *buffer = static_cast<char *>(u_malloc_fn(CHUNK));
    if (buffer == nullptr) {
        return ERR_NO_MEM;
    }
    df_out_t out;
    int32_t code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code != 0) {
        u_free_fn(buffer);
        return code;
    }
    std::size_t used = static_cast<std::size_t>(std::snprintf(buffer, CHUNK, "x,y,height_nm\n"));
    const window_t &w = map.window;
    const int32_t *v = map.matrix;
    int64_t count = 0;
    for (int row = 0; row < w.height; ++row) {
        for (int col = 0; col < w.width; ++col, ++v) {
            if (*v >= INT_MAP_INVALID) {
                continue;
            }
            if (CHUNK - used < LINE_MAX_BYTES) {
                df_out_write(&out, buffer, used);
                used = 0;
            }
            char *at = buffer + used;
            at = std::to_chars(at, at + 8, w.x + col).ptr;
            *at++ = ',';
            at = std::to_chars(at, at + 8, w.y + row).ptr;
            *at++ = ',';
            at += info_shortest_double(*v * file->nm_per_count, at);
            *at++ = '\n';
            used = static_cast<std::size_t>(at - buffer);
            ++count;
        }
    }
    df_out_write(&out, buffer, used);
    u_free_fn(buffer);
    code = df_out_commit(&out);
    *rows = code == 0 ? count : 0;
    return code;
}
