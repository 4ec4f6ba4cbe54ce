// The uncertainty budget against worked cases and against the budget worked
// out pixel by pixel from the files' counts, in every arrangement of bands,
// batches and threads; coefficients of 1 change no byte of the output.
#include "common/budget_oracle.h"
#include "rss/rss_diff_fixture.h"

namespace {

using namespace rss_diff;

class RssBudget : public RssDiff {
  protected:
    // The run's budget, with the output file's bytes ("" for none).
    int32_t run(const std::vector<std::string> &names, const std::vector<double> &weights,
                const std::string &out, rss_budget_t *budget, std::vector<rss_budget_row_t> *rows,
                int32_t phase_res = -1) {
        std::vector<const char *> list;
        for (const std::string &name : names) {
            list.push_back(name.c_str());
        }
        rows->assign(names.size(), rss_budget_row_t{});
        *budget = rss_budget_t{rows->data(), 0, 0, 0, map_wanted_ ? &map_ : nullptr};
        const rss_request_t request = {out.empty() ? nullptr : out.c_str(),
                                       phase_res,
                                       false,
                                       list.data(),
                                       static_cast<int32_t>(list.size()),
                                       weights.empty() ? nullptr : weights.data(),
                                       budget};
        fault_alloc_scope tracking;
        const int32_t code = rss_compute_tuned(&request, nullptr, tuning_);
        // The map is the caller's: kept here, and its block returned.
        map_window_ = map_.window;
        map_values_.assign(map_.matrix, map_.matrix + (map_.matrix ? map_.size : 0));
        int_map_free(&map_);
        EXPECT_EQ(fault_alloc_stats().live, 0);
        return code;
    }

