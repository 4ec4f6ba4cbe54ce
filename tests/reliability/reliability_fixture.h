// Fixture of the reliability tests: a scratch folder with input files, and
// in-process runs of run_on_console, optionally under the fault-injecting allocator,
// whose every outcome goes through check_run.
#pragma once

#include "common/capture.h"
#include "common/df_builder.h"
#include "common/fault_alloc.h"
#include "common/process.h"
#include "common/run_check.h"
#include "tool/tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// Sweeps over every byte run whole in the plain native build. Under the
// sanitizers, which make each run many times slower, and on Windows, where
// the tests usually run under an emulator with slow file operations, they
// take every fourth byte.
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
constexpr int SWEEP_STRIDE = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int SWEEP_STRIDE = 4;
#else
constexpr int SWEEP_STRIDE = 1;
#endif
#else
constexpr int SWEEP_STRIDE = 1;
#endif

constexpr int32_t INVALID_PIXEL = 0x7FFFFFF8;

// An error message as the program writes it.
inline std::string error_text(const std::string &message) {
    return "Kelvorin\nERROR: " + message + "\n";
}

// The two messages of a failed read.
inline std::string read_error_text(const std::string &name, const std::string &code) {
    return error_text("Error reading input file \"" + name + "\"") + error_text(code);
}

// Phase values with negatives, large magnitudes and scattered invalid pixels.
inline test_phase_t patterned_phase(window_t window, int32_t seed) {
    test_phase_t phase{window, {}};
    for (int32_t y = 0; y < window.height; ++y) {
        for (int32_t x = 0; x < window.width; ++x) {
            const int32_t v = ((x + 3) * 7919 + (y + 5) * 104729 + seed * 31) % 200001 - 100000;
            phase.values.push_back((x + y + seed) % 7 == 0 ? INVALID_PIXEL : v);
        }
    }
    return phase;
}

class ReliabilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tool_reset();
        dir_ = make_temp_dir();
        out_ = path("out.dat");
    }

    void TearDown() override {
        tool_reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    void make_input(const std::string &name, const df_hdr_t &hdr, const test_phase_t &phase,
                    bool with_intensity = false) {
        ASSERT_EQ(write_test_file(path(name), hdr, &phase, with_intensity), 0) << name;
    }

    void write_bytes(const std::string &name, const std::vector<uint8_t> &bytes) {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

    // Three inputs that differ in header format, blocks, phase resolution,
    // obliquity and window: a.dat (format 1, High, with an intensity block),
    // b.dat (format 3, Super), c.dat (format 2, Super, obliquity 0.5).
    void make_standard_inputs() {
        df_hdr_t a = test_header(16, 12, 1);
        make_input("a.dat", a, patterned_phase({2, 1, 10, 8}, 1), true);
        df_hdr_t b = test_header(16, 12, 2);
        b.format_marker = 3;
        b.TimeStamp = 1760000000;
        make_input("b.dat", b, patterned_phase({3, 2, 9, 7}, 2));
        df_hdr_t c = test_header(16, 12, 2);
        c.ObliquityFactor = 0.5f;
        make_input("c.dat", c, patterned_phase({0, 3, 16, 6}, 3));
    }

    // Runs run_on_console in this process over the inputs (names in the scratch
    // folder) with the output out_, which holds stale bytes beforehand. With
    // fail_at > 0 the run's allocations go through the fault allocator.
    run_record_t run(const std::vector<std::string> &inputs, int32_t phase_setting = -1,
                     bool verbose = false, int64_t fail_at = 0, bool keep_failing = false) {
        run_record_t r;
        for (const std::string &name : inputs) {
            r.inputs.push_back(path(name));
            r.before.push_back(read_file_bytes(r.inputs.back()));
        }
        r.out_name = out_;
        r.phase_setting = phase_setting;
        r.verbose = verbose;
        std::ofstream(out_, std::ios::binary) << "stale output";

        tool_reset();
        g_settings = run_settings_t{out_.c_str(), phase_setting, false, verbose};
        for (const std::string &name : r.inputs) {
            g_inputs.names[g_inputs.count++] = strdup(name.c_str());
        }
        console_capture_begin();
        {
            fault_alloc_scope faults(fail_at, keep_failing);
            r.ok = run_on_console();
            stats_ = fault_alloc_stats();
        }
        const console_text_t text = console_capture_end();
        tool_reset();
        r.out = text.out;
        r.err = text.err;
        EXPECT_EQ(stats_.live, 0) << "blocks left after the run";
        EXPECT_EQ(stats_.foreign_frees, 0) << "blocks freed that the hooks never gave";
        return r;
    }

    // Prints how many faults of one kind a test injected, for the record.
    static void report_faults(const char *kind, int64_t runs, int64_t succeeded) {
        std::printf("[  FAULTS  ] %s: %lld runs, %lld succeeded, %lld failed cleanly\n", kind,
                    static_cast<long long>(runs), static_cast<long long>(succeeded),
                    static_cast<long long>(runs - succeeded));
    }

    std::filesystem::path dir_;
    std::string out_;
    fault_alloc_stats_t stats_{};
};
