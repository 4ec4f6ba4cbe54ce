// Fuzz target: a whole RSS run, run_on_console in process, over one to three inputs
// made from two fuzzed data files. Input layout:
//   byte 0   bit 0 verbose; bits 1-2 phase resolution setting (-1, 0, 1, 2);
//            bits 3-4 input list (A; A B; B A; A B A); bit 5 the output holds
//            stale bytes beforehand; bit 6 after a successful run, the
//            budget alone with coefficients from byte 1
//   byte 1   1..12: refuse that allocation of the run (counted from 1);
//            anything else: refuse none; two bits per input choose its
//            coefficient (1, 0, 0.5 or 3)
//   byte 2-3 length of file A (little-endian), then A, then file B
//
// Every run must either succeed with an output that check_run finds correct,
// or fail with the program's message and an empty output; a refused
// allocation must end it with ERR_NO_MEM. No input may change, and every
// block the run takes must come back.
#include "common/budget_oracle.h"
#include "common/capture.h"
#include "common/fault_alloc.h"
#include "common/run_check.h"
#include "fuzz/scratch.h"
#include "tool/tool.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Blocks beyond this are refused, so that a header cannot make the run ask
// the system for gigabytes; the run then takes its out-of-memory path.
constexpr std::size_t MAX_BLOCK = std::size_t{4} << 20;

// The checks after a run read each input whole, which needs more than a run
// that reads in pieces: room for the largest camera frame that is run.
constexpr std::size_t MAX_CHECK_BLOCK = std::size_t{64} << 20;

// Bytes filled at the head of each new block (AddressSanitizer's own fill):
// the run takes megabytes for its bands, and filling them all would slow the
// fuzzer down threefold.
constexpr std::size_t FILL_BYTES = 4096;

// Camera frames beyond this many pixels are not run: a run walks the whole
// frame, and the fuzzer learns more from many small runs than from a few
// huge ones (the frame's size limits are ordinary 16-bit values).
constexpr int64_t MAX_CAMERA_PIXELS = int64_t{1} << 16;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "run_fuzz: %s\n", what.c_str());
    std::abort();
}

std::string g_dir;

// Camera frame a file's header claims (the same offset in every format).
int64_t camera_pixels(const std::vector<uint8_t> &file) {
    if (file.size() < 238) {
        return 0;
    }
    const auto width = static_cast<int16_t>(file[234] << 8 | file[235]);
    const auto height = static_cast<int16_t>(file[236] << 8 | file[237]);
    return int64_t{width} * height;
}

// The budget of the run's inputs with coefficients, alone (nothing written),
// against the pixel-by-pixel budget; a problem, or "".
std::string check_budget(const run_record_t &run, uint8_t choice) {
    static constexpr double COEFFICIENTS[] = {1.0, 0.0, 0.5, 3.0};
    std::vector<const char *> names;
    std::vector<double> weights;
    for (std::size_t i = 0; i < run.inputs.size(); ++i) {
        names.push_back(run.inputs[i].c_str());
        weights.push_back(COEFFICIENTS[(choice >> (2 * i)) & 3]);
    }
    std::vector<rss_budget_row_t> rows(names.size());
    rss_budget_t budget{rows.data(), 0, 0, 0, nullptr};
    const rss_request_t request = {nullptr,
                                   run.phase_setting,
                                   false,
                                   names.data(),
                                   static_cast<int32_t>(names.size()),
                                   weights.data(),
                                   &budget};
    fault_alloc_install({.max_block = MAX_BLOCK, .fill = FILL_BYTES});
    const int32_t code = rss_compute(&request, nullptr);
    const fault_alloc_stats_t stats = fault_alloc_stats();
    fault_alloc_uninstall();
    if (stats.live != 0 || stats.refused != 0) {
        return "the budget run left blocks or was refused one";
    }
    if (code == ERR_FP_OVERFLOW || code == RSS_ERR_NO_VALID_RESULT) {
        return ""; // a coefficient of 3 may take a pixel out of range
    }
    if (code != 0) {
        return std::string("the budget run failed: ") + rss_error_name(code);
    }
    fault_alloc_install({.max_block = MAX_CHECK_BLOCK, .fill = FILL_BYTES});
    const oracle_budget_t want = oracle_budget(run.inputs, weights, run.phase_setting);
    fault_alloc_uninstall();
    auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fabs(b); };
    bool same = budget.valid == want.valid && near(budget.rms_nm, want.rms_nm) &&
                near(budget.max_nm, want.max_nm);
    for (std::size_t i = 0; same && i < rows.size(); ++i) {
        const oracle_budget_row_t &w = want.rows[i];
        same = rows[i].weight == w.weight && near(rows[i].rms_nm, w.rms_nm) &&
               near(rows[i].max_nm, w.max_nm) && near(rows[i].share, w.share) &&
               rows[i].dominant == w.dominant && rows[i].valid == w.valid;
    }
    return same ? "" : "the budget differs from the pixel-by-pixel budget";
}

