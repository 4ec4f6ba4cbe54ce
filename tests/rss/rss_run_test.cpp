// The RSS run in process: every map goes back to the allocator on every path,
// and a refused allocation anywhere ends the run with ERR_NO_MEM.
#include "common/df_builder.h"
#include "common/fault_alloc.h"
#include "common/process.h"
#include "rss/rss_diff_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int32_t INVALID = 0x7FFFFFF8;

class RssRun : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        out_ = path("out.dat");
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    void make(const std::string &name, const df_hdr_t &hdr, const test_phase_t *phase) {
        ASSERT_EQ(write_test_file(path(name), hdr, phase), 0);
    }

    // Runs with the given inputs under the fault allocator; yields the
    // run's result and its standard error.
    bool run(const std::vector<std::string> &inputs, int64_t fail_at = 0,
             std::string *err = nullptr) {
        std::vector<std::string> names;
        std::vector<const char *> list;
        for (const std::string &name : inputs) {
            names.push_back(path(name));
        }
        for (const std::string &name : names) {
            list.push_back(name.c_str());
        }
        const rss_request_t request = {out_.c_str(), -1, false, list.data(),
                                       static_cast<int32_t>(list.size())};
        fault_alloc_scope tracking(fail_at);
        ::testing::internal::CaptureStderr();
        const bool ok = rss_diff::library_run(request, RSS_TUNING_DEFAULT);
        const std::string text = ::testing::internal::GetCapturedStderr();
        if (err != nullptr) {
            *err = text;
        }
        allocations_ = fault_alloc_stats().allocations;
        EXPECT_EQ(fault_alloc_stats().live, 0) << "blocks left after the run";
        return ok;
    }

    std::filesystem::path dir_;
    std::string out_;
    int64_t allocations_ = 0;
};

TEST_F(RssRun, EveryPathReleasesItsMaps) {
    const df_hdr_t h = test_header(8, 6);
    const test_phase_t p = uniform_phase({0, 0, 8, 6}, 3);
    make("good.dat", h, &p);
    df_hdr_t bad_attr = h;
    bad_attr.ObliquityFactor = -1.0f;
    make("bad_attr.dat", bad_attr, &p);
    const test_phase_t all_bad = uniform_phase({0, 0, 8, 6}, INVALID);
    make("all_bad.dat", h, &all_bad);
    const df_hdr_t wider = test_header(9, 6);
    make("wider.dat", wider, &p);
    df_hdr_t res = h;
    res.CameraRes = 1e-6f;
    make("res.dat", res, &p);
    const test_phase_t left = uniform_phase({-2, 0, 4, 4}, 3);
    make("left.dat", h, &left);
    df_hdr_t huge = h;
    huge.IntfScaleFactor = 3e38f;
    make("huge.dat", huge, &p);
    const test_phase_t corner = uniform_phase({0, 0, 1, 1}, 3);
    const test_phase_t far = uniform_phase({7, 5, 1, 1}, 3);
    make("corner.dat", h, &corner);
    make("far.dat", h, &far);

    struct case_t {
        std::vector<std::string> inputs;
        bool ok;
    };
    const std::vector<case_t> cases = {
        {{"good.dat", "good.dat"}, true},      {{"good.dat", "missing.dat"}, false},
        {{"good.dat", "bad_attr.dat"}, false}, {{"good.dat", "all_bad.dat"}, false},
        {{"good.dat", "wider.dat"}, false},    {{"good.dat", "res.dat"}, false},
        {{"good.dat", "left.dat"}, false},     {{"good.dat", "huge.dat"}, false},
        {{"corner.dat", "far.dat"}, false},    {{"left.dat"}, false},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.inputs.back());
        EXPECT_EQ(run(c.inputs), c.ok);
    }
    out_ = path("no_such_dir/out.dat");
    EXPECT_FALSE(run({"good.dat"}));
}

TEST_F(RssRun, RefusedAllocationEndsTheRunCleanly) {
    const df_hdr_t h = test_header(8, 6);
    const test_phase_t a = uniform_phase({0, 0, 8, 6}, 3);
    const test_phase_t b = uniform_phase({1, 1, 5, 4}, 4);
    make("a.dat", h, &a);
    make("b.dat", h, &b);
    ASSERT_TRUE(run({"a.dat", "b.dat"}));
    const int64_t needed = allocations_;
    ASSERT_GT(needed, 4); // input maps, three camera maps, result, writer buffer
    for (int64_t k = 1; k <= needed; ++k) {
        SCOPED_TRACE(k);
        std::string err;
        EXPECT_FALSE(run({"a.dat", "b.dat"}, k, &err));
        EXPECT_TRUE(err.ends_with("Kelvorin\nERROR: ERR_NO_MEM\n")) << err;
    }
}

} // namespace
