// The budget figure: the dominance map, each pixel of the result's window in
// the colour of the input that dominates there, with a legend naming the
// inputs; beside it a horizontal bar per input for its share of the combined
// variance, under the combined RMS as the title. Like the one-file figure it
// has no external references, scripts or fonts.
#include "info/info.h"

#include <cmath>
#include <cstring>

// Okabe and Ito's eight colours (Color Universal Design), black last: the
// colour that inputs beyond the seventh share.
constexpr uint32_t INFO_BUDGET_PALETTE[INFO_BUDGET_COLOURS] = {
    0xE69F00, 0x56B4E9, 0x009E73, 0xF0E442, 0x0072B2, 0xD55E00, 0xCC79A7, 0x000000};

namespace {

// Layout in px; text widths estimated generously, as in the one-file figure.
constexpr double MARGIN = 16;
constexpr double TITLE_SIZE = 16;
constexpr double TEXT_SIZE = 13;
constexpr double CHAR_WIDTH = 0.6;
constexpr double HEADING_Y = 72; // the headings of the map and of the bars
constexpr double MAP_TOP = 88;
constexpr double MAP_LONG_SIDE = 480;
constexpr double MIN_COLUMN = 200;
constexpr double GAP = 40;
constexpr double LEGEND_GAP = 20;
constexpr double SWATCH = 12;
constexpr double LEGEND_ROW = 20;
constexpr double BAR_LENGTH = 240;
constexpr double BAR_THICKNESS = 14;
constexpr double BAR_ROW = 40;
constexpr const char *OUTLINE = "#808080";

info_num_t px(double v) {
    return info_fixed(v, 2);
}

double text_width(const char *text, double size) {
    return static_cast<double>(std::strlen(text)) * CHAR_WIDTH * size;
}

// An entry of the legend and of the bars: an input with a colour of its
// own, or all the inputs that share the last colour.
struct entry_t {
    int32_t input; // -1: the others
    double share;
    char label[48]; // for the others
};

struct plan_t {
    entry_t entries[INFO_BUDGET_COLOURS];
    int count;
    uint8_t *entry_of; // each input's entry (from u_malloc_fn)
};

const char *label_of(const entry_t &e, const rss_budget_t *budget) {
    return e.input >= 0 ? budget->rows[e.input].name : e.label;
}

// Up to eight inputs keep their order; of more, the seven with the largest
// shares (the earlier on a tie) keep theirs, in input order, and the rest
// come last, together.
int32_t plan_entries(const rss_budget_t *budget, int32_t count, plan_t *plan) {
    *plan = plan_t{};
    plan->entry_of = static_cast<uint8_t *>(u_calloc_fn(static_cast<std::size_t>(count), 1));
    if (plan->entry_of == nullptr) {
        return ERR_NO_MEM;
    }
    const bool lumped = count > INFO_BUDGET_COLOURS;
    const int own = lumped ? INFO_BUDGET_COLOURS - 1 : count;
    constexpr uint8_t CHOSEN = 1;
    for (int k = 0; lumped && k < own; ++k) {
        int32_t best = -1;
        for (int32_t i = 0; i < count; ++i) {
            if (plan->entry_of[i] != CHOSEN &&
                (best < 0 || budget->rows[i].share > budget->rows[best].share)) {
                best = i;
            }
        }
        plan->entry_of[best] = CHOSEN;
    }
    entry_t &others = plan->entries[INFO_BUDGET_COLOURS - 1];
    for (int32_t i = 0; i < count; ++i) {
        if (!lumped || plan->entry_of[i] == CHOSEN) {
            plan->entries[plan->count] = entry_t{i, budget->rows[i].share, {}};
            plan->entry_of[i] = static_cast<uint8_t>(plan->count++);
        } else {
            plan->entry_of[i] = static_cast<uint8_t>(own);
            others.share += budget->rows[i].share;
        }
    }
    if (lumped) {
        others.input = -1;
        std::snprintf(others.label, sizeof others.label, "%ld other inputs",
                      static_cast<long>(count - own));
        plan->count = INFO_BUDGET_COLOURS;
    }
    return 0;
}

// The dominance map's picture: index 0 outside the result, then one per
// entry in its colour.
int32_t dominance_picture(const int_map_t *map, int32_t count, const plan_t &plan,
                          info_picture_t *picture) {
    *picture = info_picture_t{};
    const std::size_t pixels =
        static_cast<std::size_t>(map->window.width) * static_cast<std::size_t>(map->window.height);
    picture->indices = static_cast<uint8_t *>(u_malloc_fn(pixels > 0 ? pixels : 1));
    if (picture->indices == nullptr) {
        return ERR_NO_MEM;
    }
    picture->width = map->window.width;
    picture->height = map->window.height;
    for (std::size_t i = 0; i < pixels; ++i) {
        const int32_t input = map->matrix[i];
        picture->indices[i] =
            input >= 0 && input < count ? static_cast<uint8_t>(1 + plan.entry_of[input]) : 0;
    }
    uint32_t colours[1 + INFO_BUDGET_COLOURS] = {};
    for (int k = 0; k < plan.count; ++k) {
        colours[1 + k] = INFO_BUDGET_PALETTE[k];
    }
    info_picture_compact(picture, colours, 1 + plan.count);
    return 0;
}

struct layout_t {
    double map_w, map_h; // the map, at MARGIN, MAP_TOP
    double bars_x;
    double legend_top;
    double width, height;
    char title[64];
    char figures[128];
};

layout_t lay_out(const rss_budget_t *budget, int32_t count, const df_hdr_t *first,
                 const plan_t &plan, bool no_data) {
    layout_t l{};
    const window_t &w = budget->dominance->window;
    double across = 0;
    double down = 0;
    info_map_extent(first, w.width, w.height, &across, &down);
    const double scale = MAP_LONG_SIDE / std::fmax(across, down);
    l.map_w = across * scale;
    l.map_h = down * scale;
    std::snprintf(l.title, sizeof l.title, "Combined RMS %s nm", info_figure(budget->rms_nm).text);
    std::snprintf(l.figures, sizeof l.figures, "max %s nm  valid %lld pixels  %ld input%s",
                  info_figure(budget->max_nm).text, static_cast<long long>(budget->valid),
                  static_cast<long>(count), count == 1 ? "" : "s");
    double column = std::fmax(l.map_w, MIN_COLUMN);
    double labels = text_width("100.00 %", TEXT_SIZE) + BAR_LENGTH + 6;
    for (int k = 0; k < plan.count; ++k) {
        const double name = text_width(label_of(plan.entries[k], budget), TEXT_SIZE);
        column = std::fmax(column, SWATCH + 6 + name);
        labels = std::fmax(labels, name);
    }
    l.bars_x = MARGIN + column + GAP;
    l.legend_top = MAP_TOP + l.map_h + LEGEND_GAP;
    const double legend_bottom = l.legend_top + (plan.count + (no_data ? 1 : 0)) * LEGEND_ROW;
    double width = l.bars_x + labels + MARGIN;
    width = std::fmax(width, 2 * MARGIN + text_width(l.title, TITLE_SIZE));
    width = std::fmax(width, 2 * MARGIN + text_width(l.figures, TEXT_SIZE));
    l.width = std::ceil(width);
    l.height = std::ceil(std::fmax(legend_bottom, MAP_TOP + plan.count * BAR_ROW) + MARGIN);
    return l;
}

void put_text(df_out_t *out, const char *id, double x, double y, const char *text) {
    info_putf(out, "<text id=\"%s\" x=\"%s\" y=\"%s\" font-size=\"%s\" xml:space=\"preserve\">", id,
              px(x).text, px(y).text, px(TEXT_SIZE).text);
    info_put_escaped(out, text);
    info_put(out, "</text>\n");
}

void put_header(df_out_t *out, const layout_t &l) {
    info_put_svg_start(out, l.width, l.height);
    info_putf(out, "<text id=\"title\" x=\"%s\" y=\"%s\" font-size=\"%s\" font-weight=\"bold\">",
              px(MARGIN).text, px(MARGIN + TITLE_SIZE).text, px(TITLE_SIZE).text);
    info_put_escaped(out, l.title);
    info_put(out, "</text>\n");
    put_text(out, "figures", MARGIN, MARGIN + TITLE_SIZE + 20, l.figures);
    put_text(out, "map-heading", MARGIN, HEADING_Y, "dominant input");
    put_text(out, "shares-heading", l.bars_x, HEADING_Y, "share of the combined variance");
}

// A swatch and its name per entry, then the colour outside the result.
void put_legend(df_out_t *out, const rss_budget_t *budget, const plan_t &plan, bool no_data,
                const layout_t &l) {
    info_put(out, "<g id=\"legend\">\n");
    for (int k = 0; k < plan.count + (no_data ? 1 : 0); ++k) {
        const double y = l.legend_top + k * LEGEND_ROW;
        char id[32] = "key-no-data";
        char colour[8] = {};
        const char *label = "outside the result";
        if (k < plan.count) {
            const entry_t &e = plan.entries[k];
            std::snprintf(id, sizeof id, "key-%ld", static_cast<long>(e.input));
            if (e.input < 0) {
                std::snprintf(id, sizeof id, "key-others");
            }
            std::snprintf(colour, sizeof colour, "#%06x",
                          static_cast<unsigned>(INFO_BUDGET_PALETTE[k]));
            label = label_of(e, budget);
        }
        info_putf(out,
                  "<g id=\"%s\"><rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" fill=\"%s\" "
                  "stroke=\"%s\"/>",
                  id, px(MARGIN).text, px(y).text, px(SWATCH).text, px(SWATCH).text,
                  k < plan.count ? colour : INFO_NO_DATA_COLOUR, OUTLINE);
        info_putf(out, "<text x=\"%s\" y=\"%s\" font-size=\"%s\" xml:space=\"preserve\">",
                  px(MARGIN + SWATCH + 6).text, px(y + SWATCH - 1).text, px(TEXT_SIZE).text);
        info_put_escaped(out, label);
        info_put(out, "</text></g>\n");
    }
    info_put(out, "</g>\n");
}

// Per entry its name, an outlined track of the whole length, the bar of its
// share in its colour, and the share in %.
void put_bars(df_out_t *out, const rss_budget_t *budget, const plan_t &plan, const layout_t &l) {
    info_put(out, "<g id=\"shares\">\n");
    for (int k = 0; k < plan.count; ++k) {
        const entry_t &e = plan.entries[k];
        const double top = MAP_TOP + k * BAR_ROW;
        const double bar_y = top + TEXT_SIZE + 5;
        const double share = std::fmin(std::fmax(e.share, 0.0), 1.0);
        if (e.input >= 0) {
            info_putf(out, "<g id=\"share-%ld\">", static_cast<long>(e.input));
        } else {
            info_put(out, "<g id=\"share-others\">");
        }
        info_putf(out, "<text x=\"%s\" y=\"%s\" font-size=\"%s\" xml:space=\"preserve\">",
                  px(l.bars_x).text, px(top + TEXT_SIZE).text, px(TEXT_SIZE).text);
        info_put_escaped(out, label_of(e, budget));
        info_putf(out,
                  "</text><rect class=\"track\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
                  "fill=\"none\" stroke=\"%s\"/>",
                  px(l.bars_x).text, px(bar_y).text, px(BAR_LENGTH).text, px(BAR_THICKNESS).text,
                  OUTLINE);
        info_putf(out,
                  "<rect class=\"bar\" x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
                  "fill=\"#%06x\"/>",
                  px(l.bars_x).text, px(bar_y).text, px(share * BAR_LENGTH).text,
                  px(BAR_THICKNESS).text, static_cast<unsigned>(INFO_BUDGET_PALETTE[k]));
        info_putf(out, "<text x=\"%s\" y=\"%s\" font-size=\"%s\">%s %%</text></g>\n",
                  px(l.bars_x + BAR_LENGTH + 6).text, px(bar_y + BAR_THICKNESS - 3).text,
                  px(TEXT_SIZE).text, info_fixed(100.0 * e.share, 2, false).text);
    }
    info_put(out, "</g>\n");
}

} // namespace

int32_t info_write_budget_svg(const rss_budget_t *budget, int32_t count, const df_hdr_t *first,
                              const char *path) {
    plan_t plan;
    int32_t code = plan_entries(budget, count, &plan);
    info_picture_t picture{};
    if (code == 0) {
        code = dominance_picture(budget->dominance, count, plan, &picture);
    }
    info_png_t png{};
    layout_t l{};
    if (code == 0) {
        l = lay_out(budget, count, first, plan, picture.transparent);
        code = info_png_drawn(&picture, l.map_w, l.map_h, &png);
    }
    df_out_t out;
    if (code == 0) {
        code = df_out_open(&out, path, DF_OUT_EXPORT);
    }
    if (code == 0) {
        put_header(&out, l);
        info_put_map(&out, &png, MARGIN, MAP_TOP, l.map_w, l.map_h);
        put_legend(&out, budget, plan, picture.transparent, l);
        put_bars(&out, budget, plan, l);
        info_put(&out, "</svg>\n");
        code = df_out_commit(&out);
    }
    info_png_free(&png);
    info_picture_free(&picture);
    u_free_fn(plan.entry_of);
    return code;
}
