// A PNG reader for the tests, independent of the program's encoder: chunks
// and their CRCs, IHDR, the IDAT stream inflated by zlib, and the five row
// filters undone. Takes 8-bit RGBA without interlacing, as kelvorin-info
// writes it.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct rgba_image_t {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels; // RGBA, row after row

    const uint8_t *at(uint32_t x, uint32_t y) const { return &pixels[4 * (y * width + x)]; }
};

inline uint32_t png_be32(const std::vector<uint8_t> &b, std::size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// Empty on success, else what is wrong.
inline std::string png_decode(const std::vector<uint8_t> &file, rgba_image_t *image) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < 8 || !std::equal(signature, signature + 8, file.begin())) {
        return "no PNG signature";
    }
    std::vector<uint8_t> idat;
    bool ended = false;
    for (std::size_t at = 8; !ended;) {
        if (at + 12 > file.size()) {
            return "chunk beyond the end";
        }
        const uint32_t length = png_be32(file, at);
        const std::string type(file.begin() + at + 4, file.begin() + at + 8);
        if (length > file.size() - at - 12) {
            return "chunk " + type + " beyond the end";
        }
        const uint8_t *data = file.data() + at + 8;
        if (crc32(crc32(0, file.data() + at + 4, 4), data, length) !=
            png_be32(file, at + 8 + length)) {
            return "bad CRC in " + type;
        }
        if (type == "IHDR") {
            const std::vector<uint8_t> h(data, data + length);
            image->width = png_be32(h, 0);
            image->height = png_be32(h, 4);
            if (length != 13 || h[8] != 8 || h[9] != 6 || h[10] != 0 || h[11] != 0 || h[12] != 0) {
                return "not 8-bit RGBA without interlacing";
            }
        } else if (type == "IDAT") {
            idat.insert(idat.end(), data, data + length);
        } else if (type == "IEND") {
            ended = at + 12 == file.size();
            if (!ended) {
                return "bytes after IEND";
            }
        }
        at += 12 + length;
    }
    const std::size_t stride = 4 * std::size_t{image->width};
    std::vector<uint8_t> raw((stride + 1) * image->height);
    uLongf raw_size = raw.size();
    if (uncompress(raw.data(), &raw_size, idat.data(), idat.size()) != Z_OK ||
        raw_size != raw.size()) {
        return "IDAT does not inflate to the image size";
    }
    image->pixels.assign(stride * image->height, 0);
    for (std::size_t y = 0; y < image->height; ++y) {
        const uint8_t filter = raw[y * (stride + 1)];
        const uint8_t *in = &raw[y * (stride + 1) + 1];
        uint8_t *row = &image->pixels[y * stride];
        const uint8_t *up = y > 0 ? row - stride : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= 4 ? row[x - 4] : 0;
            const int b = up != nullptr ? up[x] : 0;
            const int c = x >= 4 && up != nullptr ? up[x - 4] : 0;
            const int p = a + b - c;
            const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predictors[5] = {0, a, b, (a + b) / 2,
                                       pa <= pb && pa <= pc ? a
                                       : pb <= pc           ? b
                                                            : c};
            if (filter > 4) {
                return "unknown row filter";
            }
            row[x] = static_cast<uint8_t>(in[x] + predictors[filter]);
        }
    }
    return {};
}
