// Header formats: every field lands in the record in machine order, and
// writing the record back reproduces the file's bytes.
#include "datafile/header_image.h"
#include "df_bytes.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

// A field of the record: its file offset, its item size (1 for byte runs,
// whose length is `n`) and its position in df_hdr_t.
struct field_t {
    const char *name;
    std::size_t file_offset;
    std::size_t item;
    std::size_t n;
    std::size_t hdr_offset;
};

#define F(field, file_off, item, n)                                                                \
    { #field, file_off, item, n, offsetof(df_hdr_t, field) }
#define AT(field, index, file_off, item)                                                           \
    { #field "[" #index "]", file_off, item, 1, offsetof(df_hdr_t, field) + (index) * (item) }
const field_t kFields[] = {
    F(TimeStamp, 76, 4, 1),
    F(comment, 80, 1, 82),
    F(f162, 162, 2, 1),
    F(IntfScaleFactor, 164, 4, 1),
    F(WavelengthIn, 168, 4, 1),
    F(f172, 172, 4, 1),
    F(ObliquityFactor, 176, 4, 1),
    F(f180, 180, 4, 1),
    F(CameraRes, 184, 4, 1),
    AT(f188, 0, 188, 2),
    AT(f188, 4, 196, 2),
    F(f198, 198, 4, 1),
    F(f202, 202, 2, 1),
    F(f204, 204, 4, 1),
    F(f208, 208, 1, 2),
    AT(f210, 0, 210, 4),
    AT(f210, 1, 214, 4),
    F(PhaseRes, 218, 2, 1),
    F(f220, 220, 4, 1),
    F(f224, 224, 2, 1),
    F(f226, 226, 4, 1),
    AT(f230, 1, 232, 2),
    F(CameraWidth, 234, 2, 1),
    F(CameraHeight, 236, 2, 1),
    AT(f238, 3, 244, 2),
    F(f246, 246, 1, 52),
    AT(f298, 2, 302, 2),
    F(f304, 304, 1, 56),
    F(f360, 360, 4, 1),
    AT(f364, 1, 366, 2),
    F(f368, 368, 4, 1),
    AT(f372, 0, 372, 2),
    AT(f376, 1, 380, 4),
    F(f384, 384, 2, 1),
    AT(f386, 0, 386, 4),
    AT(f386, 2, 394, 4),
    F(f398, 398, 1, 8),
    F(f406, 406, 2, 1),
    F(f408, 408, 1, 20),
    F(f428, 428, 2, 1),
    AT(f430, 0, 430, 4),
    AT(f430, 13, 482, 4),
    F(PixelWidth, 486, 4, 1),
    F(PixelHeight, 490, 4, 1),
    AT(f494, 1, 498, 4),
    F(f502, 502, 1, 232),
    F(f734, 734, 2, 1),
    F(f736, 736, 1, 80),
    F(f816, 816, 2, 1),
    F(f818, 818, 1, 16),
    // Beyond the 834-byte header.
    F(f818[16], 834, 1, 4),
    AT(f838, 1, 840, 2),
    AT(f842, 6, 866, 4),
    F(f870, 870, 1, 28),
    AT(f900, 1, 902, 2),
    F(f904, 904, 1, 30),
    F(f934, 934, 4, 1),
    F(f938, 938, 1, 60),
    AT(f998, 9, 1034, 4),
    F(f1038, 1038, 1, 88),
    AT(f1126, 22, 1214, 4),
    F(f1218, 1218, 1, 32),
    AT(f1250, 2, 1258, 4),
    F(f1262, 1262, 1, 2),
    F(f1264, 1264, 2, 1),
    AT(f1266, 0, 1266, 4),
    AT(f1266, 13, 1318, 4),
    F(f1322, 1322, 1, 2),
    F(f1324, 1324, 2, 1),
    AT(f1326, 13, 1378, 4),
    F(f1382, 1382, 1, 2),
    F(f1384, 1384, 2, 1),
    AT(f1386, 0, 1386, 4),
    F(f1442, 1442, 1, 4),
    AT(f1446, 1, 1450, 4),
    F(f1454, 1454, 1, 2642),
};
#undef F
#undef AT

const window_t kIntensWindow{1, 2, 3, 2};
const window_t kPhaseWindow{4, 5, 3, 2};
constexpr int16_t kBuckets = 2;

// A complete file whose header bytes all follow a pattern, apart from the
// fields the writer derives (magic, format, size, descriptors), PhaseRes
// (which must agree with the format) and format_marker (written in machine
// order), so that writing the record back must give the same bytes.
bytes_t pattern_file(uint32_t magic) {
    bytes_t b(magic == DF_MAGIC_3 ? 4096 : 834);
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    layout_t l;
    l.magic = magic;
    l.iw = kIntensWindow;
    l.n_buckets = kBuckets;
    l.range = 0x1234;
    l.intens_bytes = 2 * kBuckets * 3 * 2;
    l.pw = kPhaseWindow;
    l.phase_bytes = 4 * 3 * 2;
    put_layout(b, l);
    put16(b, 218, magic == DF_MAGIC_2 ? 2 : 1);
    if (magic == DF_MAGIC_3) {
        const uint16_t marker = 3;
        std::memcpy(&b[898], &marker, 2);
    }
    for (int i = 0; i < kBuckets * 6; ++i) {
        append16(b, static_cast<uint16_t>(0xA000 + i * 0x0102));
    }
    for (int i = 0; i < 6; ++i) {
        append32(b, static_cast<uint32_t>(-100000 * i + 0x01020304));
    }
    return b;
}

uint32_t host_value(const void *p, std::size_t n) {
    if (n == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

struct read_result_t {
    int32_t rc;
    df_info_t info;
    df_hdr_t hdr;
    intens_map_t intens;
    int_map_t phase;
};

read_result_t read_bytes(const bytes_t &b) {
    read_result_t r{};
    std::FILE *f = stream_of(b);
    r.rc = df_read_stream(f, &r.info, &r.hdr, &r.intens, &r.phase);
    std::fclose(f);
    return r;
}

bytes_t write_bytes(const read_result_t &r) {
    std::FILE *f = std::tmpfile();
    EXPECT_EQ(df_write_stream(f, &r.info, &r.hdr, &r.intens, &r.phase), 0);
    bytes_t out = contents(f);
    std::fclose(f);
    return out;
}

void release(read_result_t &r) {
    intens_map_free(&r.intens);
    int_map_free(&r.phase);
}

class FormatRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FormatRoundTrip, FieldsAreConvertedAndWrittenBackUnchanged) {
    const uint32_t magic = GetParam();
    const bytes_t file = pattern_file(magic);
    read_result_t r = read_bytes(file);
    ASSERT_EQ(r.rc, 0);
    const std::size_t header_length = magic == DF_MAGIC_3 ? 4096 : 834;

    const auto *rec = reinterpret_cast<const uint8_t *>(&r.hdr);
    for (const field_t &f : kFields) {
        if (f.file_offset >= header_length) {
            continue;
        }
        for (std::size_t i = 0; i < f.n; ++i) {
            const std::size_t at = f.file_offset + i * f.item;
            if (f.item == 1) {
                EXPECT_EQ(rec[f.hdr_offset + i], file[at]) << f.name << " byte " << i;
            } else {
                EXPECT_EQ(host_value(rec + f.hdr_offset + i * f.item, f.item),
                          get_be(file, at, f.item))
                    << f.name;
            }
        }
    }
    // The gaps, the tail and (after a short header) the whole extension are zero.
    const df_hdr_t zero{};
    for (std::size_t off :
         {offsetof(df_hdr_t, gap_198), offsetof(df_hdr_t, gap_204), offsetof(df_hdr_t, gap_210),
          offsetof(df_hdr_t, gap_220), offsetof(df_hdr_t, gap_226), offsetof(df_hdr_t, gap_360),
          offsetof(df_hdr_t, gap_386), offsetof(df_hdr_t, tail_pad)}) {
        EXPECT_EQ(std::memcmp(rec + off, &zero, 2), 0) << "gap at record offset " << off;
    }
    if (header_length == 834) {
        const std::size_t from = offsetof(df_hdr_t, f818) + 16;
        EXPECT_EQ(std::memcmp(rec + from, reinterpret_cast<const uint8_t *>(&zero) + from,
                              sizeof(df_hdr_t) - from),
                  0);
    }
    EXPECT_EQ(r.hdr.format_marker, magic == DF_MAGIC_3 ? 3 : 0);

    EXPECT_EQ(r.info.f10, get_be(file, 10, 2));
    EXPECT_EQ(std::memcmp(r.info.f12, &file[12], 30), 0);
    EXPECT_EQ(r.info.f42[2], get_be(file, 46, 2));
    EXPECT_EQ(wn_compare(&r.intens.window, &kIntensWindow), WN_EQUAL);
    EXPECT_EQ(r.intens.n_buckets, kBuckets);
    EXPECT_EQ(r.intens.range, 0x1234);
    EXPECT_EQ(r.intens.matrix[1], 0xA102);
    EXPECT_EQ(wn_compare(&r.phase.window, &kPhaseWindow), WN_EQUAL);
    EXPECT_EQ(r.phase.matrix[5], -500000 + 0x01020304);

    EXPECT_EQ(write_bytes(r), file);
    release(r);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FormatRoundTrip,
                         ::testing::Values(DF_MAGIC_1, DF_MAGIC_2, DF_MAGIC_3));

TEST(DfHeader, LengthComesFromTheMagicAlone) {
    // Format and size fields claiming the other length are ignored.
    for (uint32_t magic : {DF_MAGIC_1, DF_MAGIC_2, DF_MAGIC_3}) {
        layout_t l;
        l.magic = magic;
        l.pw = {0, 0, 1, 1};
        l.phase_bytes = 4;
        bytes_t b = header_bytes(l);
        put16(b, 4, magic == DF_MAGIC_3 ? 1 : 3);
        put32(b, 6, magic == DF_MAGIC_3 ? 834 : 4096);
        append32(b, 77);
        read_result_t r = read_bytes(b);
        ASSERT_EQ(r.rc, 0) << std::hex << magic;
        EXPECT_EQ(r.phase.matrix[0], 77);
        release(r);
    }
}

TEST(DfHeader, LongHeaderStaysLongAfterReading) {
    // An all-zero extension is still written back as a 4096-byte header.
    layout_t l;
    l.magic = DF_MAGIC_3;
    l.pw = {0, 0, 1, 1};
    l.phase_bytes = 4;
    bytes_t b = header_bytes(l);
    append32(b, 5);
    read_result_t r = read_bytes(b);
    ASSERT_EQ(r.rc, 0);
    const bytes_t written = write_bytes(r);
    ASSERT_EQ(written.size(), 4100u);
    EXPECT_EQ(get_be(written, 0, 4), DF_MAGIC_3);
    uint16_t marker;
    std::memcpy(&marker, &written[898], 2);
    EXPECT_EQ(marker, 3);
    read_result_t again = read_bytes(written);
    ASSERT_EQ(again.rc, 0);
    EXPECT_EQ(std::memcmp(&again.hdr, &r.hdr, sizeof(df_hdr_t)), 0);
    release(r);
    release(again);
}

TEST(DfHeader, FormatChoice) {
    struct row_t {
        const char *what;
        int16_t phase_res;
        std::size_t nonzero_file_offset; // 0: none
        uint32_t magic;
    };
    const row_t rows[] = {
        {"normal", 0, 0, DF_MAGIC_1},
        {"high", 1, 0, DF_MAGIC_1},
        {"super", 2, 0, DF_MAGIC_2},
        {"beyond super", 7, 0, DF_MAGIC_2},
        {"negative", -1, 0, DF_MAGIC_1},
        {"bytes 834..837 only", 0, 837, DF_MAGIC_1},
        {"first extension byte", 2, 838, DF_MAGIC_3},
        {"last extension byte", 0, 4095, DF_MAGIC_3},
    };
    for (const row_t &row : rows) {
        df_hdr_t hdr{};
        hdr.PhaseRes = row.phase_res;
        if (row.nonzero_file_offset != 0) {
            reinterpret_cast<uint8_t *>(&hdr)[df_image_offset(row.nonzero_file_offset) - 80] = 1;
        }
        EXPECT_EQ(df_choose_magic(&hdr), row.magic) << row.what;
    }
    EXPECT_EQ(df_choose_magic(nullptr), DF_MAGIC_1);
}

TEST(DfHeader, ShortHeaderDropsBytes834To837) {
    df_hdr_t hdr{};
    hdr.PhaseRes = 1;
    std::memset(&hdr.f818[16], 0xEE, 4);
    int32_t value = 9;
    int_map_t phase{1, {0, 0, 1, 1}, &value};
    std::FILE *f = std::tmpfile();
    ASSERT_EQ(df_write_stream(f, nullptr, &hdr, nullptr, &phase), 0);
    const bytes_t b = contents(f);
    std::fclose(f);
    ASSERT_EQ(b.size(), 838u);
    EXPECT_EQ(get_be(b, 0, 4), DF_MAGIC_1);
    EXPECT_EQ(get_be(b, 4, 2), 1u);
    EXPECT_EQ(get_be(b, 6, 4), 834u);
    EXPECT_EQ(get_be(b, 834, 4), 9u); // the phase block, not the dropped bytes
}

} // namespace
