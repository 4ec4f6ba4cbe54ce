// The HTML page of a phase map: one self-contained file that a browser
// opens from disk without any network. The page's markup, style and scripts
// (html_page.html, html_page.css, html_page*.js) are built into the program; this file fills
// in the file's name, figures and facts, and the counts themselves.
//
// The counts travel as their offsets from the lowest valid count (all ones
// for pixels without data) in as few bytes as hold them, split into byte
// planes, low bytes first, deflated (zlib format) and base64-coded. A
// narrow map needs few planes, and a high plane of slowly varying heights
// is long runs that deflate to little.
#include "info/html_page_files.h"
#include "info/info.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <zlib.h>

namespace {

constexpr double MAP_LONG_SIDE = 640; // px of the map on the page at load
// What a browser holds: a canvas side, and base64 text well inside a
// script's longest string.
constexpr int MAX_SIDE = 16384;
constexpr int64_t MAX_PIXELS = int64_t{1} << 26;

std::string_view page_part(const unsigned char *bytes, std::size_t size) {
    return {reinterpret_cast<const char *>(bytes), size};
}

void put_view(df_out_t *out, std::string_view text) {
    df_out_write(out, text.data(), text.size());
}

// A number for the page's JSON: shortest exact form, null when not finite.
void put_number(df_out_t *out, const char *key, double v, bool comma = true) {
    char buf[INFO_NUMBER_BUF];
    if (std::isfinite(v)) {
        buf[info_shortest_double(v, buf)] = '\0';
    } else {
        std::strcpy(buf, "null");
    }
    info_putf(out, "\"%s\":%s%s", key, buf, comma ? "," : "");
}

struct page_size_t {
    int width, height;   // px of the map at load
    double res_x, res_y; // metres per pixel across and down, 0 when unknown
};

page_size_t page_size(const info_file_t *file) {
    const window_t &w = file->phase.window;
    double across = 0;
    double down = 0;
    info_map_extent(&file->hdr, w.width, w.height, &across, &down);
    const double scale = MAP_LONG_SIDE / std::fmax(across, down);
    page_size_t p{};
    p.width = static_cast<int>(std::fmax(1.0, std::round(across * scale)));
    p.height = static_cast<int>(std::fmax(1.0, std::round(down * scale)));
    p.res_x = info_lateral_resolution(&file->hdr);
    // Down, the pixels' own aspect.
    p.res_y = p.res_x * (down / w.height) / (across / w.width);
    return p;
}

// Byte planes that hold every offset and the all-ones mark of no data.
int plane_count(const phase_stats_t &s) {
    const uint32_t span = static_cast<uint32_t>(s.max_count) - static_cast<uint32_t>(s.min_count);
    int planes = 1;
    while (planes < 4 && span >= (uint32_t{1} << (8 * planes)) - 1) {
        ++planes;
    }
    return planes;
}

void put_meta(df_out_t *out, const info_file_t *file, const info_figure_t *f,
              const page_size_t &p) {
    const window_t &w = file->phase.window;
    const phase_stats_t &s = file->stats;
    info_putf(out, "{\"x\":%d,\"y\":%d,\"width\":%d,\"height\":%d,", w.x, w.y, w.width, w.height);
    put_number(out, "nmPerCount", file->nm_per_count);
    info_putf(out, "\"base\":%d,\"top\":%d,\"planes\":%d,", static_cast<int>(s.min_count),
              static_cast<int>(s.max_count), plane_count(s));
    put_number(out, "resolutionX", p.res_x);
    put_number(out, "resolutionY", p.res_y);
    put_number(out, "lo", f->lo_nm);
    put_number(out, "hi", f->hi_nm);
    info_putf(out, "\"hasRange\":%s,", f->has_range ? "true" : "false");
    put_number(out, "min", s.min_nm);
    put_number(out, "max", s.max_nm);
    put_number(out, "pv", s.pv_nm);
    put_number(out, "rms", s.rms_nm);
    put_number(out, "mean", s.mean_nm);
    info_putf(out, "\"valid\":%lld,\"pixels\":%lld,", static_cast<long long>(s.valid),
              static_cast<long long>(s.pixels));
    info_putf(out, "\"noData\":\"%s\",\"colours\":[", INFO_NO_DATA_COLOUR);
    for (int e = 0; e < 256; ++e) {
        info_putf(out, "%s%u", e > 0 ? "," : "", static_cast<unsigned>(INFO_COLOUR_TABLE[e]));
    }
    info_put(out, "]}");
}

// The counts as offsets in byte planes, deflated; *size bytes from
// u_malloc_fn, or ERR_NO_MEM.
int32_t pack_counts(const info_file_t *file, int planes_used, uint8_t **packed, std::size_t *size) {
    *packed = nullptr;
    *size = 0;
    const std::size_t n = static_cast<std::size_t>(file->phase.window.width) *
                          static_cast<std::size_t>(file->phase.window.height);
    const std::size_t total = n * static_cast<std::size_t>(planes_used);
    auto *planes = static_cast<uint8_t *>(u_malloc_fn(total + 1));
    if (planes == nullptr) {
        return ERR_NO_MEM;
    }
    const int32_t *v = file->phase.matrix;
    const uint32_t base = static_cast<uint32_t>(file->stats.min_count);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t offset =
            v[i] < INT_MAP_INVALID ? static_cast<uint32_t>(v[i]) - base : UINT32_MAX;
        for (int p = 0; p < planes_used; ++p) {
            planes[p * n + i] = static_cast<uint8_t>(offset >> (8 * p));
        }
    }
    // Runs only: as fast as Huffman coding alone, and the constant planes
    // of a narrow map shrink to almost nothing.
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) {
        u_free_fn(planes);
        return ERR_NO_MEM;
    }
    const uLong bound = deflateBound(&z, static_cast<uLong>(total));
    auto *bytes = static_cast<uint8_t *>(u_malloc_fn(bound));
    int rc = Z_MEM_ERROR;
    if (bytes != nullptr) {
        z.next_in = planes;
        z.avail_in = static_cast<uInt>(total);
        z.next_out = bytes;
        z.avail_out = static_cast<uInt>(bound);
        rc = deflate(&z, Z_FINISH);
    }
    *size = z.total_out;
    deflateEnd(&z);
    u_free_fn(planes);
    if (rc != Z_STREAM_END) {
        u_free_fn(bytes);
        *size = 0;
        return ERR_NO_MEM;
    }
    *packed = bytes;
    return 0;
}

