// INTERNAL to the data file subsystem (datafile/*.cpp and its tests); not part
// of the library interface.
//
// The header image: the whole data file header in machine byte order, with a
// 2-byte gap in front of each 32-bit field that would not otherwise start on a
// 4-byte boundary, so that the record types can be laid over it directly.
// 4096 header bytes + 18 gap bytes + 2 trailing bytes that stay zero = 4116.
#pragma once

#include "datafile/datafile.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

// Bytes 0..79 of the image: the file-level fields at file offsets 0..75.
struct df_image_head_t {
    uint32_t magic;         // file offset 0
    uint16_t header_format; // file offset 4
    uint8_t gap_6[2];       // alignment gap
    uint32_t header_size;   // file offset 6
    df_info_t info;         // file offsets 10..47
    window_t intens_window; // file offset 48
    int16_t n_buckets;      // file offset 56
    int16_t range;          // file offset 58
    uint8_t gap_60[2];      // alignment gap
    int32_t intens_bytes;   // file offset 60
    window_t phase_window;  // file offset 64
    int32_t phase_bytes;    // file offset 72
};
static_assert(sizeof(df_image_head_t) == 80);

struct df_image_t {
    df_image_head_t head;
    df_hdr_t hdr;
};
static_assert(sizeof(df_image_t) == DF_IMAGE_SIZE);
static_assert(offsetof(df_image_t, hdr) == 80);

// ---------------------------------------------------------------------------
// Gaps: each is inserted in front of the file byte at `file_offset`.

struct df_gap_t {
    uint16_t file_offset;
    uint16_t length;
};

inline constexpr df_gap_t DF_GAPS[] = {{6, 2},   {60, 2},  {198, 2}, {204, 2}, {210, 2},
                                       {220, 2}, {226, 2}, {360, 2}, {386, 2}};
static_assert(std::size(DF_GAPS) == 9);

// Image offset of file byte f: f plus the gaps inserted at or before it.
constexpr std::size_t df_image_offset(std::size_t f) {
    std::size_t at = f;
    for (const df_gap_t &g : DF_GAPS) {
        if (g.file_offset <= f) {
            at += g.length;
        }
    }
    return at;
}

// ---------------------------------------------------------------------------
// Field runs of the header in file order: `count` consecutive items of
// `item_size` bytes starting at `file_offset`. Items of size 1 are copied
// unchanged; 2- and 4-byte items (floats included) are byte-order converted.
// Together the runs cover the 4096 header bytes exactly.

struct df_run_t {
    uint16_t file_offset;
    uint8_t item_size;
    uint16_t count;
};

inline constexpr df_run_t DF_RUNS[] = {
    // File-level fields.
    {0, 4, 1},  // magic
    {4, 2, 1},  // header_format
    {6, 4, 1},  // header_size
    {10, 2, 1}, // info
    {12, 1, 30},
    {42, 2, 3},
    {48, 2, 6}, // intensity window, n_buckets, range
    {60, 4, 1}, // intens_bytes
    {64, 2, 4}, // phase window
    {72, 4, 1}, // phase_bytes
    // Attribute record.
    {76, 4, 1},  // TimeStamp
    {80, 1, 82}, // comment
    {162, 2, 1},
    {164, 4, 6}, // IntfScaleFactor, WavelengthIn, f172, ObliquityFactor, f180, CameraRes
    {188, 2, 5},
    {198, 4, 1},
    {202, 2, 1},
    {204, 4, 1},
    {208, 1, 2},
    {210, 4, 2},
    {218, 2, 1}, // PhaseRes
    {220, 4, 1},
    {224, 2, 1},
    {226, 4, 1},
    {230, 2, 8}, // f230[2], CameraWidth, CameraHeight, f238[4]
    {246, 1, 52},
    {298, 2, 3},
    {304, 1, 56},
    {360, 4, 1},
    {364, 2, 2},
    {368, 4, 1},
    {372, 2, 2},
    {376, 4, 2},
    {384, 2, 1},
    {386, 4, 3},
    {398, 1, 8},
    {406, 2, 1},
    {408, 1, 20},
    {428, 2, 1},
    {430, 4, 18}, // f430[14], PixelWidth, PixelHeight, f494[2]
    {502, 1, 232},
    {734, 2, 1},
    {736, 1, 80},
    {816, 2, 1},
    {818, 1, 20}, // the 834-byte header ends inside this run
    {838, 2, 2},
    {842, 4, 7},
    {870, 1, 30}, // format_marker at 898..899 stays in machine order
    {900, 2, 2},
    {904, 1, 30},
    {934, 4, 1},
    {938, 1, 60},
    {998, 4, 10},
    {1038, 1, 88},
    {1126, 4, 23},
    {1218, 1, 32},
    {1250, 4, 3},
    {1262, 1, 2}, // three groups of 2 bytes, one 16-bit item, 14 32-bit items
    {1264, 2, 1},
    {1266, 4, 14},
    {1322, 1, 2},
    {1324, 2, 1},
    {1326, 4, 14},
    {1382, 1, 2},
    {1384, 2, 1},
    {1386, 4, 14},
    {1442, 1, 4},
    {1446, 4, 2},
    {1454, 1, 2642},
};

