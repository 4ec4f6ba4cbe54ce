// The streaming RSS run against the step-by-step run: on the same inputs and
// settings both must give the same result, standard output, standard error
// and output file bytes, also when the run fails part way.
#include "common/df_builder.h"
#include "common/fault_alloc.h"
#include "common/process.h"
#include "common/rss_reference.h"
#include "tool/rss_fold.h"
#include "tool/tool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

constexpr int32_t INVALID = 0x7FFFFFF8;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

// Ways to spoil an input file after it is written.
enum class damage_t {
    none,
    missing,    // no such file
    cut,        // the file ends early, anywhere
    bad_magic,  // not a data file
    wide,       // phase width 40000 (negative as signed)
    zero_width, // phase block announced with a width of 0
};

struct input_spec_t {
    df_hdr_t hdr;
    bool has_phase = true;
    test_phase_t phase;
    bool intensity = false;
    damage_t damage = damage_t::none;
    double cut_at = 0; // fraction of the file kept by damage_t::cut
};

struct case_t {
    std::vector<input_spec_t> inputs;
    int32_t phase_setting = -1;
    bool verbose = true;
    std::size_t old_output = 0; // bytes of an output file that exists before the run
    std::string out_name = "out.dat";
};

struct outcome_t {
    bool ok;
    std::string out;
    std::string err;
    std::vector<uint8_t> file;
};

class RssDiff : public ::testing::Test {
  protected:
    void SetUp() override {
        tool_reset();
        dir_ = make_temp_dir();
        saved_tuning_ = g_rss_tuning;
    }

    void TearDown() override {
        g_rss_tuning = saved_tuning_;
        fold_use_portable(false);
        tool_reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // Writes the inputs; yields their names.
    std::vector<std::string> materialize(const case_t &c) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < c.inputs.size(); ++i) {
            const input_spec_t &in = c.inputs[i];
            const std::string name = path("in" + std::to_string(i) + ".dat");
            names.push_back(name);
            std::filesystem::remove(name);
            if (in.damage == damage_t::missing) {
                continue;
            }
            EXPECT_EQ(
                write_test_file(name, in.hdr, in.has_phase ? &in.phase : nullptr, in.intensity), 0);
            std::vector<uint8_t> bytes = file_bytes(name);
            switch (in.damage) {
            case damage_t::cut:
                bytes.resize(static_cast<std::size_t>(in.cut_at * bytes.size()));
                break;
            case damage_t::bad_magic:
                bytes[3] ^= 0x40;
                break;
            case damage_t::wide:
                bytes[68] = 0x9C;
                bytes[69] = 0x40;
                break;
            case damage_t::zero_width:
                bytes[68] = bytes[69] = 0;
                break;
            default:
                break;
            }
            std::ofstream(name, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char *>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
        return names;
    }

    outcome_t run_with(bool (*run)(), const case_t &c, const std::vector<std::string> &names) {
        tool_reset();
        const std::string out = path(c.out_name);
        std::filesystem::remove(out);
        if (c.old_output > 0) {
            std::ofstream(out, std::ios::binary) << std::string(c.old_output, 'x');
        }
        g_settings.out_name = out.c_str();
        g_settings.phase_res = c.phase_setting;
        g_settings.verbose = c.verbose;
        for (const std::string &name : names) {
            g_inputs.names[g_inputs.count++] = strdup(name.c_str());
        }
        outcome_t o;
        {
            fault_alloc_scope tracking;
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            o.ok = run();
            o.err = ::testing::internal::GetCapturedStderr();
            o.out = ::testing::internal::GetCapturedStdout();
            EXPECT_EQ(fault_alloc_stats().live, 0) << "blocks left after the run";
        }
        o.file = file_bytes(out);
        tool_reset();
        return o;
    }

    // Both runs on the case; true when they agree in everything.
    bool agree(const case_t &c) {
        const std::vector<std::string> names = materialize(c);
        const outcome_t expected = run_with(rss_reference_run, c, names);
        const outcome_t got = run_with(rss_run, c, names);
        EXPECT_EQ(got.ok, expected.ok);
        EXPECT_EQ(got.err, expected.err);
        EXPECT_EQ(got.out, expected.out);
        EXPECT_TRUE(got.file == expected.file) << "output files differ";
        return got.ok == expected.ok && got.err == expected.err && got.out == expected.out &&
               got.file == expected.file;
    }

    std::filesystem::path dir_;
    rss_tuning_t saved_tuning_{};
};

// ---------------------------------------------------------------------------
// Random cases.

struct generator_t {
    std::mt19937 rng;

