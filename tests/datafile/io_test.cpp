// Reading and writing data files: every failure code, what survives it, and
// the blocks moving intact between maps and files.
#include "common/fault_alloc.h"
#include "df_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

const window_t kIw{0, 0, 4, 3}; // 2 buckets: 24 values, 48 bytes
const window_t kPw{1, 2, 3, 2}; // 6 values, 24 bytes
const window_t kPixel{0, 0, 1, 1};

int32_t phase_value(int i) {
    return i * 1000 - 2500;
}

// Header with info.f10 = 0x1111 and TimeStamp = 12345, then both blocks.
bytes_t standard_file() {
    layout_t l;
    l.iw = kIw;
    l.n_buckets = 2;
    l.range = 9;
    l.intens_bytes = 48;
    l.pw = kPw;
    l.phase_bytes = 24;
    bytes_t b = header_bytes(l);
    put16(b, 10, 0x1111);
    put32(b, 76, 12345);
    for (int i = 0; i < 24; ++i) {
        append16(b, static_cast<uint16_t>(0x8000 + i));
    }
    for (int i = 0; i < 6; ++i) {
        append32(b, static_cast<uint32_t>(phase_value(i)));
    }
    return b;
}

int32_t read_from(const bytes_t &b, df_info_t *info, df_hdr_t *hdr, intens_map_t *intens,
                  int_map_t *phase) {
    std::FILE *f = stream_of(b);
    const int32_t rc = df_read_stream(f, info, hdr, intens, phase);
    std::fclose(f);
    return rc;
}

void expect_phase_values(const int_map_t &m) {
    ASSERT_NE(m.matrix, nullptr);
    EXPECT_EQ(wn_compare(&m.window, &kPw), WN_EQUAL);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(m.matrix[i], phase_value(i)) << i;
    }
}

// Maps that already hold data, as a caller reusing them would pass them.
void preallocate(intens_map_t *intens, int_map_t *phase) {
    *intens = intens_map_t{0, {0, 0, 2, 2}, 1, 0, nullptr};
    *phase = int_map_t{0, {0, 0, 2, 2}, nullptr};
    ASSERT_EQ(intens_map_alloc(intens), 0);
    ASSERT_EQ(int_map_alloc(phase), 0);
}

struct read_failure_t {
    const char *what;
    void (*mutate)(bytes_t &);
    int32_t rc;
    bool info_copied;
    bool hdr_copied;
};

const read_failure_t kReadFailures[] = {
    {"empty", [](bytes_t &b) { b.clear(); }, ERR_PREMATURE_EOF, false, false},
    {"three bytes", [](bytes_t &b) { b.resize(3); }, ERR_PREMATURE_EOF, false, false},
    {"unknown magic", [](bytes_t &b) { put32(b, 0, 0x881B0372); }, ERR_NOT_A_DATA_FILE, false,
     false},
    {"header cut short", [](bytes_t &b) { b.resize(833); }, ERR_PREMATURE_EOF, false, false},
    {"long magic, short file", [](bytes_t &b) { put32(b, 0, DF_MAGIC_3); }, ERR_PREMATURE_EOF,
     false, false},
    {"intensity width 40000", [](bytes_t &b) { put16(b, 52, 0x9C40); }, ERR_DATASET_DIM_TOO_LARGE,
     true, false},
    {"phase height negative", [](bytes_t &b) { put16(b, 70, 0x8000); }, ERR_DATASET_DIM_TOO_LARGE,
     true, false},
    {"phase width zero", [](bytes_t &b) { put16(b, 68, 0); }, ERR_PARAM_OUT_OF_RANGE, true, true},
    {"no buckets", [](bytes_t &b) { put16(b, 56, 0); }, ERR_PARAM_OUT_OF_RANGE, true, true},
    {"phase block cut short", [](bytes_t &b) { b.pop_back(); }, ERR_CORRUPT_DATA_FILE, true, true},
    {"intensity block cut short", [](bytes_t &b) { b.resize(834 + 47); }, ERR_CORRUPT_DATA_FILE,
     true, true},
    {"intensity block larger than its map", [](bytes_t &b) { put32(b, 60, 50); },
     ERR_CORRUPT_DATA_FILE, true, true},
};

