// PNG encoding of the pictures: 8-bit palette indices, the transparent index
// in a tRNS chunk, and the rows compressed by zlib into one IDAT chunk. One
// byte per pixel instead of four RGBA bytes gives a quarter of the data to
// filter and compress. zlib also gives the chunk CRCs; its memory comes
// through the library hooks.
#include "info/deflate.h"
#include "info/info.h"

#include <cstring>
#include <utility>

namespace {

constexpr uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint8_t COLOUR_TYPE_PALETTE = 3;
constexpr uint8_t COLOUR_TYPE_RGBA = 6;
constexpr int64_t SMALL_PICTURE = 1 << 14; // pixels
// Every row filtered with Sub (each index minus its left neighbour): the
// indices follow the heights, so a smooth map turns into runs of small
// values. On a smooth 4096 x 3000 map an eighth smaller than unfiltered rows;
// on noise the same size.
constexpr uint8_t FILTER_SUB = 1;

void put_be32(uint8_t *at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 24);
    at[1] = static_cast<uint8_t>(v >> 16);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v);
}

// A chunk whose data already stand at at + 8: length, type, and the CRC of
// type and data. Yields the end of the chunk.
uint8_t *close_chunk(uint8_t *at, const char *type, uint32_t length) {
    put_be32(at, length);
    std::memcpy(at + 4, type, 4);
    const uLong crc = crc32(0L, at + 4, length + 4);
    put_be32(at + 8 + length, static_cast<uint32_t>(crc));
    return at + 12 + length;
}

// A compressor for the rows. Large pictures take run-length matches only:
// the filtered rows of a smooth map are mostly runs, and noise has no matches
// worth the search; on 4096 x 3000 maps that is about a tenth smaller on a
// smooth map, and the same size on noise in half the time. Small ones, where
// time does not count, take the general search.
bool start_deflate(z_stream *z, bool small) {
    return info_deflate_start(z, small ? Z_DEFAULT_STRATEGY : Z_RLE);
}

// Fills `buf` with the filter byte and row y filtered with Sub: the palette
// indices (bpp 1) or their RGBA colours (bpp 4).
void filter_row(const info_picture_t *picture, int y, std::size_t bpp, uint8_t *buf) {
    const std::size_t width = static_cast<std::size_t>(picture->width);
    const uint8_t *row = picture->indices + width * static_cast<std::size_t>(y);
    uint8_t *out = buf + 1;
    buf[0] = FILTER_SUB;
    if (bpp == 1) {
        std::memcpy(out, row, width);
    } else {
        for (std::size_t x = 0; x < width; ++x) {
            const bool clear = picture->transparent && row[x] == 0;
            const uint32_t rgb = clear ? 0 : picture->palette[row[x]];
            const uint8_t px[4] = {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
                                   static_cast<uint8_t>(rgb),
                                   static_cast<uint8_t>(clear ? 0 : 255)};
            std::memcpy(out + 4 * x, px, 4);
        }
    }
    for (std::size_t i = width * bpp; i-- > bpp;) {
        out[i] = static_cast<uint8_t>(out[i] - out[i - bpp]);
    }
}

// Compresses the filtered rows into `out` and ends the stream; false when
// zlib fails.
bool compress_rows(const info_picture_t *picture, std::size_t bpp, z_stream &z, uint8_t *out,
                   uLong capacity, uLong *length, uint8_t *row_buffer) {
    z.next_out = out;
    z.avail_out = static_cast<uInt>(capacity);
    bool ok = true;
    for (int y = 0; y < picture->height && ok; ++y) {
        filter_row(picture, y, bpp, row_buffer);
        z.next_in = row_buffer;
        z.avail_in = static_cast<uInt>(static_cast<std::size_t>(picture->width) * bpp + 1);
        const bool last = y + 1 == picture->height;
        const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        ok = last ? rc == Z_STREAM_END : rc == Z_OK && z.avail_in == 0;
    }
    *length = z.total_out;
    deflateEnd(&z);
    return ok;
}

