// The RSS run end to end: the verbose report, the arithmetic of the result,
// the bytes of the output file and every failure of the run.
#include "e2e_fixture.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr int32_t INVALID = 0x7FFFFFF8;

using args_t = std::vector<std::string>;

// Big-endian writers for building an expected file image by hand.
void put16(std::vector<uint8_t> &b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void put32(std::vector<uint8_t> &b, std::size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<uint16_t>(v));
}
void put_float(std::vector<uint8_t> &b, std::size_t at, float v) {
    put32(b, at, std::bit_cast<uint32_t>(v));
}

class Rss : public E2eTest {
  protected:
    // Runs the tool on the given inputs; expects success and yields the
    // output's phase block.
    test_phase_t run_ok(const args_t &inputs, const args_t &options = {}) {
        args_t args = options;
        args.insert(args.end(), inputs.begin(), inputs.end());
        args.insert(args.end(), {"-RssOut", "out.dat"});
        const process_result_t result = run(args);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        out_ = file_bytes(path("out.dat"));
        if (out_.size() < DF_SHORT_HEADER) {
            ADD_FAILURE() << "no output file";
            return {};
        }
        return file_phase(out_);
    }

    std::vector<uint8_t> out_;
};

TEST_F(Rss, VerboseReport) {
    df_hdr_t a = test_header(8, 6, 2);
    test_phase_t pa = uniform_phase({1, 1, 5, 4}, 3);
    std::fill_n(pa.values.begin(), 5, INVALID); // first row without data
    make_input("a.dat", a, pa);
    df_hdr_t b = test_header(8, 6, 1);
    b.TimeStamp = 1760000000;
    make_input("b.dat", b, uniform_phase({2, 1, 4, 4}, 1));

    const std::string report = R"(RssOutFile           = "out.dat"
Output PhaseRes      = Super
Output VornRes       = 1/131072 fr

InFile[0001]         = "a.dat"
TimeStamp            = Sun Jun 15 15:06:40 2025
CameraWidth          = 8
CameraHeight         = 6
PixelWidth           = 5.5 um
PixelHeight          = 5.5 um
CameraRes            = 5.5 um
WindowX              = 1
WindowY              = 2
WindowWidth          = 5
WindowHeight         = 3
IntfScaleFactor      = 0.5
WavelengthIn         = 632.8 nm
ObliquityFactor      = 1
PhaseRes             = Super
VornRes              = 1/131072 fr


InFile[0002]         = "b.dat"
TimeStamp            = Thu Oct  9 08:53:20 2025
CameraWidth          = 8
CameraHeight         = 6
PixelWidth           = 5.5 um
PixelHeight          = 5.5 um
CameraRes            = 5.5 um
WindowX              = 2
WindowY              = 1
WindowWidth          = 4
WindowHeight         = 4
IntfScaleFactor      = 0.5
WavelengthIn         = 632.8 nm
ObliquityFactor      = 1
PhaseRes             = High
VornRes              = 1/32768 fr

RSS WindowX          = 2
RSS WindowY          = 2
RSS WindowWidth      = 4
RSS WindowHeight     = 3

Wrote "out.dat"

Done
)";
    expect_run({"-Verbose", "-PhaseRes", "super", "-RssOut", "out.dat", "a.dat", "b.dat"}, 0,
               report, "");

    // The whole file, built by hand: 3 (Super) and 1 (High, so 4 in Super)
    // give 5 where both inputs hold data.
    std::vector<uint8_t> expected(DF_SHORT_HEADER + 4 * 4 * 3, 0);
    put32(expected, 0, 0x881B0370);
    put16(expected, 4, 2);
    put32(expected, 6, 834);
    put16(expected, 64, 2);
    put16(expected, 66, 2);
    put16(expected, 68, 4);
    put16(expected, 70, 3);
    put32(expected, 72, 48);
    put32(expected, 76, 1760000000);
    const char comment[] = "RSS result map computed from 2 input data files";
    std::memcpy(&expected[80], comment, sizeof comment - 1);
    put_float(expected, 164, 0.5f);
    put_float(expected, 168, 632.8e-9f);
    put_float(expected, 176, 1.0f);
    put_float(expected, 184, 5.5e-6f);
    put16(expected, 218, 2);
    put16(expected, 234, 8);
    put16(expected, 236, 6);
    put_float(expected, 486, 5.5e-6f);
    put_float(expected, 490, 5.5e-6f);
    for (std::size_t i = 0; i < 12; ++i) {
        put32(expected, DF_SHORT_HEADER + 4 * i, 5);
    }
    EXPECT_EQ(file_bytes(path("out.dat")), expected);
}