TEST(DfRead, FailuresReleaseMapsAndKeepWhatWasCopied) {
    for (const read_failure_t &c : kReadFailures) {
        SCOPED_TRACE(c.what);
        bytes_t b = standard_file();
        c.mutate(b);
        fault_alloc_scope tracking;
        intens_map_t intens;
        int_map_t phase;
        preallocate(&intens, &phase);
        df_info_t info;
        df_hdr_t hdr;
        std::memset(&info, 0x5A, sizeof info);
        std::memset(&hdr, 0x5A, sizeof hdr);

        EXPECT_EQ(read_from(b, &info, &hdr, &intens, &phase), c.rc);
        EXPECT_EQ(fault_alloc_stats().live, 0);
        EXPECT_EQ(intens.matrix, nullptr);
        EXPECT_EQ(intens.size | intens.window.width | intens.window.height | intens.n_buckets, 0);
        EXPECT_EQ(phase.matrix, nullptr);
        EXPECT_EQ(phase.size | phase.window.width | phase.window.height, 0);
        EXPECT_EQ(info.f10, c.info_copied ? 0x1111 : 0x5A5A);
        EXPECT_EQ(hdr.TimeStamp, c.hdr_copied ? 12345 : 0x5A5A5A5A);
    }
}

TEST(DfRead, BothBlocksIntoMaps) {
    intens_map_t intens{};
    int_map_t phase{};
    ASSERT_EQ(read_from(standard_file(), nullptr, nullptr, &intens, &phase), 0);
    EXPECT_EQ(wn_compare(&intens.window, &kIw), WN_EQUAL);
    EXPECT_EQ(intens.n_buckets, 2);
    EXPECT_EQ(intens.range, 9);
    EXPECT_EQ(intens.matrix[23], 0x8017);
    expect_phase_values(phase);
    intens_map_free(&intens);
    int_map_free(&phase);
}

TEST(DfRead, UnwantedBlocksAreSkippedUnexamined) {
    bytes_t b = standard_file();
    put16(b, 52, 0x9C40); // broken intensity descriptor
    df_info_t info{};
    df_hdr_t hdr{};
    ASSERT_EQ(read_from(b, &info, &hdr, nullptr, nullptr), 0);
    EXPECT_EQ(info.f10, 0x1111);
    EXPECT_EQ(hdr.TimeStamp, 12345);
    int_map_t phase{};
    ASSERT_EQ(read_from(b, nullptr, nullptr, nullptr, &phase), 0);
    expect_phase_values(phase);
    int_map_free(&phase);
}

TEST(DfRead, AbsentPhaseBlockLeavesTheMapEmpty) {
    bytes_t b = standard_file();
    put32(b, 72, 0);
    fault_alloc_scope tracking;
    intens_map_t intens;
    int_map_t phase;
    preallocate(&intens, &phase);
    ASSERT_EQ(read_from(b, nullptr, nullptr, &intens, &phase), 0);
    EXPECT_EQ(phase.matrix, nullptr);
    EXPECT_EQ(phase.size | phase.window.x | phase.window.width, 0);
    intens_map_free(&intens);
    EXPECT_EQ(fault_alloc_stats().live, 0); // the matrices passed in were released, not lost
}

TEST(DfRead, ShortIntensityBlockOfOddLength) {
    // 5 values and a stray byte: the rest of the map is zero, not left over
    // memory, and the phase block is found behind the stray byte.
    layout_t l;
    l.iw = kIw;
    l.n_buckets = 2;
    l.intens_bytes = 11;
    l.pw = kPw;
    l.phase_bytes = 24;
    bytes_t b = header_bytes(l);
    for (int i = 0; i < 5; ++i) {
        append16(b, static_cast<uint16_t>(i + 1));
    }
    b.push_back(0x77);
    for (int i = 0; i < 6; ++i) {
        append32(b, static_cast<uint32_t>(phase_value(i)));
    }
    fault_alloc_scope tracking; // fills new blocks with 0xa5
    intens_map_t intens{};
    int_map_t phase{};
    ASSERT_EQ(read_from(b, nullptr, nullptr, &intens, &phase), 0);
    ASSERT_EQ(intens.size, 24u);
    for (uint32_t i = 0; i < intens.size; ++i) {
        EXPECT_EQ(intens.matrix[i], i < 5 ? i + 1 : 0) << i;
    }
    expect_phase_values(phase);
    int_map_free(&phase);
    ASSERT_EQ(read_from(b, nullptr, nullptr, nullptr, &phase), 0);
    expect_phase_values(phase);
    intens_map_free(&intens);
    int_map_free(&phase);
}

