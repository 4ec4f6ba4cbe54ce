// Fuzz target: arbitrary command lines and list files through the whole
// entry, tool_main, in a scratch folder holding a few data files. Input: the
// first byte gives the number of arguments (low 5 bits); that many
// NUL-terminated arguments follow; the rest is the content of "list.txt".
//
// Every run must end with status 0 and a correct output, or with status 1 and
// either an error message, the usage text or the unanswered overwrite prompt.
// No file may change unless it is the output the command line names, and
// tool_reset must leave nothing behind (LeakSanitizer checks each input).
#include "common/capture.h"
#include "common/run_check.h"
#include "datafile/datafile.h"
#include "fuzz/scratch.h"
#include "support/platform_internal.h"
#include "tool/tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char *LIST_NAME = "list.txt";
constexpr const char *ERROR_PREFIX = "Kelvorin\nERROR: ";

// Messages of the entry itself: the command line was refused before any run.
constexpr const char *ENTRY_MESSAGES[] = {
    "Missing option name after prefix '/'\n",
    "Missing value after \"/",
    "Unknown PhaseRes value \"",
    "Unknown option \"/",
    "Missing list file name after prefix '@'\n",
    "More than 10000 input filenames\n",
    "Cannot access list file \"",
    "Empty list file \"",
    "No input files specified\n",
    "Cannot access input file \"",
    "No output file specified\n",
    "Output file \"",
};

// Names that begin with a UTF-16 byte-order mark are refused by the entry
// before the library's path rule could take them for 16-bit paths. Set to
// false to keep 0xFE bytes out of the arguments and list file.
constexpr bool KEEP_BYTE_ORDER_MARKS = true;

uint8_t mark_free(uint8_t c) {
    return !KEEP_BYTE_ORDER_MARKS && c == 0xFE ? 0xFD : c;
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "cmdline_fuzz: %s\n", what.c_str());
    std::abort();
}

struct scratch_t {
    std::string dir;
    std::filesystem::path home; // the directory to return to after each input
    std::map<std::string, std::vector<uint8_t>> fixtures; // files every input starts with
    std::string usage;
};

scratch_t g_scratch;

std::vector<uint8_t> data_file(int16_t width, int16_t height, int16_t phase_res, window_t window,
                               int32_t value, bool long_header) {
    df_hdr_t hdr{};
    hdr.TimeStamp = 1750000000;
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 632.8e-9f;
    hdr.ObliquityFactor = 1.0f;
    hdr.CameraRes = 5.5e-6f;
    hdr.PixelWidth = hdr.PixelHeight = 5.5e-6f;
    hdr.CameraWidth = width;
    hdr.CameraHeight = height;
    hdr.PhaseRes = phase_res;
    hdr.format_marker = long_header ? 3 : 0;
    std::vector<int32_t> values(static_cast<std::size_t>(window.width * window.height), value);
    for (std::size_t i = 0; i < values.size(); i += 5) {
        values[i] = -value; // negative counts count by their magnitude
    }
    const int_map_t phase{static_cast<uint32_t>(values.size()), window, values.data()};
    std::vector<uint8_t> bytes;
    if (scratch_df_bytes(nullptr, &hdr, nullptr, &phase, &bytes) != 0) {
        fail("cannot build a fixture");
    }
    return bytes;
}

// The scratch folder with its fixtures: two matching inputs, one with another
// camera size, one without valid data, one cut short, an earlier output and a
// directory. Standard input is an empty file, so that a prompt finds the
// end of its input at once.
void set_up() {
    const std::string base = scratch_make_dir();
    g_scratch.dir = base + "/runs";
    std::filesystem::create_directory(g_scratch.dir);
    g_scratch.home = std::filesystem::current_path();
    auto &fx = g_scratch.fixtures;
    fx["a.dat"] = data_file(16, 12, 1, {2, 1, 10, 8}, 3, false);
    fx["b.dat"] = data_file(16, 12, 2, {0, 0, 16, 12}, 4, true);
    fx["c.dat"] = data_file(20, 12, 1, {2, 1, 10, 8}, 3, false);
    fx["e.dat"] = data_file(16, 12, 1, {2, 1, 4, 4}, INT_MAP_INVALID, false);
    fx["t.dat"] = std::vector<uint8_t>(fx["a.dat"].begin(), fx["a.dat"].begin() + 900);
    fx["o.dat"] = data_file(16, 12, 0, {0, 0, 3, 3}, 7, false);
    for (const auto &[name, bytes] : fx) {
        scratch_write(g_scratch.dir + "/" + name, bytes);
    }
    std::filesystem::create_directory(g_scratch.dir + "/d");
    const std::string no_input = base + "/no_input";
    scratch_write(no_input, {});
    if (std::freopen(no_input.c_str(), "rb", stdin) == nullptr) {
        fail("cannot point standard input at an empty file");
    }
    std::atexit([] { std::fclose(stdin); }); // before the folder goes: an open file stays

    console_capture_begin();
    print_usage();
    g_scratch.usage = console_capture_end().out;
}

// Arguments of one input, each in a block of its own so that a read beyond
// its end is caught. Path separators become '_', which keeps every file the
// run may create inside the scratch folder (also for paths behind a
// byte-order mark, whose units hold the same bytes).
std::vector<char *> split_arguments(const uint8_t *data, std::size_t size, std::size_t *used) {
    std::vector<char *> args;
    const std::size_t count = size == 0 ? 0 : data[0] & 0x1F;
    std::size_t at = size == 0 ? 0 : 1;
    while (args.size() < count && at < size) {
        std::size_t end = at;
        while (end < size && data[end] != 0) {
            ++end;
        }
        char *arg = static_cast<char *>(std::malloc(end - at + 1));
        for (std::size_t i = at; i < end; ++i) {
            const char c = static_cast<char>(mark_free(data[i]));
            arg[i - at] = c == '/' || c == '\\' ? '_' : c;
        }
        arg[end - at] = '\0';
        args.push_back(arg);
        at = end + 1;
    }
    *used = std::min(at, size);
    return args;
}