// The runs tile the header, and every converted item is naturally aligned in
// the image (which is what the gaps are for).
constexpr bool df_runs_are_sound() {
    std::size_t next = 0;
    for (const df_run_t &r : DF_RUNS) {
        if (r.file_offset != next || r.count == 0) {
            return false;
        }
        if (r.item_size != 1 && r.item_size != 2 && r.item_size != 4) {
            return false;
        }
        for (std::size_t i = 0; i < r.count; ++i) {
            const std::size_t f = r.file_offset + i * r.item_size;
            // A gap may only sit in front of an item, never inside one.
            if (r.item_size > 1 &&
                df_image_offset(f + r.item_size - 1) != df_image_offset(f) + r.item_size - 1) {
                return false;
            }
            if (df_image_offset(f) % r.item_size != 0) {
                return false;
            }
        }
        next = r.file_offset + std::size_t{r.item_size} * r.count;
    }
    return next == DF_LONG_HEADER;
}
static_assert(df_runs_are_sound());
static_assert(df_image_offset(DF_LONG_HEADER - 1) == DF_IMAGE_SIZE - 3);

// The records sit where the runs put their fields.
#define DF_HEAD_AT(field, file_off)                                                                \
    static_assert(offsetof(df_image_head_t, field) == df_image_offset(file_off))
#define DF_HDR_AT(field, file_off)                                                                 \
    static_assert(offsetof(df_image_t, hdr) + offsetof(df_hdr_t, field) ==                         \
                  df_image_offset(file_off))
DF_HEAD_AT(magic, 0);
DF_HEAD_AT(header_format, 4);
DF_HEAD_AT(header_size, 6);
DF_HEAD_AT(info, 10);
DF_HEAD_AT(intens_window, 48);
DF_HEAD_AT(n_buckets, 56);
DF_HEAD_AT(range, 58);
DF_HEAD_AT(intens_bytes, 60);
DF_HEAD_AT(phase_window, 64);
DF_HEAD_AT(phase_bytes, 72);
static_assert(offsetof(df_info_t, f12) == 2 && offsetof(df_info_t, f42) == 32);
DF_HDR_AT(TimeStamp, 76);
DF_HDR_AT(comment, 80);
DF_HDR_AT(f162, 162);
DF_HDR_AT(IntfScaleFactor, 164);
DF_HDR_AT(WavelengthIn, 168);
DF_HDR_AT(ObliquityFactor, 176);
DF_HDR_AT(CameraRes, 184);
DF_HDR_AT(f188, 188);
DF_HDR_AT(f198, 198);
DF_HDR_AT(f202, 202);
DF_HDR_AT(f204, 204);
DF_HDR_AT(f208, 208);
DF_HDR_AT(f210, 210);
DF_HDR_AT(PhaseRes, 218);
DF_HDR_AT(f220, 220);
DF_HDR_AT(f224, 224);
DF_HDR_AT(f226, 226);
DF_HDR_AT(f230, 230);
DF_HDR_AT(CameraWidth, 234);
DF_HDR_AT(CameraHeight, 236);
DF_HDR_AT(f238, 238);
DF_HDR_AT(f246, 246);
DF_HDR_AT(f298, 298);
DF_HDR_AT(f304, 304);
DF_HDR_AT(f360, 360);
DF_HDR_AT(f364, 364);
DF_HDR_AT(f368, 368);
DF_HDR_AT(f372, 372);
DF_HDR_AT(f376, 376);
DF_HDR_AT(f384, 384);
DF_HDR_AT(f386, 386);
DF_HDR_AT(f398, 398);
DF_HDR_AT(f406, 406);
DF_HDR_AT(f408, 408);
DF_HDR_AT(f428, 428);
DF_HDR_AT(f430, 430);
DF_HDR_AT(PixelWidth, 486);
DF_HDR_AT(PixelHeight, 490);
DF_HDR_AT(f494, 494);
DF_HDR_AT(f502, 502);
DF_HDR_AT(f734, 734);
DF_HDR_AT(f736, 736);
DF_HDR_AT(f816, 816);
DF_HDR_AT(f818, 818);
DF_HDR_AT(f838, 838);
DF_HDR_AT(f842, 842);
DF_HDR_AT(f870, 870);
DF_HDR_AT(format_marker, 898);
DF_HDR_AT(f900, 900);
DF_HDR_AT(f904, 904);
DF_HDR_AT(f934, 934);
DF_HDR_AT(f938, 938);
DF_HDR_AT(f998, 998);
DF_HDR_AT(f1038, 1038);
DF_HDR_AT(f1126, 1126);
DF_HDR_AT(f1218, 1218);
DF_HDR_AT(f1250, 1250);
DF_HDR_AT(f1262, 1262);
DF_HDR_AT(f1264, 1264);
DF_HDR_AT(f1266, 1266);
DF_HDR_AT(f1322, 1322);
DF_HDR_AT(f1324, 1324);
DF_HDR_AT(f1326, 1326);
DF_HDR_AT(f1382, 1382);
DF_HDR_AT(f1384, 1384);
DF_HDR_AT(f1386, 1386);
DF_HDR_AT(f1442, 1442);
DF_HDR_AT(f1446, 1446);
DF_HDR_AT(f1454, 1454);
DF_HDR_AT(tail_pad, DF_LONG_HEADER);
#undef DF_HEAD_AT
#undef DF_HDR_AT

