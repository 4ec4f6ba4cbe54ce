// kelvorin-info's reports end to end: every header format, with and without
// blocks, statistics against values computed here, comments of any bytes in
// JSON, and every reader failure.
#include "info/info_fixture.h"

namespace {

TEST_F(InfoTest, ReportsFormatsBlocksAndStatistics) {
    struct case_t {
        const char *name;
        int16_t phase_res;
        test_phase_t phase; // no values: no phase block
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
        hdr.f842[0] = c.long_header; // a non-zero extension: 4096-byte header
        make_input(c.name, hdr, c.phase.values.empty() ? nullptr : &c.phase, c.intensity);
        names.push_back(c.name);
    }
    const json_t doc = json(names, 0);
    ASSERT_EQ(doc.items.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const case_t &c = cases[i];
        SCOPED_TRACE(c.name);
        const json_t &f = doc.items[i];
        EXPECT_EQ(f.keys, "file,header_bytes,magic,attributes,intensity,phase,error,");
        EXPECT_EQ(f["file"].text, c.name);
        EXPECT_EQ(f["header_bytes"].number, c.long_header ? 4096 : 834);
        EXPECT_EQ(f["magic"].number, c.magic);
        EXPECT_EQ(f["error"].kind, json_t::null_v);
        const json_t &a = f["attributes"];
        EXPECT_EQ(a["TimeStamp"].number, 1750000000);
        EXPECT_EQ(a["comment"].text, "test input");
        EXPECT_EQ(a["PhaseRes"].number, c.phase_res);
        EXPECT_EQ(static_cast<float>(a["WavelengthIn"].number), 632.8e-9f);
        EXPECT_EQ(a["IntfScaleFactor"].kind,
                  std::isnan(c.scale) ? json_t::null_v : json_t::number_v);
        EXPECT_EQ(f["intensity"].keys, c.intensity ? "n_buckets,x,y,width,height," : "");
        const json_t &p = f["phase"];
        if (c.phase.values.empty()) {
            EXPECT_EQ(p.kind, json_t::null_v);
            continue;
        }
        EXPECT_EQ(p.keys, "x,y,width,height,valid,pixels,min_nm,max_nm,pv_nm,mean_nm,rms_nm,");
        EXPECT_EQ(p["x"].number, 3);
        EXPECT_EQ(p["height"].number, 9);
        EXPECT_EQ(p["pixels"].number, 12 * 9);
        df_hdr_t hdr = test_header(32, 20, c.phase_res);
        hdr.IntfScaleFactor = c.scale;
        const reference_t r = reference(hdr, c.phase);
        EXPECT_EQ(p["valid"].number, r.valid);
        const char *keys[] = {"min_nm", "max_nm", "pv_nm", "mean_nm", "rms_nm"};
        const long double want[] = {r.min, r.max, r.max - r.min, r.mean, r.rms};
        for (int k = 0; k < 5; ++k) {
            if (r.valid == 0 || std::isnan(c.scale)) {
                EXPECT_EQ(p[keys[k]].kind, json_t::null_v) << keys[k];
            } else {
                EXPECT_NEAR(p[keys[k]].number, double(want[k]), 1e-11 * (1 + std::fabs(want[k])))
                    << keys[k];
            }
        }
    }

    // The text report: one block per file, a blank line between two.
    const process_result_t text = run(names);
    EXPECT_EQ(text.exit_status, 0);
    auto count = [&](const std::string &needle) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.out.find(needle, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("file             : "), std::size(cases));
    EXPECT_EQ(count(console_text("\n\nfile ")), std::size(cases) - 1);
    EXPECT_EQ(count("4096 bytes, format 3 (magic 0x881B0371)"), 1u);
    EXPECT_EQ(count("valid pixels     : 0 of 108 (0.00%)"), 1u);
    EXPECT_EQ(count("TimeStamp        : 2025-06-15 15:06:40 UTC (1750000000)"), std::size(cases));
}

TEST_F(InfoTest, AnyCommentBytesGiveValidJson) {
    const std::pair<std::string, std::string> cases[] = {
        // As stored, and as the JSON string's value in UTF-8.
        {"q\"b\\s/\x01\x1f\x7f|", "q\"b\\s/\x01\x1f\x7f|"},
        // UTF-8 kept; Latin-1, a broken sequence and a surrogate byte by byte.
        {"\xc3\xa9t\xe9 \xff\xed\xa0\x80 \xf0\x9f\x98\x80",
         "\xc3\xa9t\xc3\xa9 \xc3\xbf\xc3\xad\xc2\xa0\xc2\x80 \xf0\x9f\x98\x80"},
        {std::string(82, 'x'), std::string(82, 'x')}, // no terminating NUL
    };
    std::vector<std::string> names;
    const test_phase_t phase = slope({0, 0, 4, 4});
    for (const auto &[bytes, decoded] : cases) {
        df_hdr_t hdr = test_header(16, 8);
        std::memcpy(hdr.comment, bytes.data(), std::min(bytes.size() + 1, sizeof hdr.comment));
        names.push_back(std::to_string(names.size()) + ".dat");
        make_input(names.back(), hdr, &phase);
    }
    const json_t doc = json(names, 0);
    ASSERT_EQ(doc.items.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(doc.items[i]["attributes"]["comment"].text, cases[i].second) << i;
    }
    EXPECT_EQ(run(names).exit_status, 0);
}

TEST_F(InfoTest, ReaderFailuresAreReportedAndTheOtherFilesStillShown) {
    const test_phase_t phase = slope({1, 1, 6, 5});
    make_input("good.dat", test_header(16, 8), &phase);
    const std::vector<uint8_t> good = file_bytes(path("good.dat"));
    auto patched = [&](std::size_t at, std::vector<uint8_t> with) {
        std::vector<uint8_t> b = good;
        std::copy(with.begin(), with.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> broken = {
        {{0x88, 0x1B, 0x03}, "ERR_PREMATURE_EOF"},
        {{good.begin(), good.begin() + 500}, "ERR_PREMATURE_EOF"},
        {patched(0, {0x88, 0x1B, 0x03, 0x72}), "ERR_NOT_A_DATA_FILE"},
        {patched(68, {0x9C, 0x40}), "ERR_DATASET_DIM_TOO_LARGE"}, // width 40000
        {patched(68, {0, 0}), "ERR_PARAM_OUT_OF_RANGE"},          // width 0
        {{good.begin(), good.end() - 4}, "ERR_CORRUPT_DATA_FILE"},
    };
    std::vector<std::string> names = {"missing.dat", "folder"};
    std::vector<std::string> codes = {"ERR_CANT_OPEN_FILE", "ERR_CANT_OPEN_FILE"};
    fs::create_directory(dir_ / "folder");
    for (const auto &[bytes, code] : broken) {
        names.push_back("broken" + std::to_string(names.size()) + ".dat");
        codes.push_back(code);
        make_text(names.back(), std::string(bytes.begin(), bytes.end()));
    }
    names.push_back("good.dat");

    const process_result_t text = run(names);
    EXPECT_EQ(text.exit_status, 1);
    EXPECT_NE(text.out.find("file             : good.dat"), std::string::npos);
    std::istringstream err(text.err);
    std::string line;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ASSERT_TRUE(std::getline(err, line));
        EXPECT_EQ(line.rfind("kelvorin-info: " + names[i] + ": " + codes[i] + " (", 0), 0u) << line;
    }
    EXPECT_FALSE(std::getline(err, line)) << line;

    const json_t doc = json(names, 1);
    ASSERT_EQ(doc.items.size(), names.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(doc.items[i].keys, "file,error,");
        EXPECT_EQ(doc.items[i]["error"]["code"].text, codes[i]);
        EXPECT_FALSE(doc.items[i]["error"]["message"].text.empty());
    }
    EXPECT_EQ(doc.items.back()["error"].kind, json_t::null_v);
}

} // namespace
