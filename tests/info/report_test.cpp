// kelvorin-info's reports end to end: every header format, with and without
// blocks, statistics against values computed here, comments of any bytes in
// JSON, and every reader failure.
#include "info/info_fixture.h"

namespace {

void expect_stats(const json_t &phase, const reference_t &r) {
    ASSERT_EQ(phase["valid"].number, r.valid);
    const std::pair<const char *, long double> stats[] = {{"min_nm", r.min},
                                                          {"max_nm", r.max},
                                                          {"pv_nm", r.max - r.min},
                                                          {"mean_nm", r.mean},
                                                          {"rms_nm", r.rms}};
    for (const auto &[key, want] : stats) {
        const json_t &got = phase[key];
        if (r.valid == 0 || !std::isfinite(static_cast<double>(r.nm_per_count))) {
            EXPECT_EQ(got.kind, json_t::null_v) << key;
        } else {
            EXPECT_NEAR(got.number, static_cast<double>(want), 1e-11 * (1 + std::fabs(want)))
                << key;
        }
    }
}

TEST_F(InfoTest, ReportsFormatsBlocksAndStatistics) {
    struct case_t {
        const char *name;
        int16_t phase_res;
        test_phase_t phase; // no window: no phase block
        bool intensity;
        bool long_header;
        float scale; // IntfScaleFactor
        uint32_t magic;
    };
    const window_t w{3, 2, 12, 9};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const case_t cases[] = {
        {"normal.dat", 0, slope(w), false, false, 0.5f, DF_MAGIC_1},
        {"high_intensity.dat", 1, slope(w), true, false, 0.5f, DF_MAGIC_1},
        {"super.dat", 2, slope(w), false, false, 0.5f, DF_MAGIC_2},
        {"long.dat", 2, slope(w), true, true, 0.5f, DF_MAGIC_3},
        {"no_phase.dat", 2, {}, true, false, 0.5f, DF_MAGIC_2},
        {"all_invalid.dat", 2, uniform_phase(w, BAD), false, false, 0.5f, DF_MAGIC_2},
        {"one_value.dat", 2, uniform_phase(w, -1234), false, false, 0.5f, DF_MAGIC_2},
        {"nan_factor.dat", 2, slope(w), false, false, nan, DF_MAGIC_2},
        // Large counts a few apart: a careless variance loses them.
        {"large.dat", 2, phase_of(w, [](int x, int y) { return 2'000'000'000 + x * y % 97; }),
         false, false, 0.5f, DF_MAGIC_2},
    };
    std::vector<std::string> names;
    for (const case_t &c : cases) {
        df_hdr_t hdr = test_header(32, 20, c.phase_res);
        hdr.IntfScaleFactor = c.scale;
        hdr.f842[0] = c.long_header ? 1 : 0;
        make(c.name, hdr, c.phase.values.empty() ? nullptr : &c.phase, c.intensity);
        names.push_back(c.name);
    }
    const json_t doc = json(names, 0);
    ASSERT_EQ(doc.items.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const case_t &c = cases[i];
        SCOPED_TRACE(c.name);
        const json_t &f = doc.items[i];
        EXPECT_EQ(f.keys(), (std::vector<std::string>{"file", "header_bytes", "magic", "attributes",
                                                      "intensity", "phase", "error"}));
        EXPECT_EQ(f["file"].text, c.name);
        EXPECT_EQ(f["header_bytes"].number, c.long_header ? 4096 : 834);
        EXPECT_EQ(f["magic"].number, c.magic);
        EXPECT_EQ(f["error"].kind, json_t::null_v);
        const json_t &a = f["attributes"];
        EXPECT_EQ(a["TimeStamp"].number, 1750000000);
        EXPECT_EQ(a["comment"].text, "test input");
        EXPECT_EQ(a["PhaseRes"].number, c.phase_res);
        EXPECT_EQ(static_cast<float>(a["WavelengthIn"].number), 632.8e-9f);
        EXPECT_EQ(static_cast<float>(a["PixelWidth"].number), 5.5e-6f);
        if (std::isnan(c.scale)) {
            EXPECT_EQ(a["IntfScaleFactor"].kind, json_t::null_v);
        }
        if (c.intensity) {
            const json_t &in = f["intensity"];
            EXPECT_EQ(in.keys(),
                      (std::vector<std::string>{"n_buckets", "x", "y", "width", "height"}));
            EXPECT_EQ(in["n_buckets"].number, 1);
            EXPECT_EQ(in["width"].number, 32);
        } else {
            EXPECT_EQ(f["intensity"].kind, json_t::null_v);
        }
        if (c.phase.values.empty()) {
            EXPECT_EQ(f["phase"].kind, json_t::null_v);
            continue;
        }
        const json_t &p = f["phase"];
        EXPECT_EQ(p.keys(),
                  (std::vector<std::string>{"x", "y", "width", "height", "valid", "pixels",
                                            "min_nm", "max_nm", "pv_nm", "mean_nm", "rms_nm"}));
        EXPECT_EQ(p["x"].number, 3);
        EXPECT_EQ(p["height"].number, 9);
        EXPECT_EQ(p["pixels"].number, 12 * 9);
        df_hdr_t hdr = test_header(32, 20, c.phase_res);
        hdr.IntfScaleFactor = c.scale;
        expect_stats(p, reference(hdr, c.phase));
    }

    // The text report: one block per file, blank lines between them.
    const process_result_t text = run(names);
    EXPECT_EQ(text.exit_status, 0);
    std::istringstream lines(text.out);
    int blocks = 0, blanks = 0;
    for (std::string line; std::getline(lines, line);) {
        blocks += line.rfind("file ", 0) == 0;
        blanks += line.empty() || line == "\r";
    }
    EXPECT_EQ(blocks, static_cast<int>(std::size(cases)));
    EXPECT_EQ(blanks, blocks - 1);
    EXPECT_NE(text.out.find("4096 bytes, format 3 (magic 0x881B0371)"), std::string::npos);
    EXPECT_NE(text.out.find("2025-06-15 15:06:40 UTC (1750000000)"), std::string::npos);
    EXPECT_NE(text.out.find("valid pixels     : 0 of 108 (0.00%)"), std::string::npos);
}

TEST_F(InfoTest, AnyCommentBytesGiveValidJson) {
    struct case_t {
        std::string bytes;   // the comment as stored
        std::string decoded; // the JSON string's value, as UTF-8
    };
    const case_t cases[] = {
        {"q\"b\\s/\x01\x1f\x7f|", "q\"b\\s/\x01\x1f\x7f|"},
        {"\xc3\xa9t\xe9 \xff\xed\xa0\x80 \xf0\x9f\x98\x80", // UTF-8, Latin-1, a surrogate, U+1F600
         "\xc3\xa9t\xc3\xa9 \xc3\xbf\xc3\xad\xc2\xa0\xc2\x80 \xf0\x9f\x98\x80"},
        {std::string(82, 'x'), std::string(82, 'x')}, // no terminating NUL
    };
    std::vector<std::string> names;
    for (const case_t &c : cases) {
        df_hdr_t hdr = test_header(16, 8);
        std::memcpy(hdr.comment, c.bytes.data(), std::min(c.bytes.size() + 1, sizeof hdr.comment));
        names.push_back("c" + std::to_string(names.size()) + ".dat");
        const test_phase_t phase = slope({0, 0, 4, 4});
        make(names.back(), hdr, &phase);
    }
    const json_t doc = json(names, 0);
    ASSERT_EQ(doc.items.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(doc.items[i]["attributes"]["comment"].text, cases[i].decoded) << i;
    }
    EXPECT_EQ(run(names).exit_status, 0);
}

TEST_F(InfoTest, ReaderFailuresAreReportedAndTheOtherFilesStillShown) {
    const test_phase_t phase = slope({1, 1, 6, 5});
    make("good.dat", test_header(16, 8), &phase);
    const std::vector<uint8_t> good = file_bytes(path("good.dat"));
    auto patched = [&](std::size_t at, std::vector<uint8_t> with) {
        std::vector<uint8_t> b = good;
        std::copy(with.begin(), with.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    struct case_t {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *code;
    };
    const std::vector<case_t> cases = {
        {"tiny.dat", {0x88, 0x1B, 0x03}, "ERR_PREMATURE_EOF"},
        {"short.dat", {good.begin(), good.begin() + 500}, "ERR_PREMATURE_EOF"},
        {"magic.dat", patched(0, {0x88, 0x1B, 0x03, 0x72}), "ERR_NOT_A_DATA_FILE"},
        {"wide.dat", patched(68, {0x9C, 0x40}), "ERR_DATASET_DIM_TOO_LARGE"},
        {"empty_window.dat", patched(68, {0, 0}), "ERR_PARAM_OUT_OF_RANGE"},
        {"cut.dat", {good.begin(), good.end() - 4}, "ERR_CORRUPT_DATA_FILE"},
    };
    std::vector<std::string> names = {"missing.dat", "folder"};
    fs::create_directory(dir_ / "folder");
    for (const case_t &c : cases) {
        make_bytes(c.name, c.bytes);
        names.push_back(c.name);
    }
    names.push_back("good.dat");
    std::map<std::string, std::string> codes = {{"missing.dat", "ERR_CANT_OPEN_FILE"},
                                                {"folder", "ERR_CANT_OPEN_FILE"}};
    for (const case_t &c : cases) {
        codes[c.name] = c.code;
    }

    const process_result_t text = run(names);
    EXPECT_EQ(text.exit_status, 1);
    EXPECT_NE(text.out.find("file             : good.dat"), std::string::npos);
    std::istringstream err(text.err);
    std::string line;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        ASSERT_TRUE(std::getline(err, line));
        const std::string head = "kelvorin-info: " + names[i] + ": " + codes[names[i]] + " (";
        EXPECT_EQ(line.substr(0, head.size()), head);
        EXPECT_EQ(line.back() == '\r' ? line[line.size() - 2] : line.back(), ')');
    }
    EXPECT_FALSE(std::getline(err, line)) << line;

    const json_t doc = json(names, 1);
    ASSERT_EQ(doc.items.size(), names.size());
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        const json_t &f = doc.items[i];
        EXPECT_EQ(f.keys(), (std::vector<std::string>{"file", "error"}));
        EXPECT_EQ(f["error"]["code"].text, codes[names[i]]);
        EXPECT_FALSE(f["error"]["message"].text.empty());
    }
    EXPECT_EQ(doc.items.back()["error"].kind, json_t::null_v);
}

} // namespace