    int32_t uniform(int32_t lo, int32_t hi) {
        return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng); }

    template <typename T> T pick(std::initializer_list<T> items) {
        return *(items.begin() + uniform(0, static_cast<int32_t>(items.size()) - 1));
    }

    // An attribute that changes the unit factor: mostly as usual, often a
    // benign other value, and in a `hostile` input also values that fail the
    // attribute check or break the arithmetic.
    float factor_attribute(float usual, bool hostile) {
        if (chance(0.6)) {
            return usual;
        }
        if (!hostile || chance(0.5)) {
            return pick<float>({usual * 2, usual / 3, std::nextafter(usual, 2 * usual)});
        }
        return pick<float>({1e30f, 1e-30f, 0x1p52f, NaN, INF, 0.0f, -usual});
    }

    window_t window(int16_t w, int16_t h, bool hostile) {
        if (hostile && chance(0.15)) { // not inside the camera frame
            return {static_cast<int16_t>(uniform(-2, 1)), static_cast<int16_t>(uniform(-2, 1)),
                    static_cast<int16_t>(uniform(1, w + 1)), static_cast<int16_t>(uniform(1, h))};
        }
        const int16_t x = static_cast<int16_t>(uniform(0, w / 3));
        const int16_t y = static_cast<int16_t>(uniform(0, h / 3));
        return {x, y, static_cast<int16_t>(uniform(std::max(1, (w - x) / 2), w - x)),
                static_cast<int16_t>(uniform(std::max(1, (h - y) / 2), h - y))};
    }

    input_spec_t input(int16_t w, int16_t h, bool hostile) {
        input_spec_t in;
        in.hdr = test_header(w, h, pick<int16_t>({0, 1, 2, 2, 2, 7, -3}));
        in.hdr.TimeStamp = uniform(-100, 1800000000);
        in.hdr.IntfScaleFactor = factor_attribute(0.5f, hostile);
        in.hdr.WavelengthIn = factor_attribute(632.8e-9f, hostile);
        in.hdr.ObliquityFactor = factor_attribute(1.0f, hostile);
        in.intensity = chance(0.15);
        in.phase.window = window(w, h, hostile);
        double invalid_share = pick<double>({0.0, 0.02, 0.1, 0.3});
        int32_t magnitude = pick<int32_t>({5000, 5000, 5000, 30000000, 2147483000});
        if (hostile) {
            if (chance(0.1)) {
                in.hdr.CameraRes = pick<float>({std::nextafter(5.5e-6f, 1.0f), NaN, -1e-6f});
            }
            if (chance(0.05)) {
                in.hdr.PixelHeight = pick<float>({6e-6f, NaN});
            }
            if (chance(0.05)) {
                in.has_phase = false;
                in.intensity = true;
            } else if (chance(0.1)) {
                in.hdr.CameraWidth = static_cast<int16_t>(pick<int32_t>({0, w + 1, w - 1}));
            }
            if (chance(0.1)) {
                invalid_share = 1.0;
            }
            if (chance(0.15)) {
                in.damage =
                    pick<damage_t>({damage_t::missing, damage_t::cut, damage_t::cut,
                                    damage_t::bad_magic, damage_t::wide, damage_t::zero_width});
                in.cut_at = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
            }
        }
        const int32_t n = in.phase.window.width * in.phase.window.height;
        for (int32_t i = 0; i < n; ++i) {
            in.phase.values.push_back(chance(invalid_share) ? INVALID + uniform(0, 7)
                                                            : uniform(-magnitude, magnitude));
        }
        return in;
    }

    // About half the cases have one hostile input somewhere.
    case_t make_case(int16_t w, int16_t h, int32_t inputs) {
        case_t c;
        c.phase_setting = pick<int32_t>({-1, -1, 0, 1, 2});
        c.verbose = chance(0.7);
        c.old_output = pick<std::size_t>({0, 10, 100000});
        const int32_t hostile = chance(0.5) ? uniform(0, inputs - 1) : -1;
        for (int32_t i = 0; i < inputs; ++i) {
            c.inputs.push_back(input(w, h, i == hostile));
        }
        return c;
    }
};

