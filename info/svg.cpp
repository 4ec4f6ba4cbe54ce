// The SVG figure of a phase map: the picture embedded as PNG at the camera
// pixels' aspect, a colour bar with round ticks in nm, a lateral scale bar,
// and the file's name, figures and capture time. The file has no external
// references, scripts or fonts; text uses a generic sans-serif family.
#include "info/info.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>

namespace {

// Layout in px (user units). Text widths are estimated generously, so that
// a small map still leaves room for the bar's labels and the text lines.
constexpr double MARGIN = 16;
constexpr double TITLE_SIZE = 16;
constexpr double TEXT_SIZE = 13;
constexpr double LABEL_SIZE = 11;
constexpr double CHAR_WIDTH = 0.6; // mean advance of a character, in font sizes
constexpr double MAP_TOP = 84;     // below the three text lines
constexpr double MAP_LONG_SIDE = 600;
constexpr double MAP_MIN_COLUMN = 160; // room for the scale bar and its label
constexpr double BAR_GAP = 24;
constexpr double BAR_WIDTH = 20;
constexpr double BAR_MIN_HEIGHT = 160;
constexpr double BAR_TOP_ROOM = 30; // the unit and the marker above the bar
constexpr double MARKER = 8;        // height of the out-of-range triangles
constexpr double TICK_LENGTH = 5;
constexpr double LABEL_GAP = 3;
constexpr double SCALE_ROOM = 40; // scale bar and label under the map
constexpr double SCALE_THICKNESS = 3;
constexpr const char *PAGE_COLOUR = "#ffffff";
constexpr const char *NO_DATA_COLOUR = "#e0e0e0"; // shows through where the map has no data

struct num_t {
    char text[48];
};

// v in plain decimals; trailing zeros (and a bare point) dropped when
// `trim`, "-0" shown as "0". Values too long for plain digits come in the
// shortest exponent form.
num_t fixed(double v, int decimals, bool trim = true) {
    num_t n{};
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

num_t px(double v) {
    return fixed(v, 2);
}

// Four significant digits, as printf's %.4g.
num_t figure(double v) {
    num_t n{};
    *std::to_chars(n.text, n.text + sizeof n.text - 1, v, std::chars_format::general, 4).ptr = '\0';
    return n;
}

void put(df_out_t *out, const char *text) {
    df_out_write(out, text, std::strlen(text));
}

void putf(df_out_t *out, const char *format, ...) U_PRINTF_FORMAT(2, 3);

void putf(df_out_t *out, const char *format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) {
        df_out_write(out, buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
    }
}

// Text content or attribute value: markup characters as entities,
// well-formed UTF-8 kept, other bytes taken as Latin-1 characters; control
// characters and U+FFFE, U+FFFF (which XML cannot hold) become U+FFFD.
void put_escaped(df_out_t *out, const char *text) {
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
            put(out, entity);
        } else if (c < 0x20 || non_character) {
            put(out, "&#xFFFD;");
        } else if (c < 0x7F) {
            df_out_write(out, s + i, 1);
        } else if (len > 0) {
            df_out_write(out, s + i, len);
        } else {
            putf(out, "&#x%X;", c);
        }
        i += len > 0 ? len : 1;
    }
}