    void expect_budget(const rss_budget_t &got, const oracle_budget_t &want) {
        auto near = [](double a, double b) {
            return std::fabs(a - b) <= 1e-9 * std::fabs(b) + 1e-300;
        };
        for (std::size_t i = 0; i < want.rows.size(); ++i) {
            const rss_budget_row_t &g = got.rows[i];
            const oracle_budget_row_t &w = want.rows[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(g.weight, w.weight);
            EXPECT_TRUE(near(g.rms_nm, w.rms_nm)) << g.rms_nm << " " << w.rms_nm;
            EXPECT_TRUE(near(g.max_nm, w.max_nm)) << g.max_nm << " " << w.max_nm;
            EXPECT_TRUE(near(g.share, w.share)) << g.share << " " << w.share;
            EXPECT_EQ(g.dominant, w.dominant);
            EXPECT_EQ(g.valid, w.valid);
        }
        EXPECT_TRUE(near(got.rms_nm, want.rms_nm)) << got.rms_nm << " " << want.rms_nm;
        EXPECT_TRUE(near(got.max_nm, want.max_nm));
        EXPECT_EQ(got.valid, want.valid);
        if (got.dominance == nullptr) {
            return;
        }
        // The map over the result's window; nothing of V outside it.
        const window_t &w = map_window_;
        std::vector<int32_t> expected = want.dominance, inside;
        for (int32_t y = 0; y < w.height; ++y) {
            for (int32_t x = 0; x < w.width; ++x) {
                int32_t &e = expected[(w.y + y) * static_cast<std::size_t>(want.width) + w.x + x];
                inside.push_back(e);
                e = 0x7FFFFFF8;
            }
        }
        map_values_.resize(inside.size());
        EXPECT_EQ(map_values_, inside);
        EXPECT_EQ(std::count(expected.begin(), expected.end(), 0x7FFFFFF8),
                  static_cast<std::ptrdiff_t>(expected.size()));
    }

    bool map_wanted_ = false;
    int_map_t map_{};
    window_t map_window_{};
    std::vector<int32_t> map_values_;
};

// Worked by hand: 3 and 4 counts of 0.5 x 632.8 nm / 131072 each.
TEST_F(RssBudget, WorkedCases) {
    const double n = 0.5 * static_cast<double>(632.8e-9f) / 131072 * 1e9;
    auto file = [&](const std::string &name, std::vector<int32_t> counts) {
        input_spec_t in;
        in.hdr = test_header(static_cast<int16_t>(counts.size()), 1);
        in.phase = {{0, 0, static_cast<int16_t>(counts.size()), 1}, counts};
        EXPECT_EQ(write_test_file(path(name), in.hdr, &in.phase), 0);
        return path(name);
    };
    const std::string a = file("a", {3, 3}), b = file("b", {4, 4}),
                      b_hole = file("bh", {4, INVALID});
    const std::string zero = file("z", {0, 0});
    struct case_t {
        const char *what;
        std::vector<std::string> names;
        std::vector<double> weights;
        std::vector<double> share, dominant, rms;
        double combined_rms;
        int64_t valid;
    } cases[] = {
        {"shares 9:16", {a, b}, {}, {0.36, 0.64}, {0, 1}, {3 * n, 4 * n}, 5 * n, 2},
        {"a tie: the earlier wins",
         {a, a},
         {},
         {0.5, 0.5},
         {1, 0},
         {3 * n, 3 * n},
         std::sqrt(18.0) * n,
         2},
        {"a coefficient of 0 adds nothing, its holes stay",
         {b_hole, a},
         {1, 0},
         {1, 0},
         {1, 0},
         {4 * n, 0},
         4 * n,
         1},
        {"coefficients",
         {a, b},
         {4, 3},
         {0.5, 0.5},
         {1, 0},
         {12 * n, 12 * n},
         std::sqrt(288.0) * n,
         2},
        {"a total of zero", {zero, zero}, {}, {0, 0}, {1, 0}, {0, 0}, 0, 2},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        rss_budget_t budget;
        std::vector<rss_budget_row_t> rows;
        ASSERT_EQ(run(c.names, c.weights, "", &budget, &rows), 0);
        EXPECT_EQ(budget.valid, c.valid);
        EXPECT_NEAR(budget.rms_nm, c.combined_rms, 1e-12);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NEAR(rows[i].share, c.share[i], 1e-12) << i;
            EXPECT_EQ(rows[i].dominant, c.dominant[i]) << i;
            EXPECT_NEAR(rows[i].rms_nm, c.rms[i], 1e-12) << i;
            EXPECT_STREQ(rows[i].name, c.names[i].c_str());
        }
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.dat"))); // nothing written without an output
}

// Random inputs and coefficients, bands, batches and threads against the
// pixel-by-pixel budget; the output's bytes are those of a run without a
// budget, and coefficients of 1 are no coefficients.
TEST_F(RssBudget, RandomCasesAgreeWithThePixelByPixelBudget) {
    generator_t gen{std::mt19937(20261210)};
    for (int32_t k = 0; k < 150; ++k) {
        const int16_t w = static_cast<int16_t>(gen.uniform(1, 40));
        const int16_t h = static_cast<int16_t>(gen.uniform(1, 30));
        case_t c;
        for (int32_t i = gen.uniform(1, 6); i > 0; --i) {
            c.inputs.push_back(gen.input(w, h, false));
        }
        const std::vector<std::string> names = materialize(c);
        std::vector<double> weights;
        for (std::size_t i = 0; i < names.size(); ++i) {
            weights.push_back(gen.pick<double>({1.0, 1.0, 0.0, 0.25, 2.0, 3.7}));
        }
        tuning_.band_sum_bytes = gen.pick<std::size_t>({1, 8u * w * 3, 1u << 20});
        tuning_.batch_max = gen.pick<int32_t>({1, 2, 3, RSS_BATCH_MAX});
        tuning_.helper_thread = gen.chance(0.8);
        use_portable(gen.chance(0.3));
        map_wanted_ = gen.chance(0.5);
        const int32_t phase_res = gen.pick<int32_t>({-1, 0, 2});
        SCOPED_TRACE(::testing::Message()
                     << "case " << k << ": " << w << "x" << h << ", " << names.size()
                     << " inputs, batch " << tuning_.batch_max);
        rss_budget_t budget;
        std::vector<rss_budget_row_t> rows;
        const int32_t code = run(names, weights, path("with.dat"), &budget, &rows, phase_res);
        if (code != 0) { // no valid result, or an overflow: the run without a budget agrees
            EXPECT_EQ(run(names, weights, path("plain.dat"), &budget, &rows, phase_res), code);
            continue;
        }
        expect_budget(budget, oracle_budget(names, weights, phase_res));
        // The same numbers, to the last bit, with the other thread count and
        // kernels: the sums never depend on which worker took which band.
        const std::vector<rss_budget_row_t> first = rows;
        const rss_budget_t first_budget = budget;
        tuning_.helper_thread = !tuning_.helper_thread;
        use_portable(tuning_.kernels == nullptr);
        ASSERT_EQ(run(names, weights, "", &budget, &rows, phase_res), 0);
        EXPECT_EQ(std::memcmp(rows.data(), first.data(), sizeof(rss_budget_row_t) * rows.size()),
                  0);
        EXPECT_TRUE(budget.rms_nm == first_budget.rms_nm && budget.max_nm == first_budget.max_nm);
        // The same bytes without a budget; and with coefficients of 1 as without any.
        std::vector<const char *> list;
        for (const std::string &name : names) {
            list.push_back(name.c_str());
        }
        const std::string plain = path("plain.dat"), ones = path("ones.dat");
        const std::vector<double> all_ones(names.size(), 1.0);
        rss_request_t request = {
            plain.c_str(), phase_res, false, list.data(), static_cast<int32_t>(list.size()),
            weights.data()};
        ASSERT_EQ(rss_compute_tuned(&request, nullptr, tuning_), 0);
        EXPECT_EQ(file_bytes(plain), file_bytes(path("with.dat")));
        request.weights = nullptr;
        const int32_t none = rss_compute_tuned(&request, nullptr, tuning_);
        request.out_name = ones.c_str();
        request.weights = all_ones.data();
        EXPECT_EQ(rss_compute_tuned(&request, nullptr, tuning_), none);
        EXPECT_EQ(file_bytes(ones), file_bytes(plain));
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
}

#ifndef _WIN32
// Short of file descriptors, the second read of the inputs in batches opens
// them in smaller groups, also those it opens ahead, and its budget is the
// one read with every descriptor free.
TEST_F(RssBudget, FewFreeFileDescriptors) {
    case_t c;
    for (int32_t i = 0; i < 9; ++i) {
        input_spec_t in;
        in.hdr = test_header(40, 20);
        in.phase = uniform_phase({static_cast<int16_t>(i), 0, 30, 20}, 10 * i + 1);
        c.inputs.push_back(in);
    }
    const std::vector<std::string> names = materialize(c);
    tuning_.band_sum_bytes = 8 * 40 * 3;
    tuning_.batch_max = 2;
    map_wanted_ = true;
    rss_budget_t want;
    std::vector<rss_budget_row_t> want_rows;
    ASSERT_EQ(run(names, {}, "", &want, &want_rows), 0);
    const std::vector<int32_t> want_map = map_values_;

    for (const int32_t batch_max : {RSS_BATCH_MAX, 3, 4, 5}) {
        tuning_.batch_max = batch_max;
        rss_budget_t got;
        std::vector<rss_budget_row_t> rows;
        int32_t code;
        {
            const few_descriptors_t few(5);
            ASSERT_TRUE(few.ok);
            code = run(names, {}, "", &got, &rows);
        }
        ASSERT_EQ(code, 0) << "batches of " << batch_max;
        EXPECT_EQ(
            std::memcmp(rows.data(), want_rows.data(), sizeof(rss_budget_row_t) * rows.size()), 0)
            << "batches of " << batch_max;
        EXPECT_EQ(map_values_, want_map);
    }
}
#endif

} // namespace