TEST_F(Rss, SquaresAddUp) {
    const df_hdr_t h = test_header(4, 4);
    make_input("p3.dat", h, uniform_phase({0, 0, 2, 2}, 3));
    make_input("p4.dat", h, uniform_phase({0, 0, 2, 2}, 4));
    make_input("n3.dat", h, uniform_phase({0, 0, 2, 2}, -3));
    make_input("n4.dat", h, uniform_phase({0, 0, 2, 2}, -4));
    make_input("p1.dat", h, uniform_phase({0, 0, 2, 2}, 1));
    make_input("p2.dat", h, uniform_phase({0, 0, 2, 2}, 2));
    struct case_t {
        args_t inputs;
        int32_t expected;
    };
    const std::vector<case_t> cases = {
        {{"p3.dat", "p4.dat"}, 5},
        {{"n3.dat", "n4.dat"}, 5},
        {{"n3.dat", "p4.dat"}, 5},
        {{"p1.dat", "p1.dat"}, 1},                               // 1.414
        {{"p1.dat", "p2.dat"}, 2},                               // 2.236
        {{"p2.dat", "p3.dat"}, 4},                               // 3.606
        {{"p3.dat", "p4.dat", "n4.dat", "p2.dat", "p2.dat"}, 7}, // sqrt(49)
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.inputs[0] + " " + c.inputs[1]);
        const test_phase_t result = run_ok(c.inputs, {"-Overwrite"});
        EXPECT_EQ(result.values, std::vector<int32_t>(4, c.expected));
    }
}

TEST_F(Rss, SingleInputIsCopiedAsMagnitudes) {
    df_hdr_t h = test_header(10, 8, 1);
    test_phase_t p = uniform_phase({2, 1, 4, 3}, INVALID);
    p.values[5] = -7; // (3, 2)
    p.values[6] = 9;  // (4, 2)
    p.values[10] = -2000000;
    p.values[9] = 0x7FFFFFFF; // any value from the marker up is invalid
    make_input("a.dat", h, p);
    const test_phase_t result = run_ok({"a.dat"});
    EXPECT_EQ(result.window.x, 3);
    EXPECT_EQ(result.window.y, 2);
    EXPECT_EQ(result.window.width, 2);
    EXPECT_EQ(result.window.height, 2);
    EXPECT_EQ(result.values, (std::vector<int32_t>{7, 9, INVALID, 2000000}));
    EXPECT_EQ(be32(out_, 0), 0x881B036Fu); // High: format 1
    EXPECT_EQ(be16(out_, 218), 1);
}

