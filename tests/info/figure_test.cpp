// kelvorin-info's SVG figure end to end: checked by tests/info/svg_check.py
// (Python's XML parser, and headless Chromium for the rendering) against the
// PNG and JSON of the same run, and exports that give the same files in any
// order.
#include "info/info_fixture.h"

#include <cstdlib>

namespace {

TEST_F(InfoTest, FigureHoldsMapBarScaleAndFigures) {
#ifdef _WIN32
    GTEST_SKIP() << "checked with the host's Python and Chromium";
#else
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct case_t {
        const char *name;
        test_phase_t phase;
        float camera_res, pixel_width, pixel_height;
        std::vector<std::string> range; // --range arguments
        std::vector<std::string> marks; // expected out-of-range markers
        bool render;
    };
    const test_phase_t map = slope({5, 4, 23, 17});
    const reference_t ref = reference(test_header(40, 30), map);
    auto at = [&](long double share) {
        return std::to_string(double(ref.min + share * (ref.max - ref.min)));
    };
    const case_t cases[] = {
        {"a&b<c>\"d'\xe9.dat", map, 5.5e-6f, 5.5e-6f, 5.5e-6f, {}, {}, true},
        // Non-square pixels, lateral scale from the pixel width; clipped ends.
        {"tall.dat", map, 0.0f, 4e-6f, 9e-6f, {at(0.3L), at(0.6L)}, {"--above", "--below"}, false},
        {"above.dat", map, 2e-3f, 1e-5f, 1e-5f, {"-1000", at(0.5L)}, {"--above"}, false},
        // A thin strip: the layout keeps its minimum size; no lateral scale.
        {"strip.dat", slope({0, 0, 300, 2}), nan, 0.0f, 0.0f, {}, {}, false},
        // Drawn 1.5 times its pixels: embedded as it is.
        {"wide.dat", slope({0, 0, 400, 2}), 5.5e-6f, 5.5e-6f, 5.5e-6f, {}, {}, false},
        {"flat.dat", uniform_phase({2, 2, 6, 9}, 4321), 1e-6f, 1e-6f, 1e-6f, {}, {}, false},
    };
    const std::string table = colour_table_text();
    const char *python = checker_python();
    const bool browser = std::system("command -v chromium >/dev/null") == 0;
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        df_hdr_t hdr = test_header(400, 30);
        hdr.CameraRes = c.camera_res;
        hdr.PixelWidth = c.pixel_width;
        hdr.PixelHeight = c.pixel_height;
        make_input(c.name, hdr, c.phase);
        std::vector<std::string> args = {"--json", "--svg", "f.svg", "--png", "f.png", c.name};
        std::vector<std::string> check = {KELVORIN_SOURCE_DIR "/tests/info/svg_check.py",
                                          "f.svg",
                                          "f.png",
                                          "f.json",
                                          "--table",
                                          table};
        if (!c.range.empty()) {
            args.insert(args.begin(), {"--range", c.range[0], c.range[1]});
            check.insert(check.end(), {"--range", c.range[0], c.range[1]});
        }
        check.insert(check.end(), c.marks.begin(), c.marks.end());
        const float res =
            std::isfinite(c.camera_res) && c.camera_res > 0 ? c.camera_res : c.pixel_width;
        if (res > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", static_cast<double>(res));
            check.insert(check.end(), {"--resolution", text});
        }
        if (c.render && browser) {
            check.push_back("--render");
        }
        const process_result_t r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        write_file("f.json", r.out);
        const process_result_t verdict = run_process(python, check, dir_.string());
        EXPECT_EQ(verdict.exit_status, 0) << verdict.out << verdict.err;
    }
    if (!browser) {
        GTEST_SKIP() << "no chromium: the figure was not rendered";
    }
#endif
}

TEST_F(InfoTest, ExportsGiveTheSameFilesInAnyOrder) {
    const test_phase_t map = slope({3, 1, 29, 13});
    make_input("map.dat", test_header(40, 20), map);
    const std::vector<std::vector<std::string>> orders = {
        {"--png", "1.png", "--svg", "1.svg", "--html", "1.html", "--csv", "1.csv", "--tiff",
         "1.tif", "--gsf", "1.gsf", "map.dat"},
        {"--gsf", "2.gsf", "--csv", "2.csv", "--html", "2.html", "--tiff", "2.tif", "--svg",
         "2.svg", "--png", "2.png", "map.dat"},
        {"--svg", "3.svg", "map.dat"},
        {"--html", "3.html", "map.dat"},
        {"--png", "3.png", "map.dat"},
        {"--csv", "3.csv", "map.dat"},
        {"--tiff", "3.tif", "map.dat"},
        {"--gsf", "3.gsf", "map.dat"},
    };
    for (const auto &args : orders) {
        EXPECT_EQ(run(args).exit_status, 0) << ::testing::PrintToString(args);
    }
    for (const std::string kind : {".png", ".svg", ".html", ".csv", ".tif", ".gsf"}) {
        EXPECT_EQ(file_bytes(path("1" + kind)), file_bytes(path("2" + kind))) << kind;
        EXPECT_EQ(file_bytes(path("1" + kind)), file_bytes(path("3" + kind))) << kind;
    }
}

} // namespace
