// Fuzz target: a whole RSS run, rss_run in process, over one to three inputs
// made from two fuzzed data files. Input layout:
//   byte 0   bit 0 verbose; bits 1-2 phase resolution setting (-1, 0, 1, 2);
//            bits 3-4 input list (A; A B; B A; A B A); bit 5 the output holds
//            stale bytes beforehand
//   byte 1   1..12: refuse that allocation of the run (counted from 1);
//            anything else: refuse none
//   byte 2-3 length of file A (little-endian), then A, then file B
//
// Every run must either succeed with an output that check_run finds correct,
// or fail with the program's message and an empty output; a refused
// allocation must end it with ERR_NO_MEM. No input may change, and every
// block the run takes must come back.
#include "common/run_check.h"
#include "support/support.h"
#include "tool/tool.h"

#include <unistd.h>

#include <atomic>
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

// Camera frames beyond this many pixels are not run: a run walks the whole
// frame, and the fuzzer learns more from many small runs than from a few
// huge ones (the frame's size limits are ordinary 16-bit values).
constexpr int64_t MAX_CAMERA_PIXELS = int64_t{1} << 16;

// Allocator of the runs: capped, counting, refusing one chosen allocation.
// Counters are atomic in case a run allocates on more than one thread.
std::atomic<int64_t> g_calls{0};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_fail_at{0};
std::atomic<bool> g_refused{false};
std::atomic<std::size_t> g_cap{MAX_BLOCK};

bool refuse(std::size_t n) {
    const int64_t call = ++g_calls;
    if (call == g_fail_at.load()) {
        g_refused = true;
        return true;
    }
    return n > g_cap.load();
}

void *run_malloc(std::size_t n) {
    void *p = refuse(n) ? nullptr : std::malloc(n == 0 ? 1 : n);
    g_live += p != nullptr;
    return p;
}

void *run_calloc(std::size_t count, std::size_t size) {
    const bool too_big = size != 0 && count > SIZE_MAX / size;
    void *p = refuse(too_big ? SIZE_MAX : count * size)
                  ? nullptr
                  : std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    g_live += p != nullptr;
    return p;
}

void *run_realloc(void *block, std::size_t n) {
    if (refuse(n)) {
        return nullptr;
    }
    void *p = std::realloc(block, n == 0 ? 1 : n);
    g_live += p != nullptr && block == nullptr;
    return p;
}

void run_free(void *block) {
    g_live -= block != nullptr;
    std::free(block);
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "run_fuzz: %s\n", what.c_str());
    std::abort();
}

std::string g_dir;

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
}

void write_file(const std::string &path, const uint8_t *bytes, std::size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes, 1, size, f) != size || std::fclose(f) != 0) {
        fail("cannot write " + path);
    }
}

// Camera frame a file's header claims (the same offset in every format).
int64_t camera_pixels(const std::vector<uint8_t> &file) {
    if (file.size() < 238) {
        return 0;
    }
    const auto width = static_cast<int16_t>(file[234] << 8 | file[235]);
    const auto height = static_cast<int16_t>(file[236] << 8 | file[237]);
    return int64_t{width} * height;
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
        char templ[] = "/tmp/kelvorin_run_XXXXXX";
        if (mkdtemp(templ) == nullptr) {
            fail("mkdtemp");
        }
        g_dir = templ;
        std::atexit(remove_scratch);
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
    write_file(path_a, a.data(), a.size());
    write_file(path_b, b.data(), b.size());

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
        write_file(run.out_name, reinterpret_cast<const uint8_t *>(stale), sizeof stale);
    } else {
        unlink(run.out_name.c_str());
    }

    tool_reset();
    g_settings = run_settings_t{run.out_name.c_str(), run.phase_setting, false, run.verbose};
    for (const std::string &name : run.inputs) {
        g_inputs.names[g_inputs.count++] = strdup(name.c_str());
    }

    u_malloc_fn = run_malloc;
    u_calloc_fn = run_calloc;
    u_realloc_fn = run_realloc;
    u_free_fn = run_free;
    g_calls = 0;
    g_live = 0;
    g_refused = false;
    g_fail_at = fail_at;
    g_cap = MAX_BLOCK;

    char *out_buf = nullptr;
    char *err_buf = nullptr;
    std::size_t out_len = 0;
    std::size_t err_len = 0;
    std::FILE *saved_out = stdout;
    std::FILE *saved_err = stderr;
    stdout = open_memstream(&out_buf, &out_len);
    stderr = open_memstream(&err_buf, &err_len);
    run.ok = rss_run();
    std::fclose(stdout);
    std::fclose(stderr);
    stdout = saved_out;
    stderr = saved_err;
    g_fail_at = 0;
    g_cap = MAX_CHECK_BLOCK;
    run.out.assign(out_buf, out_len);
    run.err.assign(err_buf, err_len);
    std::free(out_buf);
    std::free(err_buf);
    tool_reset();

    if (g_live != 0) {
        fail(std::to_string(g_live.load()) + " blocks not returned by the run");
    }
    if (g_refused) {
        if (run.ok || !is_no_mem_message(run)) {
            fail("a refused allocation did not end the run with ERR_NO_MEM: " + run.err);
        }
        if (std::string problem = check_run(run, {.confirm_cause = false, .writer_may_fail = true});
            !problem.empty()) {
            fail(problem);
        }
    } else if (std::string problem = check_run(run); !problem.empty()) {
        fail(problem);
    }
    return 0;
}
