// The SVG figure of a phase map: the picture embedded as PNG at the camera
// pixels' aspect, a colour bar with round ticks in nm, a lateral scale bar,
// and the file's name, figures and capture time. The file has no external
// references, scripts or fonts; text uses a generic sans-serif family.
#include "info/info.h"

#include <cmath>
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

using num_t = info_num_t;

num_t px(double v) {
    return info_fixed(v, 2);
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
    const double columns = file->phase.window.width;
    double across = 0;
    double down = 0;
    info_map_extent(&file->hdr, file->phase.window.width, file->phase.window.height, &across,
                    &down);
    const double scale = MAP_LONG_SIDE / std::fmax(across, down);
    l.map_w = across * scale;
    l.map_h = down * scale;

    info_lateral_t lateral;
    const double resolution = info_lateral_scale(&file->hdr, &lateral) ? lateral.x_m : 0.0;
    l.has_scale = resolution > 0.0 && info_scale_length(columns * resolution, &l.scale);
    if (l.has_scale) {
        l.scale_px = l.scale.metres / resolution * (l.map_w / columns);
        l.has_scale = std::isfinite(l.scale_px);
    }

    l.has_ticks = info_colour_ticks(figure_range->lo_nm, figure_range->hi_nm, &l.ticks);
    double label_w = text_width("nm", TEXT_SIZE);
    for (int i = 0; i < l.ticks.count; ++i) {
        label_w = std::fmax(
            label_w, text_width(info_fixed(l.ticks.value[i], l.ticks.decimals).text, LABEL_SIZE));
    }
    label_w = std::fmax(label_w, text_width(info_figure(figure_range->hi_nm).text, LABEL_SIZE));
    label_w = std::fmax(label_w, text_width(info_figure(figure_range->lo_nm).text, LABEL_SIZE));

    info_caption_t caption;
    info_caption(file, &caption);
    std::memcpy(l.figures, caption.figures, sizeof l.figures);
    std::memcpy(l.captured, caption.captured, sizeof l.captured);

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
    info_put_svg_start(out, l.width, l.height);
    info_putf(out, "<text id=\"title\" x=\"%s\" y=\"%s\" font-size=\"%s\" font-weight=\"bold\">",
              px(MARGIN).text, px(MARGIN + TITLE_SIZE).text, px(TITLE_SIZE).text);
    info_put_escaped(out, file->name);
    info_put(out, "</text>\n");
    // Two spaces between the figures: kept as written.
    info_putf(out,
              "<text id=\"figures\" x=\"%s\" y=\"%s\" font-size=\"%s\" "
              "xml:space=\"preserve\">%s</text>\n",
              px(MARGIN).text, px(MARGIN + TITLE_SIZE + 20).text, px(TEXT_SIZE).text, l.figures);
    info_putf(out, "<text id=\"captured\" x=\"%s\" y=\"%s\" font-size=\"%s\">%s</text>\n",
              px(MARGIN).text, px(MARGIN + TITLE_SIZE + 38).text, px(TEXT_SIZE).text, l.captured);
}

// The 256 colours from the lowest (bottom) to the highest (top), each band
// ending where the next begins.
void put_colour_bar(df_out_t *out, const info_file_t *file, const info_figure_t *f,
                    const layout_t &l) {
    const double bottom = l.bar_top + l.bar_h;
    info_putf(out, "<text id=\"unit\" x=\"%s\" y=\"%s\" font-size=\"%s\">nm</text>\n",
              px(l.bar_x).text, px(MAP_TOP + TEXT_SIZE).text, px(TEXT_SIZE).text);
    info_put(out, "<g id=\"colour-bar\" shape-rendering=\"crispEdges\">\n");
    // On the grid of the printed coordinates, so that no gap shows.
    auto grid = [](double v) { return std::round(v * 100) / 100; };
    double lower = grid(bottom);
    for (int e = 0; e < 256; ++e) {
        const double upper = grid(bottom - l.bar_h * (e + 1) / 256.0);
        info_putf(out, "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"#%06x\"/>\n",
                  px(l.bar_x).text, px(upper).text, px(BAR_WIDTH).text, px(lower - upper).text,
                  static_cast<unsigned>(INFO_COLOUR_TABLE[e]));
        lower = upper;
    }
    info_put(out, "</g>\n");
    // Heights beyond a given range take the end colours: marked, so that
    // those colours are not read as exact.
    const double mid = l.bar_x + BAR_WIDTH / 2;
    if (f->has_range && file->stats.max_nm > f->hi_nm) {
        info_putf(out,
                  "<path id=\"above-range\" d=\"M%s %sL%s %sL%s %sZ\" fill=\"#%06x\">"
                  "<title>heights above the range</title></path>\n",
                  px(l.bar_x).text, px(l.bar_top - 2).text, px(mid).text,
                  px(l.bar_top - 2 - MARKER).text, px(l.bar_x + BAR_WIDTH).text,
                  px(l.bar_top - 2).text, static_cast<unsigned>(INFO_COLOUR_TABLE[255]));
    }
    if (f->has_range && file->stats.min_nm < f->lo_nm) {
        info_putf(out,
                  "<path id=\"below-range\" d=\"M%s %sL%s %sL%s %sZ\" fill=\"#%06x\">"
                  "<title>heights below the range</title></path>\n",
                  px(l.bar_x).text, px(bottom + 2).text, px(mid).text, px(bottom + 2 + MARKER).text,
                  px(l.bar_x + BAR_WIDTH).text, px(bottom + 2).text,
                  static_cast<unsigned>(INFO_COLOUR_TABLE[0]));
    }
}

