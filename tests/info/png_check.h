// A PNG reader for the tests, independent of the program's encoder: chunk
// CRCs, IHDR, the IDAT stream inflated by zlib, and the five row filters
// undone. Takes 8-bit RGBA or 8-bit palette indices (PLTE, tRNS) without
// interlacing, and gives RGBA pixels.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct rgba_image_t {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels; // RGBA, row after row
    const uint8_t *at(uint32_t x, uint32_t y) const { return &pixels[4 * (y * width + x)]; }
};

// Empty on success, else what is wrong.
inline std::string png_decode(const std::vector<uint8_t> &f, rgba_image_t *image) {
    auto be32 = [&](std::size_t at) {
        return uint32_t{f[at]} << 24 | uint32_t{f[at + 1]} << 16 | uint32_t{f[at + 2]} << 8 |
               f[at + 3];
    };
    if (f.size() < 8 || std::string(f.begin(), f.begin() + 8) != "\x89PNG\r\n\x1a\n") {
        return "no PNG signature";
    }
    std::vector<uint8_t> idat;
    std::vector<uint8_t> palette, alpha; // RGB triples; alpha of the first entries
    std::size_t bpp = 4;                 // bytes per pixel in the rows
    std::size_t at = 8;
    for (std::string type; type != "IEND"; at += 12 + be32(at)) {
        if (at + 12 > f.size() || be32(at) > f.size() - at - 12) {
            return "chunk beyond the end";
        }
        type.assign(f.begin() + at + 4, f.begin() + at + 8);
        const uint8_t *data = f.data() + at + 8;
        if (crc32(0, data - 4, be32(at) + 4) != be32(at + 8 + be32(at))) {
            return "bad CRC in " + type;
        }
        if (type == "IHDR" &&
            (be32(at) != 13 || data[8] != 8 || (data[9] != 6 && data[9] != 3) || data[12] != 0)) {
            return "not 8-bit RGBA or palette without interlacing";
        }
        if (type == "IHDR") {
            image->width = be32(at + 8);
            image->height = be32(at + 12);
            bpp = data[9] == 3 ? 1 : 4;
        }
        if (type == "PLTE") {
            palette.assign(data, data + be32(at));
        }
        if (type == "tRNS") {
            alpha.assign(data, data + be32(at));
        }
        if (type == "IDAT") {
            idat.insert(idat.end(), data, data + be32(at));
        }
    }
    if (at != f.size()) {
        return "bytes after IEND";
    }
    const std::size_t stride = bpp * std::size_t{image->width};
    std::vector<uint8_t> raw((stride + 1) * image->height);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, idat.data(), idat.size()) != Z_OK || size != raw.size()) {
        return "IDAT does not inflate to the image size";
    }
    std::vector<uint8_t> rows(stride * image->height);
    for (std::size_t y = 0; y < image->height; ++y) {
        const uint8_t *in = &raw[y * (stride + 1)];
        uint8_t *row = &rows[y * stride];
        const uint8_t *up = y > 0 ? row - stride : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= bpp ? row[x - bpp] : 0;
            const int b = up != nullptr ? up[x] : 0;
            const int c = x >= bpp && up != nullptr ? up[x - bpp] : 0;
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int predict[5] = {0, a, b, (a + b) / 2,
                                    pa <= pb && pa <= pc ? a
                                    : pb <= pc           ? b
                                                         : c};
            if (in[0] > 4) {
                return "unknown row filter";
            }
            row[x] = static_cast<uint8_t>(in[1 + x] + predict[in[0]]);
        }
    }
    if (bpp == 4) {
        image->pixels = std::move(rows);
        return {};
    }
    image->pixels.clear();
    for (const uint8_t i : rows) {
        if (3 * std::size_t{i} + 3 > palette.size()) {
            return "index beyond the palette";
        }
        image->pixels.insert(image->pixels.end(), palette.begin() + 3 * i,
                             palette.begin() + 3 * i + 3);
        image->pixels.push_back(i < alpha.size() ? alpha[i] : 255);
    }
    return {};
}