// ---------------------------------------------------------------------------
// Big-endian items, written with shifts so the code is right on any host and
// compiles to a byte swap on little-endian ones.

inline uint16_t df_load_be16(const unsigned char *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t df_load_be32(const unsigned char *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void df_store_be16(unsigned char *p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

inline void df_store_be32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// In-place conversion of one item between big-endian and machine order.
inline void df_be16_to_host(unsigned char *p) {
    const uint16_t v = df_load_be16(p);
    std::memcpy(p, &v, 2);
}

inline void df_be32_to_host(unsigned char *p) {
    const uint32_t v = df_load_be32(p);
    std::memcpy(p, &v, 4);
}

// Reverses the bytes of n 32-bit words in place on a little-endian machine
// (from stored to machine order and back), as one pass over whole words that
// compilers vectorise. A big-endian machine stores them as they are.
inline void df_swap32_block(uint32_t *words, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t x = words[i];
            words[i] = (x >> 24) | ((x >> 8) & 0xFF00U) | ((x << 8) & 0xFF0000U) | (x << 24);
        }
    }
}

inline void df_host_to_be16(unsigned char *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    df_store_be16(p, v);
}

inline void df_host_to_be32(unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    df_store_be32(p, v);
}

// ---------------------------------------------------------------------------
// Conversions (datafile/header.cpp).

// `image` holds the header bytes as read (834 or 4096) at its start and zeros
// after them. Inserts the gaps and converts every field to machine order.
void df_image_from_file(df_image_t *image);

// Reads a header from the stream into a zeroed image, the magic first (to
// learn the header's length), then the rest in one call, and converts it to
// machine order. ERR_PREMATURE_EOF or ERR_NOT_A_DATA_FILE on failure.
[[nodiscard]] int32_t df_read_header_image(std::FILE *stream, df_image_t *image);

// df_read_phase_head from the first n bytes of a data file, read ahead in one
// call: n is at least the header's length when the file has that many bytes
// (DF_LONG_HEADER bytes always do).
[[nodiscard]] int32_t df_phase_head_of(const unsigned char *bytes, std::size_t n, df_info_t *info,
                                       df_hdr_t *hdr, df_phase_block_t *block);

// Converts every field of the image to big-endian and removes the gaps; the
// first 834 or 4096 bytes of the image are then the file's header.
void df_image_to_file(df_image_t *image);

// Header length selected by a magic number: 834, 4096, or 0 for no magic.
std::size_t df_header_length(uint32_t magic);

// Magic number for writing `hdr` (null: no attribute record).
uint32_t df_choose_magic(const df_hdr_t *hdr);
