// kelvorin-info's exports end to end: the picture read back by an
// independent decoder, the table read back exactly, usage errors, and output
// files that are whole or absent.
#include "info/info_fixture.h"

#include <charconv>
#include <cstdlib>
#include <set>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

TEST_F(InfoTest, PictureColoursFollowTheHeights) {
    const df_hdr_t hdr = test_header(40, 30);
    const window_t w{5, 4, 23, 17};
    const reference_t ref = reference(hdr, slope(w));
    const double lo = static_cast<double>(ref.min + (ref.max - ref.min) / 4);
    const double hi = static_cast<double>(ref.max - (ref.max - ref.min) / 4);
    struct case_t {
        const char *name;
        test_phase_t phase;
        std::vector<std::string> range; // --range arguments
        bool one_colour;
    };
    const case_t cases[] = {
        {"full range", slope(w), {}, false},
        {"narrow range", slope(w), {std::to_string(lo), std::to_string(hi)}, false},
        {"one value", uniform_phase(w, 777), {}, true},
        {"zero range", slope(w), {"12.5", "12.5"}, true},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        make_input("map.dat", hdr, &c.phase);
        std::vector<std::string> args = {"--png", "map.png", "map.dat"};
        if (!c.range.empty()) {
            args.insert(args.begin(), {"--range", c.range[0], c.range[1]});
        }
        const process_result_t r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("picture          : map.png, colours over "), std::string::npos);
        rgba_image_t image;
        ASSERT_EQ(png_decode(file_bytes(path("map.png")), &image), "");
        ASSERT_EQ(image.width, 23u);
        ASSERT_EQ(image.height, 17u);

        // 256 equal bins over the range, clamped: the lowest height gets the
        // table's first entry, the highest its last; one colour only for a
        // flat map or a range of zero width.
        const reference_t here = reference(hdr, c.phase);
        const long double from = c.range.empty() ? here.min : std::stold(c.range[0]);
        const long double to = c.range.empty() ? here.max : std::stold(c.range[1]);
        std::set<int> entries;
        for (uint32_t i = 0; i < image.width * image.height; ++i) {
            const int32_t v = c.phase.values[i];
            const uint8_t *px = &image.pixels[4 * i];
            ASSERT_EQ(px[3], v >= BAD ? 0 : 255) << i; // transparent exactly without data
            if (v < BAD) {
                const uint32_t rgb = uint32_t{px[0]} << 16 | uint32_t{px[1]} << 8 | px[2];
                const int entry = int(std::find(INFO_COLOUR_TABLE, INFO_COLOUR_TABLE + 256, rgb) -
                                      INFO_COLOUR_TABLE);
                entries.insert(entry);
                const long double t = (v * here.nm_per_count - from) / (to - from) * 256;
                if (!c.one_colour) {
                    EXPECT_NEAR(entry, std::clamp(std::floor(t), 0.0L, 255.0L), 1.0) << v;
                }
            }
        }
        EXPECT_EQ(entries.size() == 1, c.one_colour);
        EXPECT_LT(*entries.rbegin(), 256); // every colour from the table
        if (!c.one_colour) {
            EXPECT_EQ(*entries.begin(), 0);
            EXPECT_EQ(*entries.rbegin(), 255);
        }
    }
}

