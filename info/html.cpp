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
    info_lateral_t lateral;
    p.res_x = info_lateral_scale(&file->hdr, &lateral) ? lateral.x_m : 0.0;
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

// A plane's bytes: byte p of each pixel's offset from `base`, all ones
// for no data; pixels [from, from + count) into out.
void plane_bytes(const int32_t *v, uint32_t base, int p, std::size_t from, std::size_t count,
                 uint8_t *out) {
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t c = v[from + i];
        const uint32_t offset = c < INT_MAP_INVALID ? static_cast<uint32_t>(c) - base : UINT32_MAX;
        out[i] = static_cast<uint8_t>(offset >> (8 * p));
    }
}

// Bits per byte of a plane by the frequency of its byte values.
double plane_entropy(const int32_t *v, uint32_t base, int p, std::size_t n, uint8_t *scratch,
                     std::size_t scratch_size) {
    std::size_t seen[256] = {};
    for (std::size_t from = 0; from < n; from += scratch_size) {
        const std::size_t count = n - from < scratch_size ? n - from : scratch_size;
        plane_bytes(v, base, p, from, count, scratch);
        for (std::size_t i = 0; i < count; ++i) {
            ++seen[scratch[i]];
        }
    }
    double bits = 0;
    for (const std::size_t k : seen) {
        if (k > 0) {
            const double share = static_cast<double>(k) / static_cast<double>(n);
            bits -= share * std::log2(share);
        }
    }
    return bits;
}

// Deflate's output goes out base64-coded as it comes, in pieces of a
// multiple of 3 bytes, so that the pieces code as the whole would.
constexpr std::size_t PIECE = 3 * 21840;            // deflate output between two writes
constexpr std::size_t CHUNK = std::size_t{1} << 20; // plane bytes a deflate call

struct packer_t {
    z_stream z;
    df_out_t *out;
    uint8_t *piece; // PIECE bytes
};

// Runs deflate with `flush` until it has taken all input and, for
// Z_BLOCK and Z_FINISH, given all output; false on a failure.
bool run_deflate(packer_t *k, int flush) {
    for (;;) {
        const int rc = deflate(&k->z, flush);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
            return false;
        }
        const bool full = k->z.avail_out == 0;
        if (full || rc == Z_STREAM_END) {
            info_put_base64(k->out, k->piece, PIECE - k->z.avail_out);
            k->z.next_out = k->piece;
            k->z.avail_out = static_cast<uInt>(PIECE);
        }
        if (rc == Z_STREAM_END || (!full && k->z.avail_in == 0 && flush != Z_FINISH)) {
            return true;
        }
    }
}

// Writes the counts deflated and base64-coded: plane after plane, runs
// only (as fast as Huffman coding alone, and the constant planes of a
// narrow map shrink to almost nothing); a plane of noise, which would not
// shrink at all, is stored as it is. ERR_NO_MEM.
int32_t put_counts(df_out_t *out, const info_file_t *file, int planes) {
    const std::size_t n = static_cast<std::size_t>(file->phase.window.width) *
                          static_cast<std::size_t>(file->phase.window.height);
    const int32_t *v = file->phase.matrix;
    const uint32_t base = static_cast<uint32_t>(file->stats.min_count);
    packer_t k{};
    k.out = out;
    k.piece = static_cast<uint8_t *>(u_malloc_fn(PIECE + CHUNK));
    if (k.piece == nullptr) {
        return ERR_NO_MEM;
    }
    uint8_t *chunk = k.piece + PIECE;
    if (deflateInit2(&k.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) {
        u_free_fn(k.piece);
        return ERR_NO_MEM;
    }
    k.z.next_out = k.piece;
    k.z.avail_out = static_cast<uInt>(PIECE);
    bool ok = true;
    for (int p = 0; p < planes && ok; ++p) {
        // The plane before ends in its own settings.
        const bool noise = plane_entropy(v, base, p, n, chunk, CHUNK) > 7.9;
        ok = run_deflate(&k, Z_BLOCK) &&
             deflateParams(&k.z, noise ? Z_NO_COMPRESSION : Z_DEFAULT_COMPRESSION, Z_RLE) == Z_OK;
        for (std::size_t from = 0; from < n && ok; from += CHUNK) {
            const std::size_t count = n - from < CHUNK ? n - from : CHUNK;
            plane_bytes(v, base, p, from, count, chunk);
            k.z.next_in = chunk;
            k.z.avail_in = static_cast<uInt>(count);
            ok = run_deflate(&k, Z_NO_FLUSH);
        }
    }
    ok = ok && run_deflate(&k, Z_FINISH);
    deflateEnd(&k.z);
    u_free_fn(k.piece);
    return ok ? 0 : ERR_NO_MEM;
}

// The template with its {{name}} places filled in.
int32_t put_page(df_out_t *out, const info_file_t *file, const info_figure_t *f) {
    const page_size_t p = page_size(file);
    info_caption_t caption;
    info_caption(file, &caption);
    std::string_view rest = page_part(INFO_HTML_PAGE_HTML, sizeof INFO_HTML_PAGE_HTML);
    for (;;) {
        const std::size_t open = rest.find("{{");
        put_view(out, rest.substr(0, open));
        if (open == std::string_view::npos) {
            return 0;
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
            if (const int32_t code = put_counts(out, file, plane_count(file->stats)); code != 0) {
                return code;
            }
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
    df_out_t out;
    code = df_out_open(&out, path, DF_OUT_EXPORT);
    if (code != 0) {
        return code;
    }
    code = put_page(&out, file, figure);
    if (code != 0) {
        df_out_abandon(&out);
        return code;
    }
    code = df_out_commit(&out);
    return code;
}
