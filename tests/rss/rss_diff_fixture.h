// The library's RSS run against the step-by-step run: the fixture that
// writes a case's inputs, runs both runs on them and compares what they give.
#pragma once

#include "common/df_builder.h"
#include "common/fault_alloc.h"
#include "common/process.h"
#include "common/rss_reference.h"
#include "rss/rss_fold.h"
#include "rss/rss_tuning.h"

#include <gtest/gtest.h>

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

namespace rss_diff {

inline constexpr int32_t INVALID = 0x7FFFFFF8;
inline constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float INF = std::numeric_limits<float>::infinity();

#ifndef _WIN32
// While it lives, only `spare` more file descriptors can be opened.
struct few_descriptors_t {
    explicit few_descriptors_t(int spare) {
        const int lowest_free = dup(0);
        close(lowest_free);
        rlimit tight{};
        ok = lowest_free >= 0 && getrlimit(RLIMIT_NOFILE, &saved) == 0;
        tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowest_free + spare);
        ok = ok && setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~few_descriptors_t() {
        if (ok) {
            setrlimit(RLIMIT_NOFILE, &saved);
        }
    }
    few_descriptors_t(const few_descriptors_t &) = delete;
    few_descriptors_t &operator=(const few_descriptors_t &) = delete;
    rlimit saved{};
    bool ok = false;
};
#endif

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

// A run of a request, shown as the tool shows it: report on standard output,
// messages on standard error.
using run_fn = bool (*)(const rss_request_t &request, const rss_tuning_t &tuning);

inline bool library_run(const rss_request_t &request, const rss_tuning_t &tuning) {
    const rss_sink_t console = {
        nullptr, [](void *, const char *text) { std::fputs(text, stdout); },
        [](void *, const char *text) { std::fprintf(stderr, "Kelvorin\nERROR: %s\n", text); }};
    return rss_compute_tuned(&request, &console, tuning) == 0;
}

inline bool reference_run(const rss_request_t &request, const rss_tuning_t &) {
    return rss_reference_run(request);
}

inline const char *kernel_name(const rss_tuning_t &tuning) {
    return fold_kernel_name(tuning.kernels != nullptr ? tuning.kernels : fold_best_kernels());
}

class RssDiff : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Chooses the portable kernels, or the best the processor has.
    void use_portable(bool portable) {
        tuning_.kernels = portable ? fold_portable_kernels() : nullptr;
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

    outcome_t run_with(run_fn run, const case_t &c, const std::vector<std::string> &names) {
        const std::string out = path(c.out_name);
        std::filesystem::remove(out);
        if (c.old_output > 0) {
            std::ofstream(out, std::ios::binary) << std::string(c.old_output, 'x');
        }
        std::vector<const char *> list;
        for (const std::string &name : names) {
            list.push_back(name.c_str());
        }
        const rss_request_t request = {out.c_str(), c.phase_setting, c.verbose, list.data(),
                                       static_cast<int32_t>(list.size())};
        outcome_t o;
        {
            fault_alloc_scope tracking;
            ::testing::internal::CaptureStdout();
            ::testing::internal::CaptureStderr();
            o.ok = run(request, tuning_);
            o.err = ::testing::internal::GetCapturedStderr();
            o.out = ::testing::internal::GetCapturedStdout();
            EXPECT_EQ(fault_alloc_stats().live, 0) << "blocks left after the run";
        }
        o.file = file_bytes(out);
        return o;
    }

    // Both runs on the case; true when they agree in everything.
    bool agree(const case_t &c) {
        const std::vector<std::string> names = materialize(c);
        const outcome_t expected = run_with(reference_run, c, names);
        const outcome_t got = run_with(library_run, c, names);
        EXPECT_EQ(got.ok, expected.ok);
        EXPECT_EQ(got.err, expected.err);
        EXPECT_EQ(got.out, expected.out);
        EXPECT_TRUE(got.file == expected.file) << "output files differ";
        return got.ok == expected.ok && got.err == expected.err && got.out == expected.out &&
               got.file == expected.file;
    }

    std::filesystem::path dir_;
    rss_tuning_t tuning_ = RSS_TUNING_DEFAULT;
};

// Random cases: inputs, and whole cases of them.

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

} // namespace rss_diff