// A tick from the bar's right edge (the group's origin) and its label.
void put_tick(df_out_t *out, double y, const char *label) {
    info_putf(out, "<line x1=\"0\" y1=\"%s\" x2=\"%s\" y2=\"%s\" stroke=\"#000000\"/>", px(y).text,
              px(TICK_LENGTH).text, px(y).text);
    info_putf(out, "<text x=\"%s\" y=\"%s\">%s</text>\n", px(TICK_LENGTH + LABEL_GAP).text,
              px(y + LABEL_SIZE * 0.35).text, label);
}

// Labels at round heights; without a range of width, the one height at the
// middle, and without round steps, the two ends.
void put_ticks(df_out_t *out, const info_figure_t *f, const layout_t &l) {
    const double bottom = l.bar_top + l.bar_h;
    info_putf(out, "<g id=\"ticks\" transform=\"translate(%s 0)\" font-size=\"%s\">\n",
              px(l.bar_x + BAR_WIDTH).text, px(LABEL_SIZE).text);
    const double span = f->hi_nm - f->lo_nm;
    if (l.has_ticks) {
        for (int i = 0; i < l.ticks.count; ++i) {
            const double y = bottom - (l.ticks.value[i] - f->lo_nm) / span * l.bar_h;
            put_tick(out, y, info_fixed(l.ticks.value[i], l.ticks.decimals).text);
        }
    } else if (span == 0.0) {
        put_tick(out, bottom - l.bar_h / 2, info_figure(f->lo_nm).text);
    } else {
        put_tick(out, bottom, info_figure(f->lo_nm).text);
        put_tick(out, l.bar_top, info_figure(f->hi_nm).text);
    }
    info_put(out, "</g>\n");
}

void put_scale_bar(df_out_t *out, const layout_t &l) {
    if (!l.has_scale) {
        return;
    }
    const double y = MAP_TOP + l.map_h + 12;
    info_put(out, "<g id=\"scale-bar\">\n");
    info_putf(out,
              "<rect id=\"scale-length\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
              "fill=\"#000000\"/>\n",
              px(MARGIN).text, px(y).text, px(l.scale_px).text, px(SCALE_THICKNESS).text);
    info_putf(out, "<text id=\"scale-label\" x=\"%s\" y=\"%s\" font-size=\"%s\">%s %s</text>\n",
              px(MARGIN).text, px(y + SCALE_THICKNESS + 4 + LABEL_SIZE).text, px(LABEL_SIZE).text,
              info_fixed(l.scale.number, 6).text, l.scale.in_mm ? "mm" : "\xC2\xB5m");
    info_put(out, "</g>\n");
}

} // namespace

int32_t info_write_svg(const info_file_t *file, const info_picture_t *picture,
                       const info_png_t *png, const info_figure_t *figure, const char *path) {
    const layout_t l = lay_out(file, figure);
    info_png_t drawn{};
    const bool enlarged = info_enlargement(picture->width, picture->height, l.map_w, l.map_h) > 1;
    if (enlarged) {
        if (const int32_t code = info_png_drawn(picture, l.map_w, l.map_h, &drawn); code != 0) {
            return code;
        }
    }
    df_out_t out;
    const int32_t code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code != 0) {
        info_png_free(&drawn);
        return code;
    }
    put_header(&out, file, l);
    info_put_map(&out, enlarged ? &drawn : png, MARGIN, MAP_TOP, l.map_w, l.map_h);
    info_png_free(&drawn);
    put_colour_bar(&out, file, figure, l);
    put_ticks(&out, figure, l);
    put_scale_bar(&out, l);
    info_put(&out, "</svg>\n");
    return df_out_commit(&out);
}