TEST_F(RssDiff, RandomCasesGiveTheSameBytesAsTheStepByStepRun) {
    generator_t gen{std::mt19937(20250615)};
    for (int32_t k = 0; k < 400; ++k) {
        const int16_t w = static_cast<int16_t>(gen.uniform(1, 12));
        const int16_t h = static_cast<int16_t>(gen.uniform(1, 10));
        const case_t c = gen.make_case(w, h, gen.uniform(1, 5));
        // Bands of one row up to the whole frame, small batches, with and
        // without the reader thread and the wide kernels.
        g_rss_tuning.band_sum_bytes = gen.pick<std::size_t>({1, 8u * w * 3, 1u << 20});
        g_rss_tuning.batch_max = gen.pick<int32_t>({1, 2, 3, RSS_BATCH_MAX});
        g_rss_tuning.helper_thread = gen.chance(0.8);
        fold_use_portable(gen.chance(0.3));
        if (!agree(c)) {
            ADD_FAILURE() << "case " << k << " (camera " << w << "x" << h << ", " << c.inputs.size()
                          << " inputs, band bytes " << g_rss_tuning.band_sum_bytes << ", batch "
                          << g_rss_tuning.batch_max << ", kernels " << fold_kernel_name() << ")";
            return;
        }
    }
}

// Rows wide enough for the wide kernels' main loop and its tail, over many
// bands and batches.
TEST_F(RssDiff, WideFramesAcrossBandsAndBatches) {
    generator_t gen{std::mt19937(77)};
    for (int32_t k = 0; k < 24; ++k) {
        const int16_t w = static_cast<int16_t>(gen.uniform(40, 300));
        const int16_t h = static_cast<int16_t>(gen.uniform(20, 60));
        const case_t c = gen.make_case(w, h, gen.uniform(2, 9));
        g_rss_tuning.band_sum_bytes = gen.pick<std::size_t>({8u * w, 8u * w * 7, 1u << 20});
        g_rss_tuning.batch_max = gen.pick<int32_t>({2, 5, RSS_BATCH_MAX});
        fold_use_portable(k % 2 == 1);
        ASSERT_TRUE(agree(c)) << "case " << k;
    }
}

// Bands of one row, many more than the run keeps finished bands waiting for
// the output: both workers run ahead of the rows written and wait for them.
TEST_F(RssDiff, ManyNarrowBands) {
    generator_t gen{std::mt19937(5)};
    for (int32_t k = 0; k < 6; ++k) {
        case_t c = gen.make_case(40, 300, 3);
        for (input_spec_t &in : c.inputs) {
            in.damage = damage_t::none;
        }
        c.old_output = 100000;
        g_rss_tuning.band_sum_bytes = 8 * 40;
        ASSERT_TRUE(agree(c)) << "case " << k;
    }
}

// ---------------------------------------------------------------------------
// Arithmetic at the edge of the invalid marker. With IntfScaleFactor 2^52
// against 1 for the first input, a count x stands for x * 2^52 exactly, and
// its square for x^2 * 2^104, where DBL_MAP_INVALID is (2^24 - 1) * 2^104.

struct edge_case_t {
    const char *name;
    float scale;                 // IntfScaleFactor of the later inputs
    std::vector<int32_t> counts; // at the probed pixel, for the later inputs in order
};

TEST_F(RssDiff, SumsAtTheInvalidMarkerAndOverflowsInEachStep) {
    const edge_case_t cases[] = {
        // 4095^2 + 90^2 + 9^2 + 3^2 = 2^24 - 1: the sum is exactly the marker,
        // so the pixel is invalid from then on, without an overflow.
        {"sum equals the marker", 0x1p52f, {4095, 90, 9, 3, 1}},
        {"sum beyond the marker", 0x1p52f, {4095, 90, 9, 4}},
        {"square overflows", 0x1p52f, {4096}},
        {"scaling overflows", 0x1p100f, {1 << 28}},
        // The square overflows even where the sum is already invalid.
        {"square overflows over an invalid sum", 0x1p52f, {INVALID, 4096}},
        {"scaling by inf", INF, {0, 0}},
        {"scaling by inf overflows", INF, {1}},
        {"NaN factor makes the input invalid", NaN, {3, 4}},
    };
    for (const edge_case_t &e : cases) {
        SCOPED_TRACE(e.name);
        for (bool portable : {false, true}) {
            fold_use_portable(portable);
            case_t c;
            input_spec_t first;
            first.hdr = test_header(9, 3);
            first.hdr.IntfScaleFactor = 1.0f;
            first.phase = uniform_phase({0, 0, 9, 3}, 0);
            c.inputs.push_back(first);
            for (int32_t count : e.counts) {
                input_spec_t later = first;
                later.hdr.IntfScaleFactor = e.scale;
                later.phase = uniform_phase({0, 0, 9, 3}, 1);
                later.phase.values[13] = count; // a pixel in the middle row
                c.inputs.push_back(later);
            }
            ASSERT_TRUE(agree(c));
        }
    }
}