TEST_F(Rss, InputsAreRescaledToTheOutputUnits) {
    df_hdr_t super = test_header(4, 4, 2);
    df_hdr_t high = test_header(4, 4, 1);
    df_hdr_t oblique = test_header(4, 4, 2);
    oblique.ObliquityFactor = 0.5f;
    df_hdr_t other_scale = test_header(4, 4, 2);
    other_scale.IntfScaleFactor = 0.25f;
    make_input("super.dat", super, uniform_phase({0, 0, 4, 4}, 12));
    make_input("high.dat", high, uniform_phase({0, 0, 4, 4}, 3));
    make_input("oblique.dat", oblique, uniform_phase({0, 0, 4, 4}, 10));
    make_input("scale.dat", other_scale, uniform_phase({0, 0, 4, 4}, 10));
    struct case_t {
        args_t inputs;
        args_t options;
        int32_t expected;
    };
    const std::vector<case_t> cases = {
        {{"high.dat"}, {"-PhaseRes", "Super"}, 12},             // 3 x 4
        {{"super.dat"}, {"-PhaseRes", "High"}, 3},              // 12 / 4
        {{"super.dat"}, {"-PhaseRes", "Normal"}, 0},            // 12 / 32 = 0.375
        {{"super.dat", "high.dat"}, {}, 17},                    // sqrt(144 + 144) = 16.97
        {{"high.dat", "super.dat"}, {}, 4},                     // sqrt(9 + 9) = 4.24
        {{"super.dat", "oblique.dat"}, {}, 13},                 // 10 x 0.5 = 5; sqrt(144 + 25)
        {{"super.dat", "scale.dat"}, {}, 13},                   // 10 x 0.5 = 5
        {{"scale.dat", "super.dat"}, {"-PhaseRes", "High"}, 7}, // 2.5, 6: 6.5 rounds up
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.inputs[0] + " " + std::to_string(c.expected));
        args_t options = c.options;
        options.push_back("-Overwrite");
        const test_phase_t result = run_ok(c.inputs, options);
        EXPECT_EQ(result.values, std::vector<int32_t>(16, c.expected));
        EXPECT_EQ(be_float(out_, 176), 1.0f); // ObliquityFactor of the output
        EXPECT_EQ(be_float(out_, 164), c.inputs[0] == "scale.dat" ? 0.25f : 0.5f);
    }
}

TEST_F(Rss, InvalidPixelsAndTrimming) {
    const df_hdr_t h = test_header(6, 5);
    test_phase_t a = uniform_phase({0, 0, 6, 5}, 3);
    a.values[2 * 6 + 3] = INVALID; // (3, 2)
    test_phase_t b = uniform_phase({1, 1, 4, 3}, 4);
    b.values[0] = INVALID; // (1, 1): trims the top-left corner only partly
    make_input("a.dat", h, a);
    make_input("b.dat", h, b);
    const test_phase_t result = run_ok({"a.dat", "b.dat"});
    EXPECT_EQ(result.window.x, 1);
    EXPECT_EQ(result.window.y, 1);
    EXPECT_EQ(result.window.width, 4);
    EXPECT_EQ(result.window.height, 3);
    EXPECT_EQ(result.values, (std::vector<int32_t>{INVALID, 5, 5, 5, //
                                                   5, 5, INVALID, 5, //
                                                   5, 5, 5, 5}));
}

TEST_F(Rss, OutputRecord) {
    df_hdr_t a = test_header(4, 4, 0);
    a.TimeStamp = -5;
    a.PixelWidth = a.PixelHeight = 7.4e-6f;
    a.CameraRes = 2.2e-6f;
    df_hdr_t b = a;
    b.TimeStamp = -1;
    b.PixelWidth = b.PixelHeight = 9e-6f; // not compared; the first input's are written
    b.WavelengthIn = 550e-9f;
    b.format_marker = 3; // written with the 4096-byte header
    make_input("a.dat", a, uniform_phase({0, 0, 4, 4}, 2));
    const test_phase_t twos = uniform_phase({0, 0, 4, 4}, 2);
    make_input("b.dat", b, &twos, true);
    make_input("c.dat", a, &twos, true);
    ASSERT_EQ(be32(file_bytes(path("b.dat")), 0), 0x881B0371u);

    run_ok({"a.dat", "b.dat", "c.dat"});
    ASSERT_EQ(out_.size(), DF_SHORT_HEADER + 4 * 16);
    EXPECT_EQ(be32(out_, 0), 0x881B036Fu);
    EXPECT_EQ(be32(out_, 76), 0u); // every time stamp negative
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&out_[80])),
              "RSS result map computed from 3 input data files");
    EXPECT_EQ(be_float(out_, 168), 632.8e-9f);
    EXPECT_EQ(be_float(out_, 184), 2.2e-6f);
    EXPECT_EQ(be_float(out_, 486), 7.4e-6f);
    EXPECT_EQ(be_float(out_, 490), 7.4e-6f);
    EXPECT_EQ(be16(out_, 218), 0);
    for (std::size_t at = 48; at < 64; ++at) {
        EXPECT_EQ(out_[at], 0) << "intensity descriptor byte " << at;
    }
    // 2 x 550/632.8 = 1.738 and twice 2: sqrt(4 + 3.02 + 4) = 3.32
    EXPECT_EQ(file_phase(out_).values, std::vector<int32_t>(16, 3));
}