// The PNG file with palette indices (bpp 1) or RGBA pixels (bpp 4).
int32_t encode(const info_picture_t *picture, std::size_t bpp, info_png_t *png) {
    *png = info_png_t{};
    z_stream z;
    if (!start_deflate(&z, int64_t{picture->width} * picture->height <= SMALL_PICTURE)) {
        return ERR_NO_MEM;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(picture->width) * bpp + 1;
    const uLong bound = deflateBound(&z, static_cast<uLong>(row_bytes * picture->height));
    const bool indexed = bpp == 1;
    const uint32_t palette_bytes = indexed ? 3 * static_cast<uint32_t>(picture->colours) : 0;
    // Signature, IHDR, PLTE, tRNS, IDAT and IEND with 12 bytes around each.
    const std::size_t capacity = sizeof SIGNATURE + (12 + 13) + (12 + palette_bytes) + (12 + 1) +
                                 (12 + std::size_t{bound}) + 12;
    auto *bytes = static_cast<uint8_t *>(u_malloc_fn(capacity));
    auto *row_buffer = static_cast<uint8_t *>(u_malloc_fn(row_bytes));
    if (bytes == nullptr || row_buffer == nullptr) {
        u_free_fn(bytes);
        u_free_fn(row_buffer);
        deflateEnd(&z);
        return ERR_NO_MEM;
    }
    uint8_t *at = bytes;
    std::memcpy(at, SIGNATURE, sizeof SIGNATURE);
    at += sizeof SIGNATURE;
    put_be32(at + 8, static_cast<uint32_t>(picture->width));
    put_be32(at + 12, static_cast<uint32_t>(picture->height));
    // Depth, colour type, compression, filter method, no interlace.
    const uint8_t ihdr_tail[5] = {8, indexed ? COLOUR_TYPE_PALETTE : COLOUR_TYPE_RGBA, 0, 0, 0};
    std::memcpy(at + 16, ihdr_tail, sizeof ihdr_tail);
    at = close_chunk(at, "IHDR", 13);
    if (indexed) {
        for (int i = 0; i < picture->colours; ++i) {
            const uint32_t rgb = picture->palette[i];
            at[8 + 3 * i] = static_cast<uint8_t>(rgb >> 16);
            at[9 + 3 * i] = static_cast<uint8_t>(rgb >> 8);
            at[10 + 3 * i] = static_cast<uint8_t>(rgb);
        }
        at = close_chunk(at, "PLTE", palette_bytes);
    }
    if (indexed && picture->transparent) {
        at[8] = 0; // index 0 fully transparent, the others opaque
        at = close_chunk(at, "tRNS", 1);
    }
    uLong stream = 0;
    const bool ok = compress_rows(picture, bpp, z, at + 8, bound, &stream, row_buffer);
    u_free_fn(row_buffer);
    if (!ok) {
        u_free_fn(bytes);
        return ERR_NO_MEM;
    }
    at = close_chunk(at, "IDAT", static_cast<uint32_t>(stream));
    at = close_chunk(at, "IEND", 0);
    png->bytes = bytes;
    png->size = static_cast<std::size_t>(at - bytes);
    return 0;
}

voidpf z_alloc(voidpf /*opaque*/, uInt items, uInt size) {
    return u_malloc_fn(std::size_t{items} * size);
}

void z_free(voidpf /*opaque*/, voidpf block) {
    u_free_fn(block);
}

} // namespace

bool info_deflate_start(z_stream *z, int strategy) {
    *z = z_stream{};
    z->zalloc = z_alloc;
    z->zfree = z_free;
    return deflateInit2(z, Z_BEST_SPEED, Z_DEFLATED, 15, 8, strategy) == Z_OK;
}

int32_t info_png_encode(const info_picture_t *picture, info_png_t *png) {
    int32_t code = encode(picture, 1, png);
    // A few pixels in many colours take fewer bytes as RGBA than with their
    // palette: small pictures are made both ways, and the smaller kept.
    const int64_t pixels = int64_t{picture->width} * picture->height;
    if (code == 0 && pixels <= SMALL_PICTURE) {
        info_png_t rgba;
        code = encode(picture, 4, &rgba);
        if (code == 0 && rgba.size < png->size) {
            std::swap(*png, rgba);
        }
        info_png_free(code == 0 ? &rgba : png);
    }
    return code;
}

void info_png_free(info_png_t *png) {
    u_free_fn(png->bytes);
    *png = info_png_t{};
}

int32_t info_png_drawn(const info_picture_t *picture, double drawn_w, double drawn_h,
                       info_png_t *png) {
    const int factor = info_enlargement(picture->width, picture->height, drawn_w, drawn_h);
    if (factor == 1) {
        return info_png_encode(picture, png);
    }
    info_picture_t enlarged;
    int32_t code = info_picture_enlarge(picture, factor, &enlarged);
    if (code == 0) {
        code = info_png_encode(&enlarged, png);
    }
    info_picture_free(&enlarged);
    return code;
}