bool is_no_mem_message(const run_record_t &run) {
    const std::string code = "Kelvorin\nERROR: ERR_NO_MEM\n";
    if (run.err == code) {
        return true;
    }
    for (const std::string &name : run.inputs) {
        if (run.err == "Kelvorin\nERROR: Error reading input file \"" + name + "\"\n" + code) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    if (g_dir.empty()) {
        g_dir = scratch_make_dir();
    }
    const uint8_t flags = data[0];
    const int64_t fail_at = data[1] >= 1 && data[1] <= 12 ? data[1] : 0;
    const std::size_t a_size = std::min<std::size_t>(data[2] | data[3] << 8, size - 4);
    const std::vector<uint8_t> a(data + 4, data + 4 + a_size);
    const std::vector<uint8_t> b(data + 4 + a_size, data + size);
    if (camera_pixels(a) > MAX_CAMERA_PIXELS || camera_pixels(b) > MAX_CAMERA_PIXELS) {
        return 0;
    }
    const std::string path_a = g_dir + "/a.dat";
    const std::string path_b = g_dir + "/b.dat";
    scratch_write(path_a, a);
    scratch_write(path_b, b);

    run_record_t run;
    switch ((flags >> 3) & 3) {
    case 0:
        run.inputs = {path_a};
        break;
    case 1:
        run.inputs = {path_a, path_b};
        break;
    case 2:
        run.inputs = {path_b, path_a};
        break;
    default:
        run.inputs = {path_a, path_b, path_a};
        break;
    }
    for (const std::string &name : run.inputs) {
        run.before.push_back(name == path_a ? a : b);
    }
    run.out_name = g_dir + "/out.dat";
    run.phase_setting = ((flags >> 1) & 3) - 1;
    run.verbose = (flags & 1) != 0;
    if (flags & 0x20) {
        const char stale[] = "stale output";
        scratch_write(run.out_name, std::vector<uint8_t>(stale, stale + sizeof stale));
    } else {
        std::error_code ignored;
        std::filesystem::remove(run.out_name, ignored);
    }

    tool_reset();
    g_settings = run_settings_t{run.out_name.c_str(), run.phase_setting, false, run.verbose};
    for (const std::string &name : run.inputs) {
        g_inputs.names[g_inputs.count++] = strdup(name.c_str());
    }

    console_capture_begin();
    fault_alloc_install({.fail_at = fail_at, .max_block = MAX_BLOCK, .fill = FILL_BYTES});
    run.ok = run_on_console();
    const fault_alloc_stats_t stats = fault_alloc_stats();
    fault_alloc_uninstall();
    const console_text_t text = console_capture_end();
    run.out = text.out;
    run.err = text.err;
    tool_reset();

    if (stats.live != 0 || stats.foreign_frees != 0) {
        fail(std::to_string(stats.live) + " blocks not returned by the run, " +
             std::to_string(stats.foreign_frees) + " freed without being handed out");
    }
    // The checks read each input whole, under a cap of their own.
    fault_alloc_install({.max_block = MAX_CHECK_BLOCK, .fill = FILL_BYTES});
    std::string problem;
    if (stats.refused != 0) {
        if (run.ok || !is_no_mem_message(run)) {
            fail("a refused allocation did not end the run with ERR_NO_MEM: " + run.err);
        }
        problem = check_run(run, {.confirm_cause = false, .writer_may_fail = true});
    } else {
        problem = check_run(run);
    }
    fault_alloc_uninstall();
    if (problem.empty() && run.ok && stats.refused == 0 && (flags & 0x40) != 0) {
        problem = check_budget(run, data[1]);
    }
    if (!problem.empty()) {
        fail(problem);
    }
    return 0;
}
