// What the height exports share: whether a map gives heights, the lateral
// scale, rows of 32-bit float heights, and the file's attributes as text.
#include "info/info.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t QUIET_NAN_BITS = 0x7FC00000;

bool usable_length(float v) {
    return std::isfinite(v) && v > 0.0f;
}

// The decimal that the float stands for, as a double: 5.5e-06 rather than
// 5.4999998e-06, so that lengths made from it come out as written.
double decimal(float v) {
    char buf[INFO_NUMBER_BUF];
    const int n = info_shortest_float(v, buf);
    double d = v;
    std::from_chars(buf, buf + n, d);
    return d;
}

void put_number(info_text_t *text, const char *name, const char *separator, const char *value) {
    info_text_puts(text, name);
    info_text_puts(text, separator);
    info_text_puts(text, value);
    info_text_put(text, "\n", 1);
}

void put_float(info_text_t *text, const char *name, const char *separator, float v) {
    char buf[INFO_NUMBER_BUF];
    info_shortest_float(v, buf);
    put_number(text, name, separator, buf);
}

void put_int(info_text_t *text, const char *name, const char *separator, long v) {
    char buf[INFO_NUMBER_BUF];
    std::snprintf(buf, sizeof buf, "%ld", v);
    put_number(text, name, separator, buf);
}

} // namespace

int32_t info_heights_usable(const info_file_t *file) {
    if (file->phase.matrix == nullptr) {
        return ERR_NO_DATA;
    }
    if (file->stats.valid == 0) {
        return ERR_ALL_BAD_DATA;
    }
    return std::isfinite(file->nm_per_count) ? 0 : ERR_INVALID_PARAM;
}

int32_t info_float_heights_usable(const info_file_t *file, double per_count) {
    const int32_t code = info_heights_usable(file);
    if (code != 0) {
        return code;
    }
    // The heights are linear in the counts: the extreme counts give the
    // extreme heights.
    const float a = static_cast<float>(file->stats.min_count * per_count);
    const float b = static_cast<float>(file->stats.max_count * per_count);
    return std::isfinite(a) && std::isfinite(b) ? 0 : ERR_FP_OVERFLOW;
}

bool info_lateral_scale(const df_hdr_t *hdr, info_lateral_t *scale) {
    *scale = info_lateral_t{};
    if (usable_length(hdr->CameraRes)) {
        scale->x_m = scale->y_m = decimal(hdr->CameraRes);
    } else if (usable_length(hdr->PixelWidth)) {
        scale->x_m = decimal(hdr->PixelWidth);
        scale->y_m = decimal(usable_length(hdr->PixelHeight) ? hdr->PixelHeight : hdr->PixelWidth);
    }
    return scale->x_m > 0.0;
}

void info_float_row(const int_map_t *map, int row, double per_count, uint8_t *out) {
    const std::size_t width = static_cast<std::size_t>(map->window.width);
    const int32_t *v = map->matrix + width * static_cast<std::size_t>(row);
    for (std::size_t x = 0; x < width; ++x, out += 4) {
        uint32_t bits = QUIET_NAN_BITS;
        if (v[x] < INT_MAP_INVALID) {
            const float h = static_cast<float>(v[x] * per_count);
            std::memcpy(&bits, &h, sizeof bits);
        }
        out[0] = static_cast<uint8_t>(bits);
        out[1] = static_cast<uint8_t>(bits >> 8);
        out[2] = static_cast<uint8_t>(bits >> 16);
        out[3] = static_cast<uint8_t>(bits >> 24);
    }
}

uint32_t info_next_char(const unsigned char *s, std::size_t n, std::size_t *length) {
    const std::size_t len = s[0] >= 0x80 ? info_utf8_length(s, n) : 0;
    if (len == 0) {
        *length = 1;
        return s[0];
    }
    // The lead byte's payload bits, then six from each continuation byte.
    uint32_t c = s[0] & (0x7Fu >> len);
    for (std::size_t i = 1; i < len; ++i) {
        c = c << 6 | (s[i] & 0x3Fu);
    }
    *length = len;
    return c;
}

const char *info_base_name(const char *path) {
    const char *base = path;
    for (const char *c = path; *c != '\0'; ++c) {
#ifdef _WIN32
        const bool separator = *c == '/' || *c == '\\' || *c == ':';
#else
        const bool separator = *c == '/';
#endif
        if (separator && c[1] != '\0') {
            base = c + 1;
        }
    }
    return base;
}

bool info_text_init(info_text_t *text, std::size_t capacity) {
    *text = info_text_t{static_cast<char *>(u_malloc_fn(capacity)), 0, capacity};
    return text->bytes != nullptr;
}

void info_text_put(info_text_t *text, const char *bytes, std::size_t n) {
    const std::size_t room = text->capacity - text->size;
    n = n < room ? n : room;
    std::memcpy(text->bytes + text->size, bytes, n);
    text->size += n;
}

void info_text_puts(info_text_t *text, const char *s) {
    info_text_put(text, s, std::strlen(s));
}

void info_text_free(info_text_t *text) {
    u_free_fn(text->bytes);
    *text = info_text_t{};
}

void info_put_attributes(info_text_t *text, const info_file_t *file, const char *separator,
                         info_text_escape_fn escape) {
    const df_hdr_t &h = file->hdr;
    put_int(text, "TimeStamp", separator, h.TimeStamp);
    char when[64];
    info_utc_text(h.TimeStamp, when, sizeof when);
    put_number(text, "Date", separator, when);
    info_text_puts(text, "comment");
    info_text_puts(text, separator);
    escape(text, h.comment, strnlen(h.comment, sizeof h.comment));
    info_text_put(text, "\n", 1);
    put_float(text, "IntfScaleFactor", separator, h.IntfScaleFactor);
    put_float(text, "WavelengthIn", separator, h.WavelengthIn);
    put_float(text, "ObliquityFactor", separator, h.ObliquityFactor);
    put_float(text, "CameraRes", separator, h.CameraRes);
    put_float(text, "PixelWidth", separator, h.PixelWidth);
    put_float(text, "PixelHeight", separator, h.PixelHeight);
    put_int(text, "PhaseRes", separator, h.PhaseRes);
    put_int(text, "CameraWidth", separator, h.CameraWidth);
    put_int(text, "CameraHeight", separator, h.CameraHeight);
    put_int(text, "WindowX", separator, file->phase.window.x);
    put_int(text, "WindowY", separator, file->phase.window.y);
}