TEST_F(Rss, NegativeTimeStampIsShownAsUnknown) {
    df_hdr_t a = test_header(2, 2);
    a.TimeStamp = -86400;
    make_input("a.dat", a, uniform_phase({0, 0, 2, 2}, 1));
    const process_result_t result = run({"-Verbose", "a.dat", "-RssOut", "out.dat"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_NE(result.out.find(console_text("TimeStamp            = (unknown)\nCameraWidth")),
              std::string::npos);
}

struct failure_case_t {
    std::string name; // the failing input, run after the good one
    std::string err;  // the whole standard error
};

TEST_F(Rss, FailuresLeaveAnEmptyOutput) {
    const df_hdr_t h = test_header(8, 6);
    const test_phase_t p = uniform_phase({0, 0, 8, 6}, 3);
    make_input("good.dat", h, p);
    make_text("text.dat", "this is not a data file");
    make_text("short.dat", "\x88\x1b\x03");
    std::vector<uint8_t> whole = file_bytes(path("good.dat"));
    make_text("cut.dat", std::string(whole.begin(), whole.begin() + DF_SHORT_HEADER + 10));

    df_hdr_t zero_width = h;
    zero_width.CameraWidth = 0;
    make_input("zero_width.dat", zero_width, p);
    df_hdr_t pixels = h;
    pixels.PixelHeight = 5.6e-6f;
    make_input("pixels.dat", pixels, p);
    df_hdr_t no_wave = h;
    no_wave.WavelengthIn = 0.0f;
    make_input("no_wave.dat", no_wave, p);
    make_input("no_phase.dat", h, nullptr, true);
    make_input("all_bad.dat", h, uniform_phase({0, 0, 8, 6}, INVALID));
    make_input("wider.dat", test_header(9, 6), p);
    make_input("taller.dat", test_header(8, 7), p);
    df_hdr_t res = h;
    res.CameraRes = std::nextafter(h.CameraRes, 1.0f);
    make_input("res.dat", res, p);
    make_input("left.dat", h, uniform_phase({-1, 0, 4, 4}, 3));
    df_hdr_t huge_scale = h;
    huge_scale.IntfScaleFactor = 3e38f;
    make_input("huge.dat", huge_scale, p);
    make_input("corner.dat", h, uniform_phase({0, 0, 1, 1}, 3));
    make_input("far.dat", h, uniform_phase({7, 5, 1, 1}, 3));

    const std::string read_error = "Error reading input file ";
    const std::string attr_error = "Invalid attribute information in input file ";
    const std::vector<failure_case_t> cases = {
        {"text.dat", error_text(read_error + "\"text.dat\"") + error_text("ERR_NOT_A_DATA_FILE")},
        {"short.dat", error_text(read_error + "\"short.dat\"") + error_text("ERR_PREMATURE_EOF")},
        {"cut.dat", error_text(read_error + "\"cut.dat\"") + error_text("ERR_CORRUPT_DATA_FILE")},
        {"zero_width.dat", error_text(attr_error + "\"zero_width.dat\"") +
                               "Camera width or height less than or equal to zero.\n" +
                               error_text("ERR_IMPROPER_WINDOW")},
        {"pixels.dat", error_text(attr_error + "\"pixels.dat\"") +
                           "Unequal camera pixel width and height.\n" +
                           error_text("ERR_INVALID_PARAM")},
        {"no_wave.dat", error_text(attr_error + "\"no_wave.dat\"") +
                            "Wavelength-in less than or equal to zero.\n" +
                            error_text("ERR_PARAM_OUT_OF_RANGE")},
        {"no_phase.dat", error_text("Input file \"no_phase.dat\" contains no height data")},
        {"all_bad.dat", error_text("Input file \"all_bad.dat\" contains no valid data points")},
        {"wider.dat",
         error_text("Input file \"wider.dat\" has mismatched CameraWidth or CameraHeight")},
        {"taller.dat",
         error_text("Input file \"taller.dat\" has mismatched CameraWidth or CameraHeight")},
        {"res.dat", error_text("Input file \"res.dat\" has mismatched CameraRes")},
        {"left.dat", error_text("ERR_IMPROPER_WINDOW")},
        {"huge.dat", error_text("ERR_FP_OVERFLOW")},
        {"far.dat", error_text("RSS result map contains no valid data points")},
    };
    for (const failure_case_t &c : cases) {
        SCOPED_TRACE(c.name);
        const args_t first = {c.name == "far.dat" ? "corner.dat" : "good.dat"};
        expect_run({first[0], c.name, "-Overwrite", "-RssOut", "out.dat"}, 1, "", c.err);
        EXPECT_TRUE(file_bytes(path("out.dat")).empty());
        write_file("out.dat", "old output");
    }
}

TEST_F(Rss, ReportStopsWhereTheInputFails) {
    const df_hdr_t h = test_header(4, 4);
    make_input("good.dat", h, uniform_phase({0, 0, 4, 4}, 3));
    make_input("all_bad.dat", h, uniform_phase({0, 0, 4, 4}, INVALID));
    make_input("wider.dat", test_header(5, 4), uniform_phase({0, 0, 4, 4}, 3));

    // No report lines for an input without valid data.
    process_result_t result = run({"-Verbose", "good.dat", "all_bad.dat", "-RssOut", "o.dat"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(result.out.ends_with(console_text("\n\nInFile[0002]         = \"all_bad.dat\"\n")));

    // A camera mismatch is found after the input's report lines.
    result = run({"-Verbose", "-Overwrite", "good.dat", "wider.dat", "-RssOut", "o.dat"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.out.find(console_text("CameraWidth          = 5\n")), std::string::npos);
    EXPECT_TRUE(result.out.ends_with(console_text("VornRes              = 1/131072 fr\n\n")));
}

// A NaN factor attribute passes the attribute check; the input is then
// scaled by a NaN factor, so no pixel of the result holds data, wherever the
// NaN stands (the first input's attributes also make the output's units).
TEST_F(Rss, NanFactorLeavesNoValidResult) {
    const df_hdr_t h = test_header(4, 4);
    make_input("good.dat", h, uniform_phase({0, 0, 4, 4}, 3));
    const float NaN = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char *name;
        float df_hdr_t::*field;
    } attributes[] = {{"scale", &df_hdr_t::IntfScaleFactor},
                      {"wave", &df_hdr_t::WavelengthIn},
                      {"oblique", &df_hdr_t::ObliquityFactor}};
    for (const auto &a : attributes) {
        df_hdr_t nan = h;
        nan.*a.field = NaN;
        const std::string name = std::string(a.name) + ".dat";
        make_input(name, nan, uniform_phase({0, 0, 4, 4}, 3));
        for (const args_t &inputs : {args_t{name, "good.dat"}, args_t{"good.dat", name}}) {
            SCOPED_TRACE(inputs[0] + " " + inputs[1]);
            write_file("out.dat", "old output");
            expect_run({inputs[0], inputs[1], "-Overwrite", "-RssOut", "out.dat"}, 1, "",
                       error_text("RSS result map contains no valid data points"));
            EXPECT_TRUE(file_bytes(path("out.dat")).empty());
        }
    }
}

TEST_F(Rss, LargeResultsBecomeInvalid) {
    // Values past 2^26 - 1 counts cannot be stored as results.
    make_input("big.dat", test_header(2, 1), test_phase_t{{0, 0, 2, 1}, {67108863, 67108864}});
    const test_phase_t result = run_ok({"big.dat"});
    EXPECT_EQ(result.window.width, 1);
    EXPECT_EQ(result.values, (std::vector<int32_t>{67108863}));
}

TEST_F(Rss, WriteFailureIsReported) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no device that refuses writes";
    }
    make_input("a.dat", test_header(4, 4), uniform_phase({0, 0, 4, 4}, 1));
    expect_run({"a.dat", "-RssOut", "/dev/full"}, 1, "", error_text("ERR_CANT_WRITE_FILE"));
}

} // namespace
