// The heights as a TIFF file that image and GIS programs read: one image of
// 32-bit IEEE floats in nm (SampleFormat 3), little-endian, NaN without data,
// in Deflate-compressed strips without predictor (not every reader undoes
// the floating-point one). The head comes first: the image file header, the
// one directory and its values, then the strips.
//
// The lateral scale is the resolution in pixels per cm, and again an ImageJ
// description ("unit=um"), which also holds the window's place in the camera
// frame (xorigin, yorigin in pixels, as ImageJ counts them) and the file's
// attributes. DateTime is the capture time, Software this program; the
// GDAL_NODATA tag marks NaN as no data for GIS programs.
#include "info/info.h"

#include <cmath>
#include <cstring>

#ifndef KELVORIN_VERSION
#define KELVORIN_VERSION "unknown"
#endif

namespace {

enum : uint16_t { ASCII = 2, SHORT = 3, LONG = 4, RATIONAL = 5 };

enum : uint16_t {
    IMAGE_WIDTH = 256,
    IMAGE_LENGTH = 257,
    BITS_PER_SAMPLE = 258,
    COMPRESSION = 259,
    PHOTOMETRIC = 262,
    IMAGE_DESCRIPTION = 270,
    STRIP_OFFSETS = 273,
    SAMPLES_PER_PIXEL = 277,
    ROWS_PER_STRIP = 278,
    STRIP_BYTE_COUNTS = 279,
    X_RESOLUTION = 282,
    Y_RESOLUTION = 283,
    PLANAR_CONFIGURATION = 284,
    RESOLUTION_UNIT = 296,
    SOFTWARE = 305,
    DATE_TIME = 306,
    SAMPLE_FORMAT = 339,
    GDAL_NODATA = 42113,
};

constexpr uint16_t COMPRESSION_DEFLATE = 8;
constexpr uint16_t MIN_IS_BLACK = 1;
constexpr uint16_t RESOLUTION_CENTIMETRE = 3;
constexpr uint16_t SAMPLE_IEEE_FLOAT = 3;
constexpr std::size_t IFD_START = 8;

void put_le16(uint8_t *at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *at, uint32_t v) {
    put_le16(at, static_cast<uint16_t>(v));
    put_le16(at + 2, static_cast<uint16_t>(v >> 16));
}

// The head of the file. Laid out twice: first without bytes, to count the
// entries and the out-of-line values, then into a block of that size.
struct head_t {
    uint8_t *bytes; // null while measuring
    uint16_t entries;
    std::size_t extra_start; // where the out-of-line values begin
    std::size_t extra;       // bytes of them so far
};

std::size_t head_size(const head_t &h) {
    return h.extra_start + h.extra;
}

// An entry of `size` bytes of values, in the entry when they fit, else out
// of line at a word boundary. The first `given` bytes come from `values`,
// already in file order; the others stay 0 (the block starts zeroed).
void add(head_t *h, uint16_t tag, uint16_t type, uint32_t count, const void *values,
         std::size_t size, std::size_t given) {
    const std::size_t entry = IFD_START + 2 + 12 * std::size_t{h->entries++};
    const bool inline_values = size <= 4;
    const std::size_t at = h->extra_start + h->extra;
    if (!inline_values) {
        h->extra += size + (size & 1);
    }
    if (h->bytes == nullptr) {
        return;
    }
    put_le16(h->bytes + entry, tag);
    put_le16(h->bytes + entry + 2, type);
    put_le32(h->bytes + entry + 4, count);
    if (inline_values) {
        std::memcpy(h->bytes + entry + 8, values, given);
    } else {
        std::memcpy(h->bytes + at, values, given);
        put_le32(h->bytes + entry + 8, static_cast<uint32_t>(at));
    }
}

void add_short(head_t *h, uint16_t tag, uint16_t v) {
    uint8_t b[2];
    put_le16(b, v);
    add(h, tag, SHORT, 1, b, sizeof b, sizeof b);
}

void add_long(head_t *h, uint16_t tag, uint32_t v) {
    uint8_t b[4];
    put_le32(b, v);
    add(h, tag, LONG, 1, b, sizeof b, sizeof b);
}

void add_ascii(head_t *h, uint16_t tag, const char *text, std::size_t n) {
    add(h, tag, ASCII, static_cast<uint32_t>(n + 1), text, n + 1, n); // and a NUL
}

void add_rational(head_t *h, uint16_t tag, const uint32_t fraction[2]) {
    uint8_t b[8];
    put_le32(b, fraction[0]);
    put_le32(b + 4, fraction[1]);
    add(h, tag, RATIONAL, 1, b, sizeof b, sizeof b);
}

// Longs already in file order (count of them at `bytes`).
void add_longs(head_t *h, uint16_t tag, const uint8_t *bytes, int32_t count) {
    const std::size_t size = 4 * static_cast<std::size_t>(count);
    add(h, tag, LONG, static_cast<uint32_t>(count), bytes, size, size);
}

// The best fraction num/den of v with both below 2^32 (from its continued
// fraction); false when v has none with a numerator above 0.
bool fraction_of(double v, uint32_t fraction[2]) {
    uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0; // convergents p/q
    double x = v;
    for (int i = 0; i < 64 && std::isfinite(x); ++i) {
        const double a = std::floor(x);
        const uint64_t largest = p1 > q1 ? p1 : q1;
        if (a > static_cast<double>(UINT32_MAX / (largest > 0 ? largest : 1))) {
            break;
        }
        const uint64_t p2 = static_cast<uint64_t>(a) * p1 + p0;
        const uint64_t q2 = static_cast<uint64_t>(a) * q1 + q0;
        if (p2 > UINT32_MAX || q2 > UINT32_MAX) {
            break;
        }
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
        if (x == a) {
            break;
        }
        x = 1.0 / (x - a);
    }
    fraction[0] = static_cast<uint32_t>(p1);
    fraction[1] = static_cast<uint32_t>(q1);
    return p1 > 0 && q1 > 0;
}

// A text of the file in the description: printable ASCII as it is; every
// other character, and the backslash and '=' (which split ImageJ's lines), as
// the \uXXXX escapes of Java properties, which ImageJ reads its description
// with (UTF-16 pairs beyond U+FFFF).
void put_ascii_escaped(info_text_t *text, const char *bytes, std::size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < n;) {
        std::size_t length = 1;
        const uint32_t c = info_next_char(s + i, n - i, &length);
        i += length;
        char buf[16];
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '=') {
            buf[0] = static_cast<char>(c);
            info_text_put(text, buf, 1);
        } else if (c <= 0xFFFF) {
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            info_text_puts(text, buf);
        } else {
            const uint32_t u = c - 0x10000;
            std::snprintf(buf, sizeof buf, "\\u%04X\\u%04X",
                          static_cast<unsigned>(0xD800 + (u >> 10)),
                          static_cast<unsigned>(0xDC00 + (u & 0x3FF)));
            info_text_puts(text, buf);
        }
    }
}