TEST_F(InfoTest, TableHoldsEveryValidPixelExactly) {
    df_hdr_t hdr = test_header(50, 40, 1);
    hdr.ObliquityFactor = 0.87f;
    const test_phase_t map = slope({7, 9, 31, 22});
    make_input("map.dat", hdr, &map);
    const process_result_t r = run({"map.dat", "--csv", "map.csv"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const double nm_per_count = static_cast<double>(hdr.IntfScaleFactor) * hdr.ObliquityFactor *
                                hdr.WavelengthIn / 32768 * 1e9;
    std::ifstream in(path("map.csv"), std::ios::binary);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "x,y,height_nm");
    std::size_t i = 0;
    int64_t rows = 0;
    for (; std::getline(in, line); ++i, ++rows) {
        while (map.values[i] >= BAD) {
            ++i;
        }
        const int x = 7 + static_cast<int>(i % 31);
        const int y = 9 + static_cast<int>(i / 31);
        const std::string head = std::to_string(x) + "," + std::to_string(y) + ",";
        ASSERT_EQ(line.substr(0, head.size()), head) << rows;
        double height = 0;
        const char *end = line.data() + line.size();
        EXPECT_EQ(std::from_chars(line.data() + head.size(), end, height).ptr, end) << line;
        EXPECT_EQ(height, map.values[i] * nm_per_count) << line;
    }
    EXPECT_EQ(rows, reference(hdr, map).valid);
    EXPECT_NE(r.out.find("table            : map.csv, " + std::to_string(rows) + " pixels"),
              std::string::npos);
}

TEST_F(InfoTest, UsageErrorsShowTheUsage) {
    const test_phase_t map = slope({0, 0, 4, 4});
    make_input("a.dat", test_header(8, 8), &map);
    make_input("b.dat", test_header(8, 8), &map);
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus", "a.dat"},
        {"a.dat", "--png"},
        {"--png", "p.png", "a.dat", "b.dat"},
        {"--csv", "c.csv", "a.dat", "b.dat"},
        {"--png", "p.png", "--png", "q.png", "a.dat"},
        {"--png", "same", "--csv", "same", "a.dat"},
        {"--svg", "same", "--png", "same", "a.dat"},
        {"--svg", "s.svg", "--svg", "t.svg", "a.dat"},
        {"--svg", "s.svg", "a.dat", "b.dat"},
        {"--tiff", "t.tif", "a.dat", "b.dat"},
        {"--gsf", "g.gsf", "a.dat", "b.dat"},
        {"a.dat", "--tiff"},
        {"a.dat", "--gsf"},
        {"--gsf", "same", "--tiff", "same", "a.dat"},
        {"--tiff", "same", "--csv", "same", "a.dat"},
        {"--html", "h.html", "a.dat", "b.dat"},
        {"--html", "same", "--csv", "same", "a.dat"},
        {"--html", "h.html", "--html", "i.html", "a.dat"},
        {"--png", "p.png", "--range", "2", "1", "a.dat"},
        {"--png", "p.png", "--range", "0", "nan", "a.dat"},
        {"--range", "0", "1", "a.dat"},
        {"--range", "0", "1", "--csv", "c.csv", "a.dat"},
    };
    for (const auto &args : cases) {
        const process_result_t r = run(args);
        EXPECT_EQ(r.exit_status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Usage: kelvorin-info"), std::string::npos);
        for (const char *output : {"p.png", "c.csv", "s.svg", "h.html", "t.tif", "g.gsf", "same"}) {
            EXPECT_FALSE(fs::exists(path(output))) << output;
        }
    }
    const process_result_t help = run({"a.dat", "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: kelvorin-info", 0), 0u);
    const process_result_t version = run({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("kelvorin-info 2.", 0), 0u);
    // After "--" a name that looks like an option is a file.
    make_input("-a.dat", test_header(8, 8), &map);
    EXPECT_EQ(run({"--", "-a.dat"}).exit_status, 0);
}

TEST_F(InfoTest, FailedExportsLeaveNoOutput) {
    const test_phase_t map = slope({0, 0, 8, 8});
    const test_phase_t invalid = uniform_phase({0, 0, 8, 8}, BAD);
    df_hdr_t nan_hdr = test_header(16, 8);
    nan_hdr.WavelengthIn = std::numeric_limits<float>::quiet_NaN();
    make_input("in.dat", test_header(16, 8), &map);
    make_input("no_phase.dat", test_header(16, 8), nullptr, true);
    make_input("invalid.dat", test_header(16, 8), &invalid);
    make_input("nan.dat", nan_hdr, &map);
    // Heights in nm beyond the range of 32-bit floats; in metres within it.
    df_hdr_t huge_hdr = test_header(16, 8);
    huge_hdr.IntfScaleFactor = 3e38f;
    make_input("huge.dat", huge_hdr, &map);
    // Wider than a browser's canvas.
    const test_phase_t strip = uniform_phase({0, 0, 16385, 1}, 5);
    make_input("wide.dat", test_header(16385, 1), &strip);
    write_file("old.png", "an older file");
    make_input("other.dat", test_header(16, 8), &map);
    write_file("magic_only.dat", std::string("\x88\x1B\x03\x71", 4)); // a data file's remains
    const std::vector<uint8_t> other = file_bytes(path("other.dat"));
    fs::create_directory(path("folder.png"));
    const struct {
        const char *option, *output, *input, *message; // message: NAME: CODE
    } cases[] = {
        {"--png", "old.png", "in.dat", ""}, // replaced whole
        {"--png", "none/out.png", "in.dat", "none/out.png: ERR_CANT_CREATE_FILE"},
        {"--csv", "folder.png", "in.dat", "folder.png: ERR_CANT_CREATE_FILE"},
        {"--csv", "./in.dat", "in.dat", "./in.dat: ERR_INVALID_PARAM"}, // never the input
        {"--png", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--png", "out", "invalid.dat", "invalid.dat: ERR_ALL_BAD_DATA"},
        {"--png", "out", "nan.dat", "nan.dat: ERR_INVALID_PARAM"},
        {"--csv", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--svg", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--svg", "out", "invalid.dat", "invalid.dat: ERR_ALL_BAD_DATA"},
        {"--svg", "out", "nan.dat", "nan.dat: ERR_INVALID_PARAM"},
        {"--svg", "in.dat", "in.dat", "in.dat: ERR_INVALID_PARAM"},
        {"--svg", "none/out.svg", "in.dat", "none/out.svg: ERR_CANT_CREATE_FILE"},
        // A data file is never replaced by an export: its name was the input's.
        {"--svg", "other.dat", "in.dat", "other.dat: ERR_FILE_READ_ONLY"},
        {"--png", "other.dat", "in.dat", "other.dat: ERR_FILE_READ_ONLY"},
        {"--csv", "magic_only.dat", "in.dat", "magic_only.dat: ERR_FILE_READ_ONLY"},
        {"--tiff", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--tiff", "out", "invalid.dat", "invalid.dat: ERR_ALL_BAD_DATA"},
        {"--tiff", "out", "nan.dat", "nan.dat: ERR_INVALID_PARAM"},
        {"--tiff", "out", "huge.dat", "huge.dat: ERR_FP_OVERFLOW"},
        {"--tiff", "./in.dat", "in.dat", "./in.dat: ERR_INVALID_PARAM"},
        {"--tiff", "other.dat", "in.dat", "other.dat: ERR_FILE_READ_ONLY"}, // never a data file
        {"--tiff", "none/out.tif", "in.dat", "none/out.tif: ERR_CANT_CREATE_FILE"},
        {"--gsf", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--gsf", "out", "invalid.dat", "invalid.dat: ERR_ALL_BAD_DATA"},
        {"--gsf", "out", "nan.dat", "nan.dat: ERR_INVALID_PARAM"},
        {"--gsf", "in.dat", "in.dat", "in.dat: ERR_INVALID_PARAM"},
        {"--gsf", "other.dat", "in.dat", "other.dat: ERR_FILE_READ_ONLY"},
        {"--gsf", "folder.png", "in.dat", "folder.png: ERR_CANT_CREATE_FILE"},
        {"--gsf", "huge.gsf", "huge.dat", ""},
        {"--html", "out", "no_phase.dat", "no_phase.dat: ERR_NO_DATA"},
        {"--html", "out", "invalid.dat", "invalid.dat: ERR_ALL_BAD_DATA"},
        {"--html", "out", "nan.dat", "nan.dat: ERR_INVALID_PARAM"},
        {"--html", "out", "wide.dat", "wide.dat: ERR_DATASET_DIM_TOO_LARGE"},
        {"--html", "./in.dat", "in.dat", "./in.dat: ERR_INVALID_PARAM"},
        {"--html", "nan.dat", "in.dat", "nan.dat: ERR_FILE_READ_ONLY"},
        {"--html", "none/out.html", "in.dat", "none/out.html: ERR_CANT_CREATE_FILE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.output + " " + c.input);
        const process_result_t r = run({c.option, c.output, c.input});
        EXPECT_EQ(r.exit_status, *c.message ? 1 : 0) << r.err;
        const std::string head = *c.message ? "kelvorin-info: " + std::string(c.message) : "";
        EXPECT_EQ(r.err.substr(0, r.err.find(" (")), head);
        if (std::string(c.message).find("READ_ONLY") != std::string::npos) {
            EXPECT_EQ(r.out, ""); // refused before anything is reported
        }
    }
    EXPECT_EQ(file_bytes(path("other.dat")), other);
    rgba_image_t image;
    EXPECT_EQ(png_decode(file_bytes(path("old.png")), &image), "");
    EXPECT_TRUE(fs::is_directory(path("folder.png")));
    EXPECT_FALSE(fs::exists(path("none")) || fs::exists(path("out")));
    EXPECT_TRUE(fs::exists(path("huge.gsf")));
}

TEST_F(InfoTest, FullDiskLeavesNoOutput) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a small file system of its own";
#else
    if (geteuid() != 0) {
        GTEST_SKIP() << "skipped: needs root (mounts a small file system)";
    }
    fs::create_directory(path("small"));
    const std::string mount = "mount -t tmpfs -o size=64k kelvorin-test " + path("small");
    if (std::system((mount + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    // Counts in no order, not even along a row: the picture does not
    // compress below the space.
    const test_phase_t noise = phase_of({0, 0, 400, 300}, [](int x, int y) {
        uint32_t h = (x * 7919u + y * 104729u) * 2654435761u;
        h ^= h >> 15;
        return static_cast<int32_t>(h * 2246822519u % 100000);
    });
    make_input("big.dat", test_header(400, 300), &noise);
    for (const char *option : {"--png", "--svg", "--html", "--csv", "--tiff", "--gsf"}) {
        const process_result_t r = run({option, "small/out", "big.dat"});
        EXPECT_EQ(r.exit_status, 1) << option;
        EXPECT_EQ(r.err.rfind("kelvorin-info: small/out: ERR_CANT_WRITE_FILE (", 0), 0u) << r.err;
        EXPECT_TRUE(fs::is_empty(path("small"))) << option;
    }
    EXPECT_EQ(std::system(("umount " + path("small")).c_str()), 0);
#endif
}

} // namespace