void put_base64(df_out_t *out, const uint8_t *bytes, std::size_t n) {
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

double text_width(const char *text, double size) {
    return static_cast<double>(std::strlen(text)) * CHAR_WIDTH * size;
}

struct layout_t {
    double map_w, map_h; // the map, at MARGIN, MAP_TOP
    double bar_x, bar_top, bar_h;
    double width, height;
    info_ticks_t ticks;
    bool has_ticks;
    bool has_scale;
    info_scale_t scale;
    double scale_px;
    char figures[256];
    char captured[64];
};

layout_t lay_out(const info_file_t *file, const info_figure_t *figure_range) {
    layout_t l{};
    const df_hdr_t &h = file->hdr;
    const double columns = file->phase.window.width;
    const double rows = file->phase.window.height;
    // The camera pixels' own aspect; square when their size is unknown.
    const bool known = std::isfinite(h.PixelWidth) && std::isfinite(h.PixelHeight) &&
                       h.PixelWidth > 0.0f && h.PixelHeight > 0.0f;
    const double across = columns * (known ? static_cast<double>(h.PixelWidth) : 1.0);
    const double down = rows * (known ? static_cast<double>(h.PixelHeight) : 1.0);
    const double scale = MAP_LONG_SIDE / std::fmax(across, down);
    l.map_w = across * scale;
    l.map_h = down * scale;

    info_lateral_t lateral;
    const double resolution = info_lateral_scale(&h, &lateral) ? lateral.x_m : 0.0;
    l.has_scale = resolution > 0.0 && info_scale_length(columns * resolution, &l.scale);
    if (l.has_scale) {
        l.scale_px = l.scale.metres / resolution * (l.map_w / columns);
        l.has_scale = std::isfinite(l.scale_px);
    }

    l.has_ticks = info_colour_ticks(figure_range->lo_nm, figure_range->hi_nm, &l.ticks);
    double label_w = text_width("nm", TEXT_SIZE);
    for (int i = 0; i < l.ticks.count; ++i) {
        label_w = std::fmax(label_w,
                            text_width(fixed(l.ticks.value[i], l.ticks.decimals).text, LABEL_SIZE));
    }
    label_w = std::fmax(label_w, text_width(figure(figure_range->hi_nm).text, LABEL_SIZE));
    label_w = std::fmax(label_w, text_width(figure(figure_range->lo_nm).text, LABEL_SIZE));

    const phase_stats_t &s = file->stats;
    const double share = 100.0 * static_cast<double>(s.valid) / static_cast<double>(s.pixels);
    std::snprintf(l.figures, sizeof l.figures, "PV %s nm  RMS %s nm  mean %s nm  valid %s%%",
                  figure(s.pv_nm).text, figure(s.rms_nm).text, figure(s.mean_nm).text,
                  fixed(share, 2, false).text);
    char when[48];
    info_utc_text(h.TimeStamp, when, sizeof when);
    std::snprintf(l.captured, sizeof l.captured, "captured %s", when);

    l.bar_x = MARGIN + std::fmax(l.map_w, MAP_MIN_COLUMN) + BAR_GAP;
    l.bar_top = MAP_TOP + BAR_TOP_ROOM;
    l.bar_h = std::fmax(l.map_h - BAR_TOP_ROOM - MARKER, BAR_MIN_HEIGHT);
    const double right = l.bar_x + BAR_WIDTH + TICK_LENGTH + LABEL_GAP + label_w + MARGIN;
    double width = right;
    width = std::fmax(width, 2 * MARGIN + text_width(file->name, TITLE_SIZE));
    width = std::fmax(width, 2 * MARGIN + text_width(l.figures, TEXT_SIZE));
    width = std::fmax(width, 2 * MARGIN + text_width(l.captured, TEXT_SIZE));
    const double body = std::fmax(l.map_h + (l.has_scale ? SCALE_ROOM : 0.0),
                                  BAR_TOP_ROOM + l.bar_h + MARKER + LABEL_SIZE);
    l.width = std::ceil(width);
    l.height = std::ceil(MAP_TOP + body + MARGIN);
    return l;
}

void put_header(df_out_t *out, const info_file_t *file, const layout_t &l) {
    const num_t w = px(l.width);
    const num_t h = px(l.height);
    put(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    putf(out,
         "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
         "version=\"1.1\" width=\"%s\" height=\"%s\" viewBox=\"0 0 %s %s\" "
         "font-family=\"sans-serif\">\n",
         w.text, h.text, w.text, h.text);
    putf(out, "<rect width=\"%s\" height=\"%s\" fill=\"%s\"/>\n", w.text, h.text, PAGE_COLOUR);
    putf(out, "<text id=\"title\" x=\"%s\" y=\"%s\" font-size=\"%s\" font-weight=\"bold\">",
         px(MARGIN).text, px(MARGIN + TITLE_SIZE).text, px(TITLE_SIZE).text);
    put_escaped(out, file->name);
    put(out, "</text>\n");
    // Two spaces between the figures: kept as written.
    putf(out,
         "<text id=\"figures\" x=\"%s\" y=\"%s\" font-size=\"%s\" "
         "xml:space=\"preserve\">%s</text>\n",
         px(MARGIN).text, px(MARGIN + TITLE_SIZE + 20).text, px(TEXT_SIZE).text, l.figures);
    putf(out, "<text id=\"captured\" x=\"%s\" y=\"%s\" font-size=\"%s\">%s</text>\n",
         px(MARGIN).text, px(MARGIN + TITLE_SIZE + 38).text, px(TEXT_SIZE).text, l.captured);
}

void put_map(df_out_t *out, const info_png_t *png, const layout_t &l) {
    const num_t x = px(MARGIN);
    const num_t y = px(MAP_TOP);
    const num_t w = px(l.map_w);
    const num_t h = px(l.map_h);
    putf(out, "<rect id=\"no-data\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"%s\"/>\n",
         x.text, y.text, w.text, h.text, NO_DATA_COLOUR);
    // Each camera pixel a sharp block: no smoothing between them.
    putf(out,
         "<image id=\"map\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
         "preserveAspectRatio=\"none\" image-rendering=\"optimizeSpeed\" "
         "style=\"image-rendering:pixelated\" xlink:href=\"data:image/png;base64,",
         x.text, y.text, w.text, h.text);
    put_base64(out, png->bytes, png->size);
    put(out, "\"/>\n");
}

// The 256 colours from the lowest (bottom) to the highest (top), each band
// ending where the next begins.
void put_colour_bar(df_out_t *out, const info_file_t *file, const info_figure_t *f,
                    const layout_t &l) {
    const double bottom = l.bar_top + l.bar_h;
    putf(out, "<text id=\"unit\" x=\"%s\" y=\"%s\" font-size=\"%s\">nm</text>\n", px(l.bar_x).text,
         px(MAP_TOP + TEXT_SIZE).text, px(TEXT_SIZE).text);
    put(out, "<g id=\"colour-bar\" shape-rendering=\"crispEdges\">\n");
    // On the grid of the printed coordinates, so that no gap shows.
    auto grid = [](double v) { return std::round(v * 100) / 100; };
    double lower = grid(bottom);
    for (int e = 0; e < 256; ++e) {
        const double upper = grid(bottom - l.bar_h * (e + 1) / 256.0);
        putf(out, "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"#%06x\"/>\n",
             px(l.bar_x).text, px(upper).text, px(BAR_WIDTH).text, px(lower - upper).text,
             static_cast<unsigned>(INFO_COLOUR_TABLE[e]));
        lower = upper;
    }
    put(out, "</g>\n");
    // Heights beyond a given range take the end colours: marked, so that
    // those colours are not read as exact.
    const double mid = l.bar_x + BAR_WIDTH / 2;
    if (f->has_range && file->stats.max_nm > f->hi_nm) {
        putf(out,
             "<path id=\"above-range\" d=\"M%s %sL%s %sL%s %sZ\" fill=\"#%06x\">"
             "<title>heights above the range</title></path>\n",
             px(l.bar_x).text, px(l.bar_top - 2).text, px(mid).text,
             px(l.bar_top - 2 - MARKER).text, px(l.bar_x + BAR_WIDTH).text, px(l.bar_top - 2).text,
             static_cast<unsigned>(INFO_COLOUR_TABLE[255]));
    }
    if (f->has_range && file->stats.min_nm < f->lo_nm) {
        putf(out,
             "<path id=\"below-range\" d=\"M%s %sL%s %sL%s %sZ\" fill=\"#%06x\">"
             "<title>heights below the range</title></path>\n",
             px(l.bar_x).text, px(bottom + 2).text, px(mid).text, px(bottom + 2 + MARKER).text,
             px(l.bar_x + BAR_WIDTH).text, px(bottom + 2).text,
             static_cast<unsigned>(INFO_COLOUR_TABLE[0]));
    }
}

// A tick from the bar's right edge (the group's origin) and its label.
void put_tick(df_out_t *out, double y, const char *label) {
    putf(out, "<line x1=\"0\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"#000000\"/>", px(y).text,
         px(TICK_LENGTH).text, px(y).text);
    putf(out, "<text x=\"%s\" y=\"%s\">%s</text>\n", px(TICK_LENGTH + LABEL_GAP).text,
         px(y + LABEL_SIZE * 0.35).text, label);
}

// Labels at round heights; without a range of width, the one height at the
// middle, and without round steps, the two ends.
void put_ticks(df_out_t *out, const info_figure_t *f, const layout_t &l) {
    const double bottom = l.bar_top + l.bar_h;
    putf(out, "<g id=\"ticks\" transform=\"translate(%s 0)\" font-size=\"%s\">\n",
         px(l.bar_x + BAR_WIDTH).text, px(LABEL_SIZE).text);
    const double span = f->hi_nm - f->lo_nm;
    if (l.has_ticks) {
        for (int i = 0; i < l.ticks.count; ++i) {
            const double y = bottom - (l.ticks.value[i] - f->lo_nm) / span * l.bar_h;
            put_tick(out, y, fixed(l.ticks.value[i], l.ticks.decimals).text);
        }
    } else if (span == 0.0) {
        put_tick(out, bottom - l.bar_h / 2, figure(f->lo_nm).text);
    } else {
        put_tick(out, bottom, figure(f->lo_nm).text);
        put_tick(out, l.bar_top, figure(f->hi_nm).text);
    }
    put(out, "</g>\n");
}

void put_scale_bar(df_out_t *out, const layout_t &l) {
    if (!l.has_scale) {
        return;
    }
    const double y = MAP_TOP + l.map_h + 12;
    put(out, "<g id=\"scale-bar\">\n");
    putf(out,
         "<rect id=\"scale-length\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
         "fill=\"#000000\"/>\n",
         px(MARGIN).text, px(y).text, px(l.scale_px).text, px(SCALE_THICKNESS).text);
    putf(out, "<text id=\"scale-label\" x=\"%s\" y=\"%s\" font-size=\"%s\">%s %s</text>\n",
         px(MARGIN).text, px(y + SCALE_THICKNESS + 4 + LABEL_SIZE).text, px(LABEL_SIZE).text,
         fixed(l.scale.number, 6).text, l.scale.in_mm ? "mm" : "\xC2\xB5m");
    put(out, "</g>\n");
}

} // namespace

int32_t info_write_svg(const info_file_t *file, const info_png_t *png, const info_figure_t *figure,
                       const char *path) {
    const layout_t l = lay_out(file, figure);
    df_out_t out;
    const int32_t code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code != 0) {
        return code;
    }
    put_header(&out, file, l);
    put_map(&out, png, l);
    put_colour_bar(&out, file, figure, l);
    put_ticks(&out, figure, l);
    put_scale_bar(&out, l);
    put(&out, "</svg>\n");
    return df_out_commit(&out);
}