bool starts_with(const std::string &text, const std::string &part) {
    return text.compare(0, part.size(), part) == 0;
}

bool ends_with(const std::string &text, const std::string &part) {
    return text.size() >= part.size() &&
           text.compare(text.size() - part.size(), part.size(), part) == 0;
}

bool behind_mark(const char *name) {
    const auto *b = reinterpret_cast<const unsigned char *>(name);
    return b[0] != 0 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
}

// Files in the scratch folder now, by name.
std::vector<std::string> scratch_entries() {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &e : std::filesystem::directory_iterator(".", ignored)) {
        names.push_back(e.path().filename().string());
    }
    return names;
}

// True when the output named on the command line is the file `name`.
bool is_output(const char *out_name, const std::string &name) {
    u_file_id_t out_id;
    u_file_id_t id;
    return out_name != nullptr && u_file_identity(out_name, &out_id) &&
           u_file_identity(name.c_str(), &id) && u_same_file_id(&out_id, &id);
}

// Checks what one run of the entry did; aborts on a broken promise.
void check(int status, const std::string &out, const std::string &err,
           const std::vector<uint8_t> &list) {
    if (status != 0 && status != 1) {
        fail("exit status " + std::to_string(status));
    }
    const bool entry_refused = status == 1 && (err.empty() || [&] {
                                   for (const char *m : ENTRY_MESSAGES) {
                                       if (starts_with(err, std::string(ERROR_PREFIX) + m)) {
                                           return true;
                                       }
                                   }
                                   return false;
                               }());
    if (!err.empty() && (!starts_with(err, ERROR_PREFIX) || !ends_with(err, "\n"))) {
        fail("message of the wrong form: " + err);
    }
    if (status == 1 && err.empty() && out != g_scratch.usage &&
        !(g_settings.out_name != nullptr &&
          out == std::string("Overwrite file \"") + g_settings.out_name + "\" (n) ? ")) {
        fail("status 1 with neither a message, the usage text nor the prompt: " + out);
    }

    // Files: the fixtures and the list stay as they were unless one of them
    // is the output a run was started for; nothing else appears unless a run
    // was started.
    std::map<std::string, std::vector<uint8_t>> expected = g_scratch.fixtures;
    expected[LIST_NAME] = list;
    for (const auto &[name, bytes] : expected) {
        if (read_file_bytes(name) != bytes &&
            (entry_refused || !is_output(g_settings.out_name, name))) {
            fail("\"" + name + "\" changed");
        }
    }
    for (const std::string &name : scratch_entries()) {
        if (name != "d" && expected.count(name) == 0 &&
            (entry_refused || !is_output(g_settings.out_name, name))) {
            fail("\"" + name + "\" appeared, and it is not the output");
        }
    }
    if (entry_refused) {
        return;
    }

    // A run was started: check it like any other run, when its names are
    // plain paths that the checks can open.
    run_record_t run;
    run.out_name = g_settings.out_name != nullptr ? g_settings.out_name : "";
    run.phase_setting = g_settings.phase_res;
    run.verbose = g_settings.verbose;
    run.ok = status == 0;
    run.err = err;
    run.out = out;
    if (run.ok && run.verbose) {
        if (!ends_with(out, "Done\n")) {
            fail("verbose success without Done: " + out);
        }
        run.out.resize(out.size() - 5);
    } else if (run.ok && !out.empty()) {
        fail("quiet success wrote to standard output: " + out);
    }
    if (behind_mark(run.out_name.c_str())) {
        return;
    }
    for (int32_t i = 0; i < g_inputs.count; ++i) {
        const char *name = g_inputs.names[i];
        const auto known = expected.find(name);
        if (behind_mark(name) || known == expected.end()) {
            return;
        }
        run.inputs.push_back(name);
        run.before.push_back(known->second);
    }
    if (std::string problem = check_run(run); !problem.empty()) {
        fail(problem);
    }
}

// Leaves the scratch folder as set_up made it.
void restore_scratch() {
    for (const std::string &name : scratch_entries()) {
        const auto fixture = g_scratch.fixtures.find(name);
        if (name == "d") {
            continue;
        }
        if (fixture == g_scratch.fixtures.end()) {
            std::error_code ignored;
            std::filesystem::remove_all(name, ignored);
        } else if (read_file_bytes(name) != fixture->second) {
            scratch_write(name, fixture->second);
        }
    }
    for (const auto &[name, bytes] : g_scratch.fixtures) {
        std::error_code ignored;
        if (!std::filesystem::exists(name, ignored)) {
            scratch_write(name, bytes);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (g_scratch.dir.empty()) {
        set_up();
    }
    std::filesystem::current_path(g_scratch.dir);
    std::size_t used = 0;
    std::vector<char *> args = split_arguments(data, size, &used);
    std::vector<uint8_t> list(data + used, data + size);
    for (uint8_t &c : list) {
        c = mark_free(c);
    }
    scratch_write(LIST_NAME, list);

    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("kelvorin"));
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(nullptr);

    std::clearerr(stdin);
    console_capture_begin();
    const int status = tool_main(static_cast<int>(argv.size() - 1), argv.data());
    const console_text_t text = console_capture_end();

    check(status, text.out, text.err, list);
    tool_reset();
    for (char *arg : args) {
        std::free(arg);
    }
    restore_scratch();
    std::filesystem::current_path(g_scratch.home);
    return 0;
}