// In double quotes, so that blanks at the ends stay.
void put_quoted(info_text_t *text, const char *bytes, std::size_t n) {
    info_text_put(text, "\"", 1);
    put_ascii_escaped(text, bytes, n);
    info_text_put(text, "\"", 1);
}

void put_line(info_text_t *text, const char *name, const char *value) {
    info_text_puts(text, name);
    info_text_puts(text, value);
    info_text_put(text, "\n", 1);
}

// The ImageJ description: its marker, the lateral unit, the window's origin,
// the height unit and display range, then the name and the attributes.
void describe(info_text_t *text, const info_file_t *file, bool has_scale) {
    char buf[INFO_NUMBER_BUF + 8];
    put_line(text, "ImageJ=", "1.11a");
    if (has_scale) {
        put_line(text, "unit=", "um"); // ImageJ turns the resolution's cm into um
    }
    std::snprintf(buf, sizeof buf, "%d", -file->phase.window.x);
    put_line(text, "xorigin=", buf);
    std::snprintf(buf, sizeof buf, "%d", -file->phase.window.y);
    put_line(text, "yorigin=", buf);
    put_line(text, "vunit=", "nm");
    info_shortest_float(static_cast<float>(file->stats.min_nm), buf);
    put_line(text, "min=", buf);
    info_shortest_float(static_cast<float>(file->stats.max_nm), buf);
    put_line(text, "max=", buf);
    info_text_puts(text, "Title=");
    const char *title = info_base_name(file->name);
    put_quoted(text, title, std::strlen(title));
    info_text_put(text, "\n", 1);
    info_put_attributes(text, file, "=", put_quoted);
}

struct tiff_facts_t {
    const info_file_t *file;
    const info_strips_t *strips;
    const info_text_t *description;
    bool has_scale;
    uint32_t x_resolution[2];
    uint32_t y_resolution[2];
    char date_time[20]; // "YYYY:MM:DD HH:MM:SS"
    uint8_t *offsets;   // of the strips, in file order (null while measuring)
    uint8_t *sizes;
};

