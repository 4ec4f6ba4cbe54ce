// The heights as a Gwyddion Simple Field file, the plain exchange format of
// surface-analysis programs: the line "Gwyddion Simple Field 1.0", lines
// "Name = value" (UTF-8, each ending with LF), 1 to 4 NUL bytes up to the
// next multiple of 4, then the heights in metres as little-endian 32-bit
// floats, row by row from the top, NaN without data.
//
// The lateral size and offset are in metres when the file has a lateral
// scale; without one they are in pixels and XYUnits is left out. Numbers are
// written in their shortest form that reads back as the same float (C
// locale, whatever the environment).
#include "info/info.h"

#include <cmath>
#include <cstring>

namespace {

constexpr const char *MAGIC_LINE = "Gwyddion Simple Field 1.0\n";
constexpr std::size_t CHUNK = 1 << 20;

// A text of the file as UTF-8: well-formed UTF-8 kept, other bytes taken as
// Latin-1 characters, control characters (which would end the line) as
// U+FFFD.
void put_utf8(info_text_t *text, const char *bytes, std::size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < n;) {
        std::size_t length = 1;
        const uint32_t c = info_next_char(s + i, n - i, &length);
        if (c < 0x20 || c == 0x7F) {
            info_text_puts(text, "\xEF\xBF\xBD");
        } else if (c >= 0x80 && length == 1) {
            const char pair[2] = {static_cast<char>(0xC0 | c >> 6),
                                  static_cast<char>(0x80 | (c & 0x3F))};
            info_text_put(text, pair, 2);
        } else {
            info_text_put(text, bytes + i, length);
        }
        i += length;
    }
}

void put_key(info_text_t *text, const char *name, const char *value) {
    info_text_puts(text, name);
    info_text_puts(text, " = ");
    info_text_puts(text, value);
    info_text_put(text, "\n", 1);
}

// A length: the shortest text of the nearest float, or of the double when
// the float cannot hold it.
void put_length(info_text_t *text, const char *name, double v) {
    char buf[INFO_NUMBER_BUF];
    const auto f = static_cast<float>(v);
    if (std::isfinite(f) && (f != 0.0f || v == 0.0)) {
        info_shortest_float(f, buf);
    } else {
        info_shortest_double(v, buf);
    }
    put_key(text, name, buf);
}

void put_header(info_text_t *text, const info_file_t *file) {
    const window_t &w = file->phase.window;
    info_lateral_t lateral;
    const bool metres = info_lateral_scale(&file->hdr, &lateral);
    if (!metres) {
        lateral = info_lateral_t{1.0, 1.0};
    }
    char buf[INFO_NUMBER_BUF];
    info_text_puts(text, MAGIC_LINE);
    std::snprintf(buf, sizeof buf, "%d", w.width);
    put_key(text, "XRes", buf);
    std::snprintf(buf, sizeof buf, "%d", w.height);
    put_key(text, "YRes", buf);
    put_length(text, "XReal", w.width * lateral.x_m);
    put_length(text, "YReal", w.height * lateral.y_m);
    put_length(text, "XOffset", w.x * lateral.x_m);
    put_length(text, "YOffset", w.y * lateral.y_m);
    if (metres) {
        put_key(text, "XYUnits", "m");
    }
    put_key(text, "ZUnits", "m");
    info_text_puts(text, "Title = ");
    const char *title = info_base_name(file->name);
    put_utf8(text, title, std::strlen(title));
    info_text_put(text, "\n", 1);
    info_put_attributes(text, file, " = ", put_utf8);
}

} // namespace

int32_t info_write_gsf(const info_file_t *file, const char *path) {
    const double per_count = df_metres_per_count(&file->hdr);
    int32_t code = info_float_heights_usable(file, per_count);
    if (code != 0) {
        return code;
    }
    const window_t &w = file->phase.window;
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(w.width);
    // A character of the name or comment takes at most 3 bytes as UTF-8;
    // the header is followed by up to 4 NUL bytes.
    const std::size_t texts = std::strlen(file->name) + sizeof file->hdr.comment;
    info_text_t header;
    auto *rows = static_cast<uint8_t *>(u_malloc_fn(CHUNK));
    if (!info_text_init(&header, 2048 + 3 * texts) || rows == nullptr) {
        info_text_free(&header);
        u_free_fn(rows);
        return ERR_NO_MEM;
    }
    put_header(&header, file);
    // The data start at the next multiple of 4 strictly after the header.
    const std::size_t padding = 4 - header.size % 4;
    info_text_put(&header, "\0\0\0\0", padding);
    df_out_t out;
    code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code == 0) {
        df_out_write(&out, header.bytes, header.size);
        std::size_t used = 0;
        for (int row = 0; row < w.height; ++row) {
            if (CHUNK - used < row_bytes) {
                df_out_write(&out, rows, used);
                used = 0;
            }
            info_float_row(&file->phase, row, per_count, rows + used);
            used += row_bytes;
        }
        df_out_write(&out, rows, used);
        code = df_out_commit(&out);
    }
    info_text_free(&header);
    u_free_fn(rows);
    return code;
}