TEST(DfRead, MissingFile) {
    fault_alloc_scope tracking;
    intens_map_t intens;
    int_map_t phase;
    preallocate(&intens, &phase);
    EXPECT_EQ(df_read("df_io_test_no_such_file.dat", nullptr, nullptr, &intens, &phase),
              ERR_CANT_OPEN_FILE);
    EXPECT_EQ(fault_alloc_stats().live, 0);
    EXPECT_EQ(df_read(nullptr, nullptr, nullptr, nullptr, nullptr), ERR_CANT_OPEN_FILE);
}

TEST(DfRead, OutOfMemoryAtEveryAllocation) {
    const bytes_t b = standard_file();
    for (int64_t k = 1;; ++k) {
        fault_alloc_scope tracking(k);
        intens_map_t intens{};
        int_map_t phase{};
        const int32_t rc = read_from(b, nullptr, nullptr, &intens, &phase);
        if (rc == 0) {
            EXPECT_GT(k, 2);
            intens_map_free(&intens);
            int_map_free(&phase);
            EXPECT_EQ(fault_alloc_stats().live, 0);
            break;
        }
        EXPECT_EQ(rc, ERR_NO_MEM) << k;
        EXPECT_EQ(fault_alloc_stats().live, 0) << k;
        EXPECT_EQ(phase.matrix, nullptr);
    }
}

// ---------------------------------------------------------------------------

struct maps_t {
    intens_map_t intens{};
    int_map_t phase{};
};

// Maps with 7 buckets of 100 x 100 (70000 values) and a 3 x 2 phase window.
maps_t sample_maps() {
    maps_t m;
    m.intens = {0, {2, 3, 100, 100}, 7, -4, nullptr};
    m.phase = {0, kPw, nullptr};
    EXPECT_EQ(intens_map_alloc(&m.intens), 0);
    EXPECT_EQ(int_map_alloc(&m.phase), 0);
    for (uint32_t i = 0; i < m.intens.size; ++i) {
        m.intens.matrix[i] = static_cast<uint16_t>(i * 7);
    }
    for (int i = 0; i < 6; ++i) {
        m.phase.matrix[i] = phase_value(i);
    }
    return m;
}

void release(maps_t &m) {
    intens_map_free(&m.intens);
    int_map_free(&m.phase);
}

TEST(DfWrite, BlocksRoundTripAndCallerMapsStayUntouched) {
    maps_t m = sample_maps();
    const std::vector<uint16_t> intens_before(m.intens.matrix, m.intens.matrix + m.intens.size);
    std::FILE *f = stream_of(bytes_t{'a', 'b', 'c'});
    ASSERT_EQ(df_write_stream(f, nullptr, nullptr, &m.intens, &m.phase), 0);
    const bytes_t b = contents(f);
    std::fclose(f);
    ASSERT_EQ(b.size(), 3 + 834 + 140000 + 24u); // appended behind what was there
    EXPECT_EQ(b[2], 'c');
    EXPECT_EQ(get_be(b, 3, 4), DF_MAGIC_1);
    EXPECT_EQ(get_be(b, 3 + 60, 4), 140000u);
    EXPECT_EQ(get_be(b, 3 + 72, 4), 24u);
    EXPECT_EQ(std::vector<uint16_t>(m.intens.matrix, m.intens.matrix + m.intens.size),
              intens_before);
    EXPECT_EQ(m.phase.matrix[1], phase_value(1));

    maps_t back;
    ASSERT_EQ(
        read_from(bytes_t(b.begin() + 3, b.end()), nullptr, nullptr, &back.intens, &back.phase), 0);
    EXPECT_EQ(back.intens.range, -4);
    EXPECT_EQ(std::vector<uint16_t>(back.intens.matrix, back.intens.matrix + back.intens.size),
              intens_before);
    expect_phase_values(back.phase);
    release(back);
    release(m);
}

TEST(DfWrite, RefusesMapsItCannotWrite) {
    int32_t cell = 0;
    uint16_t sample = 0;
    EXPECT_EQ(df_write_stream(nullptr, nullptr, nullptr, nullptr, nullptr), ERR_INVALID_PARAM);
    struct row_t {
        const char *what;
        intens_map_t intens; // matrix null: not given
        int_map_t phase;
        int32_t rc;
    };
    const row_t rows[] = {
        {"maps without data", {0, kIw, 1, 0, nullptr}, {0, kPw, nullptr}, ERR_INVALID_PARAM},
        {"phase bytes beyond 32 bits",
         {},
         {1, {0, 0, 32767, 32767}, &cell},
         ERR_DATASET_DIM_TOO_LARGE},
        {"negative phase dims", {}, {1, {0, 0, -2, -3}, &cell}, ERR_DATASET_DIM_TOO_LARGE},
        {"intensity bytes beyond 32 bits",
         {1, {0, 0, 32767, 32767}, 3, 0, &sample},
         {},
         ERR_DATASET_DIM_TOO_LARGE},
        {"negative buckets",
         {1, kPixel, -1, 0, &sample},
         {1, kPixel, &cell},
         ERR_DATASET_DIM_TOO_LARGE},
        {"phase window beyond the matrix", {}, {1, {0, 0, 2, 1}, &cell}, ERR_INVALID_PARAM},
    };
    for (const row_t &row : rows) {
        std::FILE *f = std::tmpfile();
        EXPECT_EQ(df_write_stream(f, nullptr, nullptr, &row.intens, &row.phase), row.rc)
            << row.what;
        EXPECT_TRUE(contents(f).empty()) << row.what;
        std::fclose(f);
    }
}

