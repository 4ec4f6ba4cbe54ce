// Test helpers: data files assembled byte by byte in big-endian, and streams
// holding given bytes.
#pragma once

#include "datafile/datafile.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

using bytes_t = std::vector<uint8_t>;

inline void put16(bytes_t &b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

inline void put32(bytes_t &b, std::size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<uint16_t>(v));
}

inline uint32_t get_be(const bytes_t &b, std::size_t at, std::size_t n) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v = (v << 8) | b[at + i];
    }
    return v;
}

inline void append16(bytes_t &b, uint16_t v) {
    b.resize(b.size() + 2);
    put16(b, b.size() - 2, v);
}

inline void append32(bytes_t &b, uint32_t v) {
    b.resize(b.size() + 4);
    put32(b, b.size() - 4, v);
}

// File-level fields of a header (offsets 0..75); the record stays zero.
struct layout_t {
    uint32_t magic = DF_MAGIC_1;
    window_t iw{};
    int16_t n_buckets = 0;
    int16_t range = 0;
    int32_t intens_bytes = 0;
    window_t pw{};
    int32_t phase_bytes = 0;
};

inline void put_window(bytes_t &b, std::size_t at, const window_t &w) {
    put16(b, at, static_cast<uint16_t>(w.x));
    put16(b, at + 2, static_cast<uint16_t>(w.y));
    put16(b, at + 4, static_cast<uint16_t>(w.width));
    put16(b, at + 6, static_cast<uint16_t>(w.height));
}

// Writes the file-level fields into an existing header; header_format and
// header_size as the writer sets them for the magic.
inline void put_layout(bytes_t &b, const layout_t &l) {
    const bool long_header = l.magic == DF_MAGIC_3;
    put32(b, 0, l.magic);
    put16(b, 4, long_header ? 3 : l.magic == DF_MAGIC_2 ? 2 : 1);
    put32(b, 6, long_header ? 4096 : 834);
    put_window(b, 48, l.iw);
    put16(b, 56, static_cast<uint16_t>(l.n_buckets));
    put16(b, 58, static_cast<uint16_t>(l.range));
    put32(b, 60, static_cast<uint32_t>(l.intens_bytes));
    put_window(b, 64, l.pw);
    put32(b, 72, static_cast<uint32_t>(l.phase_bytes));
}

inline bytes_t header_bytes(const layout_t &l) {
    bytes_t b(l.magic == DF_MAGIC_3 ? 4096 : 834, 0);
    put_layout(b, l);
    return b;
}

// A stream holding `bytes`, positioned at its start.
inline std::FILE *stream_of(const bytes_t &bytes) {
    std::FILE *f = std::tmpfile();
    if (f != nullptr) {
        if (!bytes.empty()) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
        }
        std::rewind(f);
    }
    return f;
}

// Everything the stream holds.
inline bytes_t contents(std::FILE *f) {
    bytes_t out;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) {
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

inline bytes_t file_bytes(const char *path) {
    bytes_t out;
    if (std::FILE *f = std::fopen(path, "rb")) {
        out = contents(f);
        std::fclose(f);
    }
    return out;
}