// The template with its {{name}} places filled in.
void put_page(df_out_t *out, const info_file_t *file, const info_figure_t *f, const uint8_t *packed,
              std::size_t packed_size) {
    const page_size_t p = page_size(file);
    info_caption_t caption;
    info_caption(file, &caption);
    std::string_view rest = page_part(INFO_HTML_PAGE_HTML, sizeof INFO_HTML_PAGE_HTML);
    for (;;) {
        const std::size_t open = rest.find("{{");
        put_view(out, rest.substr(0, open));
        if (open == std::string_view::npos) {
            return;
        }
        const std::size_t close = rest.find("}}", open);
        const std::string_view name = rest.substr(open + 2, close - open - 2);
        rest.remove_prefix(close + 2);
        if (name == "title") {
            info_put_escaped(out, file->name);
        } else if (name == "figures") {
            info_put(out, caption.figures);
        } else if (name == "captured") {
            info_put(out, caption.captured);
        } else if (name == "map_width") {
            info_putf(out, "%d", p.width);
        } else if (name == "map_height") {
            info_putf(out, "%d", p.height);
        } else if (name == "style") {
            put_view(out, page_part(INFO_HTML_PAGE_CSS, sizeof INFO_HTML_PAGE_CSS));
        } else if (name == "script") {
            // One scope, in this order: measures, drawing, the page.
            put_view(out, page_part(INFO_HTML_PAGE_MEASURE_JS, sizeof INFO_HTML_PAGE_MEASURE_JS));
            put_view(out, page_part(INFO_HTML_PAGE_DRAW_JS, sizeof INFO_HTML_PAGE_DRAW_JS));
            put_view(out, page_part(INFO_HTML_PAGE_JS, sizeof INFO_HTML_PAGE_JS));
        } else if (name == "meta") {
            put_meta(out, file, f, p);
        } else if (name == "heights") {
            info_put_base64(out, packed, packed_size);
        }
    }
}

} // namespace

int32_t info_write_html(const info_file_t *file, const info_figure_t *figure, const char *path) {
    int32_t code = info_map_drawable(file, figure->lo_nm, figure->hi_nm);
    if (code != 0) {
        return code;
    }
    const window_t &w = file->phase.window;
    if (w.width > MAX_SIDE || w.height > MAX_SIDE || int64_t{w.width} * w.height > MAX_PIXELS) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    uint8_t *packed = nullptr;
    std::size_t packed_size = 0;
    code = pack_counts(file, plane_count(file->stats), &packed, &packed_size);
    if (code != 0) {
        return code;
    }
    df_out_t out;
    code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code == 0) {
        put_page(&out, file, figure, packed, packed_size);
        code = df_out_commit(&out);
    }
    u_free_fn(packed);
    return code;
}