// Roots at the edges of rounding and of the phase count range: an input
// whose ObliquityFactor of 0.5 halves its counts, then one taken as is.
TEST_F(RssDiff, RoundingEdgesOfTheResult) {
    const std::vector<int32_t> halved = {5,       -5,        3, 134217726, 134217727, 1,         0,
                                         INVALID, 134217728, 7, 2,         9,         -134217726};
    const std::vector<int32_t> as_is = {67108863, 67108864, -67108863, 0, 4, 2147483639};
    for (bool portable : {false, true}) {
        fold_use_portable(portable);
        for (const std::vector<int32_t> *counts : {&halved, &as_is}) {
            case_t c;
            input_spec_t in;
            in.hdr = test_header(static_cast<int16_t>(counts->size()), 1);
            in.hdr.ObliquityFactor = counts == &halved ? 0.5f : 1.0f;
            in.phase = {{0, 0, static_cast<int16_t>(counts->size()), 1}, *counts};
            c.inputs.push_back(in);
            ASSERT_TRUE(agree(c));
        }
    }
}

// A file that fails in several ways at once fails with what comes first:
// a short block before the attribute check and the search for valid data,
// no valid data before a window outside the frame.
TEST_F(RssDiff, FirstOfSeveralFailuresOfOneInput) {
    using spoil_fn = void (*)(input_spec_t &);
    const spoil_fn spoils[] = {
        [](input_spec_t &in) { in.hdr.ObliquityFactor = -1.0f; },
        [](input_spec_t &in) { in.phase.values.assign(in.phase.values.size(), INVALID); },
        [](input_spec_t &in) { in.phase.window.y = -1; },
        [](input_spec_t &in) { in.hdr.CameraWidth = 71; },
    };
    for (std::size_t first = 0; first < std::size(spoils); ++first) {
        for (std::size_t second = 0; second < std::size(spoils); ++second) {
            for (bool cut : {false, true}) {
                SCOPED_TRACE(std::to_string(first) + "/" + std::to_string(second) + "/" +
                             std::to_string(cut));
                case_t c;
                input_spec_t in;
                in.hdr = test_header(70, 30);
                in.phase = uniform_phase({1, 2, 66, 27}, 1000);
                c.inputs.push_back(in);
                spoils[first](in);
                spoils[second](in);
                if (cut) {
                    in.damage = damage_t::cut;
                    in.cut_at = 0.9;
                }
                c.inputs.push_back(in);
                g_rss_tuning.band_sum_bytes = 8 * 70 * 4;
                ASSERT_TRUE(agree(c));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// A failing input at every position: the lines of the inputs before it, its
// own lines as far as they come, then its messages.

TEST_F(RssDiff, FailingInputAtEachPosition) {
    using spoil_fn = void (*)(input_spec_t &);
    const std::pair<const char *, spoil_fn> failures[] = {
        {"unreadable", [](input_spec_t &in) { in.damage = damage_t::missing; }},
        {"header cut",
         [](input_spec_t &in) {
             in.damage = damage_t::cut;
             in.cut_at = 0.01;
         }},
        {"block cut",
         [](input_spec_t &in) {
             in.damage = damage_t::cut;
             in.cut_at = 0.97;
         }},
        {"not a data file", [](input_spec_t &in) { in.damage = damage_t::bad_magic; }},
        {"other camera size", [](input_spec_t &in) { in.hdr.CameraHeight = 31; }},
        {"other CameraRes",
         [](input_spec_t &in) { in.hdr.CameraRes = std::nextafter(in.hdr.CameraRes, 1.0f); }},
        {"no phase block",
         [](input_spec_t &in) {
             in.has_phase = false;
             in.intensity = true;
         }},
        {"no valid data",
         [](input_spec_t &in) { in.phase.values.assign(in.phase.values.size(), INVALID); }},
        {"attribute check", [](input_spec_t &in) { in.hdr.ObliquityFactor = -1.0f; }},
        {"window left of the frame", [](input_spec_t &in) { in.phase.window.x = -1; }},
        {"overflow", [](input_spec_t &in) { in.hdr.IntfScaleFactor = 1e30f; }},
    };
    for (const auto &[name, spoil] : failures) {
        for (int32_t position = 0; position < 3; ++position) {
            SCOPED_TRACE(std::string(name) + " at input " + std::to_string(position + 1));
            case_t c;
            for (int32_t i = 0; i < 3; ++i) {
                input_spec_t in;
                in.hdr = test_header(70, 30);
                in.phase = uniform_phase({1, 2, 66, 27}, 1000 + i);
                c.inputs.push_back(in);
            }
            spoil(c.inputs[position]);
            c.old_output = 5000;
            g_rss_tuning.band_sum_bytes = 8 * 70 * 4; // several bands
            ASSERT_TRUE(agree(c));
        }
    }
}

// The output file cannot be made: nothing else is written, whatever the
// inputs hold.
TEST_F(RssDiff, OutputCannotBeMade) {
    case_t c;
    input_spec_t in;
    in.hdr = test_header(30, 20);
    in.phase = uniform_phase({0, 0, 30, 20}, 9);
    c.inputs = {in, in};
    c.inputs[1].damage = damage_t::missing;
    c.out_name = "no_such_folder/out.dat";
    EXPECT_TRUE(agree(c));
}

// An empty input table: the step-by-step run fails converting its empty sum.
TEST_F(RssDiff, NoInputs) {
    EXPECT_TRUE(agree(case_t{}));
}

#ifndef _WIN32
// With only a few descriptors free, a batch cannot open all its inputs at
// once; the run then opens them in smaller groups and still agrees.
TEST_F(RssDiff, FewFreeFileDescriptors) {
    case_t c;
    for (int32_t i = 0; i < 9; ++i) {
        input_spec_t in;
        in.hdr = test_header(40, 20);
        in.phase = uniform_phase({0, 0, 40, 20}, 10 * i);
        c.inputs.push_back(in);
    }
    c.inputs[8].damage = damage_t::missing;
    g_rss_tuning.band_sum_bytes = 8 * 40 * 3;
    const std::vector<std::string> names = materialize(c);
    const outcome_t expected = run_with(rss_reference_run, c, names);
    // Once with every descriptor free: UndefinedBehaviorSanitizer checks the
    // dynamic type of the helper thread's state on its first start, and that
    // check needs a pipe of its own; later starts find the type cached.
    run_with(rss_run, c, names);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    // Room for capturing both streams (four descriptors) and four more.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free + 8);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const outcome_t got = run_with(rss_run, c, names);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_EQ(got.ok, expected.ok);
    EXPECT_EQ(got.err, expected.err);
    EXPECT_EQ(got.out, expected.out);
    EXPECT_TRUE(got.file == expected.file);
}
#endif

#ifdef __linux__
// Writing the result fails (the device is always full): both runs end with
// the writer's code, whether or not the result was written ahead.
TEST_F(RssDiff, WritingTheResultFails) {
    case_t c;
    for (int32_t i = 0; i < 3; ++i) {
        input_spec_t in;
        in.hdr = test_header(60, 40);
        in.phase = uniform_phase({1, 1, 58, 38}, 100 + i);
        c.inputs.push_back(in);
    }
    const std::vector<std::string> names = materialize(c);
    for (std::size_t band_bytes : {std::size_t{8 * 60 * 5}, std::size_t{1} << 20}) {
        g_rss_tuning.band_sum_bytes = band_bytes;
        std::string err[2];
        bool ok[2];
        bool (*const runs[2])() = {rss_reference_run, rss_run};
        for (int r = 0; r < 2; ++r) {
            tool_reset();
            g_settings.out_name = "/dev/full";
            for (const std::string &name : names) {
                g_inputs.names[g_inputs.count++] = strdup(name.c_str());
            }
            fault_alloc_scope tracking;
            ::testing::internal::CaptureStderr();
            ok[r] = runs[r]();
            err[r] = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(fault_alloc_stats().live, 0);
        }
        EXPECT_FALSE(ok[1]);
        EXPECT_EQ(ok[1], ok[0]);
        EXPECT_EQ(err[1], err[0]);
        EXPECT_NE(err[1].find("ERR_CANT_WRITE_FILE"), std::string::npos) << err[1];
    }
}
#endif

// A refused allocation anywhere ends the run with ERR_NO_MEM and nothing
// left allocated, in every arrangement of bands, batches and threads.
TEST_F(RssDiff, RefusedAllocationAnywhere) {
    case_t c;
    for (int32_t i = 0; i < 4; ++i) {
        input_spec_t in;
        in.hdr = test_header(50, 20);
        in.phase = uniform_phase({static_cast<int16_t>(i), 1, 45, 18}, 7 * i);
        c.inputs.push_back(in);
    }
    const std::vector<std::string> names = materialize(c);
    for (bool threaded : {true, false}) {
        g_rss_tuning = rss_tuning_t{8 * 50 * 6, 2, threaded};
        tool_reset();
        const std::string out = path("out.dat");
        g_settings.out_name = out.c_str();
        for (const std::string &name : names) {
            g_inputs.names[g_inputs.count++] = strdup(name.c_str());
        }
        int64_t needed = 0;
        {
            fault_alloc_scope tracking;
            ::testing::internal::CaptureStdout();
            ASSERT_TRUE(rss_run());
            ::testing::internal::GetCapturedStdout();
            needed = fault_alloc_stats().allocations;
        }
        for (int64_t k = 1; k <= needed; ++k) {
            SCOPED_TRACE(k);
            fault_alloc_scope tracking(k);
            ::testing::internal::CaptureStderr();
            EXPECT_FALSE(rss_run());
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_TRUE(err.ends_with("Kelvorin\nERROR: ERR_NO_MEM\n")) << err;
            EXPECT_EQ(fault_alloc_stats().live, 0);
        }
        tool_reset();
    }
}

// The piecewise reader gives the whole-file reader's code for every kind of
// damaged file.
TEST_F(RssDiff, PiecewiseReadingFailsAsTheWholeFileReader) {
    input_spec_t base;
    base.hdr = test_header(20, 10);
    base.phase = uniform_phase({2, 1, 17, 8}, 5);
    std::vector<input_spec_t> specs;
    for (damage_t d : {damage_t::none, damage_t::bad_magic, damage_t::wide, damage_t::zero_width}) {
        input_spec_t in = base;
        in.damage = d;
        specs.push_back(in);
    }
    for (double keep : {0.0, 0.002, 0.5, 0.8, 0.999}) {
        input_spec_t in = base;
        in.intensity = true;
        in.damage = damage_t::cut;
        in.cut_at = keep;
        specs.push_back(in);
    }
    input_spec_t long_header = base;
    long_header.hdr.f1454[100] = 1; // 4096-byte header
    specs.push_back(long_header);
    input_spec_t no_phase = base;
    no_phase.has_phase = false;
    no_phase.intensity = true;
    specs.push_back(no_phase);

    case_t c;
    c.inputs = specs;
    const std::vector<std::string> names = materialize(c);
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        df_hdr_t whole_hdr{};
        int_map_t map{};
        df_info_t info{};
        const int32_t expected = df_read(names[i].c_str(), &info, &whole_hdr, nullptr, &map);

        std::FILE *stream = u_fopen_path(names[i].c_str(), "rb");
        ASSERT_NE(stream, nullptr);
        df_hdr_t hdr{};
        df_phase_block_t block{};
        int32_t got = df_read_phase_head(stream, &info, &hdr, &block);
        std::vector<int32_t> values;
        if (got == 0 && block.present) {
            values.resize(static_cast<std::size_t>(block.window.width * block.window.height));
            // Row by row, as the run reads it.
            for (int32_t r = 0; got == 0 && r < block.window.height; ++r) {
                got = df_read_phase_raw(stream, values.data() + r * block.window.width,
                                        static_cast<std::size_t>(block.window.width));
            }
        }
        std::fclose(stream);
        EXPECT_EQ(got, expected);
        if (expected == 0) {
            EXPECT_EQ(std::memcmp(&hdr, &whole_hdr, sizeof hdr), 0);
            EXPECT_EQ(block.present, map.matrix != nullptr);
            for (std::size_t v = 0; v < values.size(); ++v) {
                const auto *p = reinterpret_cast<const uint8_t *>(&values[v]);
                ASSERT_EQ(static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 |
                                               uint32_t{p[2]} << 8 | p[3]),
                          map.matrix[v]);
            }
        }
        int_map_free(&map);
    }
}

} // namespace
