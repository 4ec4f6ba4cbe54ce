// The format a read reports, the format a write chooses, and the phase
// resolution codes.
#include "datafile/df_bytes.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(DfFormat, ReadTellsTheFormatOfTheMagicNumber) {
    struct row_t {
        uint32_t magic;
        std::size_t length; // bytes of the file
        int32_t code;
        df_format_t want;
    };
    const row_t rows[] = {
        {DF_MAGIC_1, 834, 0, {DF_MAGIC_1, 1, 834}},
        {DF_MAGIC_2, 834, 0, {DF_MAGIC_2, 2, 834}},
        {DF_MAGIC_3, 4096, 0, {DF_MAGIC_3, 3, 4096}},
        // The magic is known although the header is cut short.
        {DF_MAGIC_3, 1000, ERR_PREMATURE_EOF, {DF_MAGIC_3, 3, 4096}},
        {DF_MAGIC_1, 3, ERR_PREMATURE_EOF, {}},
        {0x12345678, 834, ERR_NOT_A_DATA_FILE, {}},
    };
    for (const row_t &r : rows) {
        layout_t l;
        l.magic = r.magic;
        bytes_t b = header_bytes(l);
        b.resize(r.length);
        std::FILE *f = stream_of(b);
        ASSERT_NE(f, nullptr);
        df_format_t got{0xFFFFFFFF, -1, -1};
        df_hdr_t hdr{};
        EXPECT_EQ(df_read_stream_with_format(f, &got, nullptr, &hdr, nullptr, nullptr), r.code);
        std::fclose(f);
        EXPECT_EQ(got.magic, r.want.magic) << std::hex << r.magic << " " << r.length;
        EXPECT_EQ(got.header_format, r.want.header_format);
        EXPECT_EQ(got.header_bytes, r.want.header_bytes);
    }
    df_format_t missing{1, 1, 1};
    EXPECT_EQ(df_read_with_format("no/such/file.dat", &missing, nullptr, nullptr, nullptr, nullptr),
              ERR_CANT_OPEN_FILE);
    EXPECT_EQ(missing.header_format, 0);
}

TEST(DfFormat, WriteFormatFollowsThePhaseResolutionAndTheExtension) {
    df_hdr_t hdr{};
    EXPECT_EQ(df_write_format(nullptr), 1);
    const int32_t by_phase_res[][2] = {{0, 1}, {1, 1}, {2, 2}, {7, 2}, {-1, 1}};
    for (const auto &[res, format] : by_phase_res) {
        hdr.PhaseRes = static_cast<int16_t>(res);
        EXPECT_EQ(df_write_format(&hdr), format) << res;
    }
    // File offsets 834..837 alone do not need the long header; any later byte does.
    hdr.PhaseRes = 2;
    hdr.f818[17] = 1;
    EXPECT_EQ(df_write_format(&hdr), 2);
    hdr.f1454[2641] = 1;
    EXPECT_EQ(df_write_format(&hdr), 3);
    df_hdr_t read_long{};
    read_long.format_marker = 3;
    EXPECT_EQ(df_write_format(&read_long), 3);
}

TEST(DfFormat, PhaseResolutionCodes) {
    struct row_t {
        int32_t code;
        int32_t counts;
        const char *name;
    };
    const row_t rows[] = {{0, 4096, "Normal"},  {1, 32768, "High"},    {2, 131072, "Super"},
                          {3, 131072, "Super"}, {-1, 131072, "Super"}, {32767, 131072, "Super"}};
    for (const row_t &r : rows) {
        EXPECT_EQ(df_counts_per_fringe(r.code), r.counts) << r.code;
        EXPECT_STREQ(df_phase_res_name(r.code), r.name) << r.code;
    }
}
