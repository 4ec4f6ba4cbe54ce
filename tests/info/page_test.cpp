// kelvorin-info's HTML page end to end: the counts it carries, decoded here
// with zlib and a base64 reader of the test's own, and the page driven in
// headless Chromium by tests/info/page_check.py (WebDriver) against the
// table, report and figure of the same map.
#include "info/info_fixture.h"

#include <zlib.h>

namespace {

std::string text_of(const std::string &file) {
    const std::vector<uint8_t> bytes = file_bytes(file);
    return {bytes.begin(), bytes.end()};
}

// The text between `open` and the next `close` after it.
std::string between(const std::string &text, const std::string &open, const std::string &close) {
    const std::size_t from = text.find(open);
    if (from == std::string::npos) {
        return {};
    }
    const std::size_t start = from + open.size();
    return text.substr(start, text.find(close, start) - start);
}

std::vector<uint8_t> base64_decode(const std::string &text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int held = 0;
    for (const char c : text) {
        const std::size_t d = digits.find(c);
        if (d == std::string::npos) {
            continue; // padding
        }
        bits = bits << 6 | static_cast<uint32_t>(d);
        if ((held += 6) >= 8) {
            held -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> held));
        }
    }
    return bytes;
}

// The counts of a page: offsets from "base" in "planes" byte planes, low
// plane first, all ones for no data, deflated in zlib format.
std::vector<int32_t> page_counts(const std::string &page, const json_t &meta, std::size_t n) {
    const std::vector<uint8_t> packed = base64_decode(between(page, "id=\"heights\">", "<"));
    const auto planes = static_cast<std::size_t>(meta["planes"].number);
    std::vector<uint8_t> raw(planes * n + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &size, packed.data(), static_cast<uLong>(packed.size())),
              Z_OK);
    EXPECT_EQ(size, planes * n);
    std::vector<int32_t> counts(n);
    const uint32_t none = planes == 4 ? UINT32_MAX : (uint32_t{1} << (8 * planes)) - 1;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t offset = 0;
        for (std::size_t p = 0; p < planes; ++p) {
            offset |= uint32_t{raw[p * n + i]} << (8 * p);
        }
        counts[i] =
            offset == none
                ? BAD
                : static_cast<int32_t>(
                      static_cast<uint32_t>(static_cast<int32_t>(meta["base"].number)) + offset);
    }
    return counts;
}

TEST_F(InfoTest, PageCarriesEveryCountAndItsFacts) {
    const window_t w{3, 2, 17, 11};
    struct case_t {
        const char *name;
        test_phase_t phase;
        float scale_factor;
        int planes; // as few as hold the span and the mark of no data
    };
    auto two = [&](int32_t a, int32_t b) {
        return phase_of(w, [=](int x, int y) {
            return x == 4 && y == 2 ? BAD : (x + y) % 2 ? a : b;
        });
    };
    const case_t cases[] = {
        {"slope.dat", slope(w), 0.5f, 2},
        {"wide.dat", two(-70000, 1), 0.5f, 3},
        {"flat.dat", two(-7, -7), 0.5f, 1},
        {"254.dat", two(100, 354), 0.5f, 1},
        {"255.dat", two(100, 355), 0.5f, 2},
        {"extremes.dat", two(INT32_MIN, BAD - 1), 0.5f, 4},
        {"negative factor.dat", slope(w), -0.25f, 2},
        // Over a million pixels of noise: a low plane stored as it is, in
        // many pieces.
        {"noise.dat",
         phase_of({0, 0, 1200, 900},
                  [](int x, int y) {
                      const uint32_t h = (x * 7919u + y * 104729u) * 2654435761u;
                      return h % 97 == 0 ? BAD : static_cast<int32_t>(h >> 7 & 4095);
                  }),
         0.5f, 2},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        df_hdr_t hdr = test_header(1200, 900);
        hdr.IntfScaleFactor = c.scale_factor;
        make_input(c.name, hdr, c.phase);
        const process_result_t r = run({"--html", "p.html", "--range", "-3", "4.5", c.name});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(r.out.find("page             : p.html"), std::string::npos);
        const std::string page = text_of(path("p.html"));
        json_t meta;
        ASSERT_TRUE(json_parse(between(page, "id=\"meta\">", "</script>"), &meta));
        EXPECT_EQ(meta["planes"].number, c.planes);
        EXPECT_EQ(page_counts(page, meta, c.phase.values.size()), c.phase.values);
        const reference_t ref = reference(hdr, c.phase);
        EXPECT_NEAR(meta["nmPerCount"].number, ref.nm_per_count,
                    1e-15L * std::fabs(ref.nm_per_count));
        EXPECT_EQ(meta["valid"].number, ref.valid);
        EXPECT_EQ(meta["x"].number, c.phase.window.x);
        EXPECT_EQ(meta["width"].number, c.phase.window.width);
        EXPECT_EQ(meta["lo"].number, -3);
        EXPECT_EQ(meta["hi"].number, 4.5);
        EXPECT_EQ(between(page, "\"hasRange\":", ","), "true");
        EXPECT_EQ(between(page, "<h1 id=\"title\">", "<"), c.name);
    }
}

TEST_F(InfoTest, PageAnswersInABrowser) {
#ifdef _WIN32
    GTEST_SKIP() << "checked with the host's Python and Chromium";
#else
    // Tall pixels and a lateral resolution of their width; gaps in the data.
    df_hdr_t hdr = test_header(64, 48);
    hdr.PixelWidth = 4e-6f;
    hdr.PixelHeight = 6e-6f;
    hdr.CameraRes = 4e-6f;
    const test_phase_t map = slope({5, 4, 41, 29});
    make_input("a&b <map>.dat", hdr, map);
    const process_result_t r =
        run({"--json", "--csv", "a.csv", "--svg", "a.svg", "--html", "a.html", "a&b <map>.dat"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    write_file("a.json", r.out);
    // The same map with a given range, clipped at both ends.
    const reference_t ref = reference(hdr, map);
    const std::string lo = std::to_string(double(ref.min + (ref.max - ref.min) / 5));
    const std::string hi = std::to_string(double(ref.max - (ref.max - ref.min) / 3));
    ASSERT_EQ(
        run({"--range", lo, hi, "--html", "b.html", "--svg", "b.svg", "a&b <map>.dat"}).exit_status,
        0);
    // Heights that fall as the counts rise.
    hdr.IntfScaleFactor = -0.5f;
    make_input("flipped.dat", hdr, map);
    ASSERT_EQ(run({"--html", "c.html", "--csv", "c.csv", "flipped.dat"}).exit_status, 0);

    const std::string table = colour_table_text();
    const char *python = checker_python();
    const process_result_t verdict = run_process(
        python,
        {KELVORIN_SOURCE_DIR "/tests/info/page_check.py", "a.html", "a.csv", "a.json", "a.svg",
         "--ranged", "b.html", "b.svg", lo, hi, "--flipped", "c.html", "c.csv", "--table", table},
        dir_.string());
    if (verdict.exit_status == 77) {
        GTEST_SKIP() << verdict.out;
    }
    EXPECT_EQ(verdict.exit_status, 0) << verdict.out << verdict.err;
#endif
}

} // namespace