// Every entry in the order of the tags.
void lay_out(head_t *h, const tiff_facts_t &f) {
    static constexpr char SOFTWARE_NAME[] = "kelvorin-info " KELVORIN_VERSION;
    const window_t &w = f.file->phase.window;
    add_long(h, IMAGE_WIDTH, static_cast<uint32_t>(w.width));
    add_long(h, IMAGE_LENGTH, static_cast<uint32_t>(w.height));
    add_short(h, BITS_PER_SAMPLE, 32);
    add_short(h, COMPRESSION, COMPRESSION_DEFLATE);
    add_short(h, PHOTOMETRIC, MIN_IS_BLACK);
    add_ascii(h, IMAGE_DESCRIPTION, f.description->bytes, f.description->size);
    add_longs(h, STRIP_OFFSETS, f.offsets, f.strips->count);
    add_short(h, SAMPLES_PER_PIXEL, 1);
    add_long(h, ROWS_PER_STRIP, static_cast<uint32_t>(f.strips->rows_per_strip));
    add_longs(h, STRIP_BYTE_COUNTS, f.sizes, f.strips->count);
    if (f.has_scale) {
        add_rational(h, X_RESOLUTION, f.x_resolution);
        add_rational(h, Y_RESOLUTION, f.y_resolution);
    }
    add_short(h, PLANAR_CONFIGURATION, 1);
    if (f.has_scale) {
        add_short(h, RESOLUTION_UNIT, RESOLUTION_CENTIMETRE);
    }
    add_ascii(h, SOFTWARE, SOFTWARE_NAME, sizeof SOFTWARE_NAME - 1);
    add_ascii(h, DATE_TIME, f.date_time, sizeof f.date_time - 1);
    add_short(h, SAMPLE_FORMAT, SAMPLE_IEEE_FLOAT);
    add_ascii(h, GDAL_NODATA, "nan", 3);
}

// The head with the strips' offsets and sizes, in one block of *size bytes
// (from u_calloc_fn), or null.
uint8_t *make_head(tiff_facts_t *f, std::size_t *size) {
    head_t h{};
    lay_out(&h, *f);
    const uint16_t entries = h.entries;
    h = head_t{nullptr, 0, IFD_START + 2 + 12 * std::size_t{entries} + 4, 0};
    lay_out(&h, *f); // the same entries, now measured after the directory
    *size = head_size(h);
    const std::size_t count = static_cast<std::size_t>(f->strips->count);
    h.bytes = static_cast<uint8_t *>(u_calloc_fn(*size, 1));
    f->offsets = static_cast<uint8_t *>(u_malloc_fn(4 * count));
    f->sizes = static_cast<uint8_t *>(u_malloc_fn(4 * count));
    if (h.bytes != nullptr && f->offsets != nullptr && f->sizes != nullptr) {
        uint64_t at = *size;
        for (std::size_t s = 0; s < count; ++s) {
            put_le32(f->offsets + 4 * s, static_cast<uint32_t>(at));
            put_le32(f->sizes + 4 * s, f->strips->sizes[s]);
            at += f->strips->sizes[s];
        }
        std::memcpy(h.bytes, "II*\0", 4);
        put_le32(h.bytes + 4, IFD_START);
        put_le16(h.bytes + IFD_START, entries);
        h.entries = 0;
        h.extra = 0;
        lay_out(&h, *f); // the next directory's offset after the entries stays 0
    } else {
        u_free_fn(h.bytes);
        h.bytes = nullptr;
    }
    u_free_fn(f->offsets);
    u_free_fn(f->sizes);
    f->offsets = f->sizes = nullptr;
    return h.bytes;
}

} // namespace

int32_t info_write_tiff(const info_file_t *file, const char *path) {
    int32_t code = info_float_heights_usable(file, file->nm_per_count);
    if (code != 0) {
        return code;
    }
    tiff_facts_t f{};
    f.file = file;
    // Pixels per cm across and down.
    info_lateral_t lateral;
    f.has_scale = info_lateral_scale(&file->hdr, &lateral) &&
                  fraction_of(0.01 / lateral.x_m, f.x_resolution) &&
                  fraction_of(0.01 / lateral.y_m, f.y_resolution);
    char when[64];
    info_utc_text(file->hdr.TimeStamp, when, sizeof when);
    std::memcpy(f.date_time, when, sizeof f.date_time - 1);
    f.date_time[4] = f.date_time[7] = ':';
    // A character of a name or comment takes at most 12 bytes escaped.
    info_text_t description;
    const std::size_t texts = std::strlen(file->name) + sizeof file->hdr.comment;
    if (!info_text_init(&description, 2048 + 12 * texts)) {
        return ERR_NO_MEM;
    }
    describe(&description, file, f.has_scale);
    f.description = &description;
    info_strips_t strips;
    code = info_deflate_strips(&file->phase, file->nm_per_count, &strips);
    f.strips = &strips;
    std::size_t head_bytes = 0;
    uint8_t *head = code == 0 ? make_head(&f, &head_bytes) : nullptr;
    info_text_free(&description);
    if (code == 0 && head == nullptr) {
        code = ERR_NO_MEM;
    }
    if (code == 0) {
        df_out_t out;
        code = df_out_open(&out, path, DF_OUT_EXPORT);
        if (code == 0) {
            df_out_write(&out, head, head_bytes);
            df_out_write(&out, strips.half[0], strips.half_size[0]);
            df_out_write(&out, strips.half[1], strips.half_size[1]);
            code = df_out_commit(&out);
        }
    }
    u_free_fn(head);
    info_strips_free(&strips);
    return code;
}
