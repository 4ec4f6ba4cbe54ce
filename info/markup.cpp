// Text shared by the SVG figures and the HTML page: numbers as the figure
// prints them, escaped markup, base64, the lines under the title, and the
// figures' frame and map.
#include "info/info.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

info_num_t info_fixed(double v, int decimals, bool trim) {
    info_num_t n{};
    char *end = n.text + sizeof n.text - 1;
    auto r = std::to_chars(n.text, end, v, std::chars_format::fixed, decimals);
    if (r.ec != std::errc{}) {
        r = std::to_chars(n.text, end, v);
        trim = false;
    }
    *r.ptr = '\0';
    if (trim && std::strchr(n.text, '.') != nullptr) {
        char *last = r.ptr - 1;
        while (*last == '0') {
            *last-- = '\0';
        }
        if (*last == '.') {
            *last = '\0';
        }
    }
    if (std::strcmp(n.text, "-0") == 0) {
        std::strcpy(n.text, "0");
    }
    return n;
}

info_num_t info_figure(double v) {
    info_num_t n{};
    *std::to_chars(n.text, n.text + sizeof n.text - 1, v, std::chars_format::general, 4).ptr = '\0';
    return n;
}

void info_put(df_out_t *out, const char *text) {
    df_out_write(out, text, std::strlen(text));
}

void info_putf(df_out_t *out, const char *format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) {
        df_out_write(out, buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
    }
}

void info_put_escaped(df_out_t *out, const char *text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const std::size_t n = std::strlen(text);
    for (std::size_t i = 0; i < n;) {
        const unsigned c = s[i];
        const char *entity = c == '&'    ? "&amp;"
                             : c == '<'  ? "&lt;"
                             : c == '>'  ? "&gt;"
                             : c == '"'  ? "&quot;"
                             : c == '\'' ? "&apos;"
                                         : nullptr;
        const std::size_t len = c >= 0x80 ? info_utf8_length(s + i, n - i) : 0;
        const bool non_character = len == 3 && c == 0xEF && s[i + 1] == 0xBF && s[i + 2] >= 0xBE;
        if (entity != nullptr) {
            info_put(out, entity);
        } else if (c < 0x20 || non_character) {
            info_put(out, "&#xFFFD;");
        } else if (c < 0x7F) {
            df_out_write(out, s + i, 1);
        } else if (len > 0) {
            df_out_write(out, s + i, len);
        } else {
            info_putf(out, "&#x%X;", c);
        }
        i += len > 0 ? len : 1;
    }
}

void info_put_base64(df_out_t *out, const uint8_t *bytes, std::size_t n) {
    static constexpr char DIGITS[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char buf[1 << 16];
    std::size_t used = 0;
    for (std::size_t i = 0; i < n; i += 3) {
        const std::size_t left = n - i;
        const uint32_t v = uint32_t{bytes[i]} << 16 | (left > 1 ? uint32_t{bytes[i + 1]} << 8 : 0) |
                           (left > 2 ? bytes[i + 2] : 0);
        buf[used++] = DIGITS[v >> 18];
        buf[used++] = DIGITS[v >> 12 & 63];
        buf[used++] = left > 1 ? DIGITS[v >> 6 & 63] : '=';
        buf[used++] = left > 2 ? DIGITS[v & 63] : '=';
        if (used == sizeof buf) {
            df_out_write(out, buf, used);
            used = 0;
        }
    }
    df_out_write(out, buf, used);
}

void info_map_extent(const df_hdr_t *h, int columns, int rows, double *across, double *down) {
    const bool known = std::isfinite(h->PixelWidth) && std::isfinite(h->PixelHeight) &&
                       h->PixelWidth > 0.0f && h->PixelHeight > 0.0f;
    *across = columns * (known ? static_cast<double>(h->PixelWidth) : 1.0);
    *down = rows * (known ? static_cast<double>(h->PixelHeight) : 1.0);
}

void info_caption(const info_file_t *file, info_caption_t *caption) {
    const phase_stats_t &s = file->stats;
    const double share = 100.0 * static_cast<double>(s.valid) / static_cast<double>(s.pixels);
    std::snprintf(caption->figures, sizeof caption->figures,
                  "PV %s nm  RMS %s nm  mean %s nm  valid %s%%", info_figure(s.pv_nm).text,
                  info_figure(s.rms_nm).text, info_figure(s.mean_nm).text,
                  info_fixed(share, 2, false).text);
    char when[48];
    info_utc_text(file->hdr.TimeStamp, when, sizeof when);
    std::snprintf(caption->captured, sizeof caption->captured, "captured %s", when);
}

void info_put_map(df_out_t *out, const info_png_t *png, double x, double y, double w, double h) {
    const info_num_t left = info_fixed(x, 2);
    const info_num_t top = info_fixed(y, 2);
    const info_num_t across = info_fixed(w, 2);
    const info_num_t down = info_fixed(h, 2);
    info_putf(out,
              "<rect id=\"no-data\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"%s\"/>\n",
              left.text, top.text, across.text, down.text, INFO_NO_DATA_COLOUR);
    // Each camera pixel a sharp block: no smoothing between them.
    info_putf(out,
              "<image id=\"map\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
              "preserveAspectRatio=\"none\" image-rendering=\"optimizeSpeed\" "
              "style=\"image-rendering:pixelated\" xlink:href=\"data:image/png;base64,",
              left.text, top.text, across.text, down.text);
    info_put_base64(out, png->bytes, png->size);
    info_put(out, "\"/>\n");
}

void info_put_svg_start(df_out_t *out, double width, double height) {
    const info_num_t w = info_fixed(width, 2);
    const info_num_t h = info_fixed(height, 2);
    info_put(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    info_putf(
        out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
        "version=\"1.1\" width=\"%s\" height=\"%s\" viewBox=\"0 0 %s %s\" "
        "font-family=\"sans-serif\">\n",
        w.text, h.text, w.text, h.text);
    info_putf(out, "<rect width=\"%s\" height=\"%s\" fill=\"#ffffff\"/>\n", w.text, h.text);
}
