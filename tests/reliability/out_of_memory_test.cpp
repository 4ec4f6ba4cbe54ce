// Out of memory at every allocation of a whole run: each refusal must end the
// run with ERR_NO_MEM, release every block it took and leave no usable output.
#include "reliability_fixture.h"

namespace {

class OutOfMemory : public ReliabilityTest {};

// The message of a run whose allocation was refused: the code alone, or after
// the line about the input being read.
bool is_no_mem_message(const std::string &err, const std::vector<std::string> &inputs) {
    if (err == error_text("ERR_NO_MEM")) {
        return true;
    }
    for (const std::string &name : inputs) {
        if (err == read_error_text(name, "ERR_NO_MEM")) {
            return true;
        }
    }
    return false;
}

TEST_F(OutOfMemory, EveryRefusedAllocationEndsTheRunCleanly) {
    make_standard_inputs();
    const std::vector<std::string> inputs = {"a.dat", "b.dat", "c.dat"};
    struct mode_t {
        bool verbose;
        bool keep_failing; // memory stays exhausted after the first refusal
        int32_t phase_setting;
    };
    const mode_t modes[] = {
        {false, false, -1}, {true, false, -1}, {false, true, 0}, {true, true, 2}};
    int64_t runs = 0;
    int64_t partial_outputs = 0;
    for (const mode_t &m : modes) {
        for (int64_t k = 1;; ++k) {
            SCOPED_TRACE(::testing::Message() << "verbose " << m.verbose << ", keep failing "
                                              << m.keep_failing << ", allocation " << k);
            const run_record_t r = run(inputs, m.phase_setting, m.verbose, k, m.keep_failing);
            ++runs;
            if (stats_.allocations < k) {
                // Nothing was refused: the run must have succeeded.
                EXPECT_TRUE(r.ok) << r.err;
                EXPECT_EQ(check_run(r), "");
                break;
            }
            EXPECT_FALSE(r.ok);
            EXPECT_TRUE(is_no_mem_message(r.err, r.inputs)) << r.err;
            EXPECT_EQ(check_run(r, {.confirm_cause = false, .writer_may_fail = true}), "");
            partial_outputs += !read_file_bytes(out_).empty();
            ASSERT_LT(k, 10000) << "the run never stops allocating";
        }
    }
    report_faults("refused allocations", runs, static_cast<int64_t>(std::size(modes)));
    std::printf("[  FAULTS  ] of these, %lld left a partial output file (writer failed)\n",
                static_cast<long long>(partial_outputs));
}

// A path behind a UTF-16 byte-order mark: its name as the messages show it
// (the bytes up to the first zero byte).
struct wide_path_t {
    std::string bytes; // mark, UTF-16 units in machine order, terminating zero unit
    std::string shown;
};

wide_path_t wide_path(const std::filesystem::path &p) {
    wide_path_t w;
    const uint16_t mark = 0xFEFF;
    w.bytes.append(reinterpret_cast<const char *>(&mark), 2);
    for (const char16_t unit : p.u16string()) {
        const auto u = static_cast<uint16_t>(unit);
        w.bytes.append(reinterpret_cast<const char *>(&u), 2);
    }
    w.bytes.append(2, '\0');
    w.shown = w.bytes.substr(0, w.bytes.find('\0'));
    return w;
}

// With paths behind a byte-order mark the platform layer converts each path
// in a block from the hooks before opening it; a refusal there surfaces as the
// file not opening, which a run may also get over by opening it again later.
// Each run must fail cleanly or give the very output of an undisturbed run,
// and free everything.
TEST_F(OutOfMemory, RefusedPathConversionFailsCleanly) {
    make_standard_inputs();
    const wide_path_t in_a = wide_path(dir_ / "a.dat");
    const wide_path_t in_b = wide_path(dir_ / "b.dat");
    const wide_path_t out = wide_path(dir_ / "wide_out.dat");
    const std::vector<uint8_t> a_before = read_file_bytes(path("a.dat"));
    const std::vector<uint8_t> b_before = read_file_bytes(path("b.dat"));
    const std::vector<std::string> accepted = {
        error_text("ERR_NO_MEM"),
        read_error_text(in_a.shown, "ERR_NO_MEM"),
        read_error_text(in_b.shown, "ERR_NO_MEM"),
        read_error_text(in_a.shown, "ERR_CANT_OPEN_FILE"),
        read_error_text(in_b.shown, "ERR_CANT_OPEN_FILE"),
        error_text("Cannot create output file \"" + out.shown + "\""),
        error_text("ERR_CANT_CREATE_FILE"),
    };
    int64_t runs = 0;
    int64_t misnamed = 0;
    int64_t succeeded = 0;
    std::vector<uint8_t> reference;
    for (int64_t k = 0;; ++k) {
        SCOPED_TRACE(k);
        std::filesystem::remove(path("wide_out.dat"));
        tool_reset();
        g_settings = run_settings_t{out.bytes.data(), -1, false, false};
        for (const wide_path_t *w : {&in_a, &in_b}) {
            auto *copy = static_cast<char *>(std::malloc(w->bytes.size()));
            std::memcpy(copy, w->bytes.data(), w->bytes.size());
            g_inputs.names[g_inputs.count++] = copy;
        }
        console_capture_begin();
        bool ok;
        {
            fault_alloc_scope faults(k);
            ok = run_on_console();
            stats_ = fault_alloc_stats();
        }
        const console_text_t text = console_capture_end();
        tool_reset();
        EXPECT_EQ(stats_.live, 0);
        EXPECT_EQ(read_file_bytes(path("a.dat")), a_before);
        EXPECT_EQ(read_file_bytes(path("b.dat")), b_before);
        const std::vector<uint8_t> output = read_file_bytes(path("wide_out.dat"));
        if (k == 0) {
            ASSERT_TRUE(ok) << text.err;
            reference = output;
            ASSERT_FALSE(reference.empty());
            continue;
        }
        ++runs;
        if (ok) {
            ++succeeded;
            EXPECT_EQ(output, reference);
        } else {
            EXPECT_NE(std::find(accepted.begin(), accepted.end(), text.err), accepted.end())
                << text.err;
            // Only a writer that ran out of memory leaves part of a file.
            EXPECT_TRUE(output.empty() || text.err == error_text("ERR_NO_MEM"));
            misnamed += text.err.find("ERR_NO_MEM") == std::string::npos;
        }
        if (stats_.allocations < k) {
            EXPECT_TRUE(ok) << text.err;
            break;
        }
        ASSERT_LT(k, 10000);
    }
    report_faults("refused allocations, wide paths", runs, succeeded);
    std::printf("[  FAULTS  ] of these, %lld were reported as an open failure\n",
                static_cast<long long>(misnamed));
}

} // namespace