TEST(DfWrite, CreatesOrTruncatesTheFileEvenWhenNothingIsWritten) {
    const char *path = "df_io_test_truncate.dat";
    std::FILE *f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("old contents", f);
    std::fclose(f);
    EXPECT_EQ(df_write(path, nullptr, nullptr, nullptr, nullptr), ERR_INVALID_PARAM);
    EXPECT_TRUE(file_bytes(path).empty());
    std::remove(path);
}

TEST(DfWrite, FailuresToOpenOrWriteAreReported) {
    int32_t cell = 1;
    const int_map_t phase{1, kPixel, &cell};
    EXPECT_EQ(df_write("df_io_no_such_dir/out.dat", nullptr, nullptr, nullptr, &phase),
              ERR_CANT_CREATE_FILE);
    EXPECT_EQ(df_write(nullptr, nullptr, nullptr, nullptr, &phase), ERR_CANT_CREATE_FILE);

    const char *path = "df_io_test_readonly.dat";
    std::fclose(std::fopen(path, "wb"));
    std::FILE *f = std::fopen(path, "rb");
    EXPECT_EQ(df_write_stream(f, nullptr, nullptr, nullptr, &phase), ERR_CANT_WRITE_FILE);
    std::fclose(f);
    std::remove(path);

#if !defined(_WIN32)
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    f = fdopen(fds[1], "wb"); // cannot seek to its end
    EXPECT_EQ(df_write_stream(f, nullptr, nullptr, nullptr, &phase), ERR_CANT_WRITE_FILE);
    std::fclose(f);
    close(fds[0]);
#endif
#if defined(__linux__)
    // A small file fails only when flushed or closed; a large block at once.
    EXPECT_EQ(df_write("/dev/full", nullptr, nullptr, nullptr, &phase), ERR_CANT_WRITE_FILE);
    maps_t m = sample_maps();
    EXPECT_EQ(df_write("/dev/full", nullptr, nullptr, &m.intens, &m.phase), ERR_CANT_WRITE_FILE);
    release(m);
#endif
}

TEST(DfWrite, OutOfMemoryAtEveryAllocation) {
    maps_t m = sample_maps();
    for (int64_t k = 1;; ++k) {
        std::FILE *f = std::tmpfile();
        int32_t rc;
        {
            fault_alloc_scope tracking(k);
            rc = df_write_stream(f, nullptr, nullptr, &m.intens, &m.phase);
            EXPECT_EQ(fault_alloc_stats().live, 0) << k;
        }
        std::fclose(f);
        if (rc == 0) {
            EXPECT_GT(k, 2);
            break;
        }
        EXPECT_EQ(rc, ERR_NO_MEM) << k;
    }
    release(m);
}

TEST(DfFile, PathBehindAByteOrderMarkRoundTrips) {
    const char *name = "df_io_test_wide.dat";
    std::string path = "\xFF\xFE";
    for (const char *c = name; *c != '\0'; ++c) {
        path += *c; // UTF-16LE: the character, then a zero high byte
        path += '\0';
    }
    path.append(2, '\0');
    const uint16_t mark = 0xFEFF;
    std::memcpy(path.data(), &mark, 2); // the mark in machine order

    maps_t m = sample_maps();
    ASSERT_EQ(df_write(path.c_str(), nullptr, nullptr, nullptr, &m.phase), 0);
    EXPECT_EQ(file_bytes(name).size(), 834 + 24u);
    int_map_t phase{};
    ASSERT_EQ(df_read(path.c_str(), nullptr, nullptr, nullptr, &phase), 0);
    expect_phase_values(phase);
    int_map_free(&phase);
    release(m);
    std::remove(name);
}

} // namespace
