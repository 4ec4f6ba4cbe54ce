// Checks of a failed run: its message must take one of the program's forms,
// the cause it states must be real, and the output file must be left empty.
#include "common/run_check_detail.h"

#include <cstring>

namespace run_check_detail {
namespace {

struct failure_t {
    std::string kind;   // the message after "ERROR: " up to the file name, or the code
    std::string name;   // the input concerned, when there is one
    std::string code;   // the code named on the last line, when there is one
    std::string detail; // the attribute check's message
};

// Matches `err` at `at` against the forms that name input `name`.
bool match_named(const std::string &err, std::size_t at, const std::string &name, failure_t *f) {
    static const char *const own_tails[] = {
        "\" contains no height data\n",
        "\" contains no valid data points\n",
        "\" has mismatched CameraWidth or CameraHeight\n",
        "\" has mismatched CameraRes\n",
    };
    static const char *const check_messages[] = {
        "Camera width or height less than or equal to zero.",
        "Lateral resolution is less than zero.",
        "Unequal camera pixel width and height.",
        "Interferometric scale factor less than or equal to zero.",
        "Wavelength-in less than or equal to zero.",
        "Obliquity factor less than or equal to zero.",
        "Camera width or height inconsistent with data.",
    };
    static const char *const check_codes[] = {"ERR_IMPROPER_WINDOW", "ERR_INVALID_PARAM",
                                              "ERR_PARAM_OUT_OF_RANGE"};
    f->name = name;
    const std::string input_file = "Input file \"";
    if (starts_with(err, at, input_file + name)) {
        const std::size_t tail_at = at + input_file.size() + name.size();
        for (const char *tail : own_tails) {
            if (err.compare(tail_at, std::string::npos, tail) == 0) {
                f->kind = tail;
                return true;
            }
        }
        return false;
    }
    // The forms that end with a second message naming the code.
    const std::string reading = "Error reading input file \"" + name + "\"\n";
    const std::string attr = "Invalid attribute information in input file \"" + name + "\"\n";
    std::size_t code_at = std::string::npos;
    if (starts_with(err, at, reading)) {
        f->kind = "read";
        code_at = at + reading.size();
    } else if (starts_with(err, at, attr)) {
        f->kind = "attr";
        const std::size_t msg_at = at + attr.size();
        const std::size_t end = err.find('\n', msg_at);
        if (end == std::string::npos) {
            return false;
        }
        f->detail = err.substr(msg_at, end - msg_at);
        if (!one_of(f->detail, check_messages)) {
            return false;
        }
        code_at = end + 1;
    } else {
        return false;
    }
    if (!starts_with(err, code_at, PREFIX) || err.back() != '\n') {
        return false;
    }
    const std::size_t name_at = code_at + std::strlen(PREFIX);
    f->code = err.substr(name_at, err.size() - 1 - name_at);
    return f->kind == "read" ? one_of(f->code, READ_CODES) : one_of(f->code, check_codes);
}

// The input named by the message is confirmed to have the stated fault.
std::string confirm_cause(const run_record_t &run, const failure_t &f) {
    if (f.name.empty()) {
        return {};
    }
    const std::unique_ptr<loaded_t> file = load(f.name);
    // Reading the file whole may need memory that the run did not (it may
    // read in pieces); then nothing can be confirmed.
    if (file->code == ERR_NO_MEM) {
        return {};
    }
    if (f.kind == "read") {
        return file->code != 0 &&
                       (std::string(u_error_name(file->code)) == f.code || f.code == "ERR_NO_MEM")
                   ? std::string()
                   : "reading \"" + f.name + "\" again gives " + u_error_name(file->code) +
                         ", the run said " + f.code;
    }
    if (file->code != 0) {
        return "\"" + f.name + "\" cannot be read, the run said " + f.kind;
    }
    if (f.kind == "attr") {
        char msg[DF_CHECK_MSG_SIZE] = "";
        df_hdr_t hdr = file->hdr;
        const int32_t code = df_check_attr(&hdr, nullptr, &file->map, true, msg);
        return code != 0 && f.detail == msg && f.code == u_error_name(code)
                   ? std::string()
                   : "the attribute check of \"" + f.name + "\" does not give " + f.detail;
    }
    if (f.kind == "\" contains no height data\n") {
        return file->map.matrix == nullptr ? std::string() : "\"" + f.name + "\" has height data";
    }
    if (f.kind == "\" contains no valid data points\n") {
        return any_valid(file->map) ? "\"" + f.name + "\" has valid data" : std::string();
    }
    const std::unique_ptr<loaded_t> first = load(run.inputs[0]);
    if (first->code == ERR_NO_MEM) {
        return {};
    }
    if (first->code != 0) {
        return "the first input cannot be read, yet \"" + f.name + "\" was compared with it";
    }
    if (f.kind == "\" has mismatched CameraWidth or CameraHeight\n") {
        return file->hdr.CameraWidth != first->hdr.CameraWidth ||
                       file->hdr.CameraHeight != first->hdr.CameraHeight
                   ? std::string()
                   : "\"" + f.name + "\" has the first input's camera size";
    }
    return file->hdr.CameraRes == first->hdr.CameraRes
               ? "\"" + f.name + "\" has the first input's CameraRes"
               : std::string();
}

// A result without valid pixels: every input is usable, and no camera pixel
// has a valid RSS.
std::string confirm_empty_result(const run_record_t &run) {
    const std::vector<std::unique_ptr<loaded_t>> in = load_all(run);
    if (std::string problem = check_inputs_usable(run, in); !problem.empty()) {
        return "the result was reported empty, but " + problem;
    }
    std::vector<const loaded_t *> maps;
    for (const auto &f : in) {
        maps.push_back(f.get());
    }
    const expected_t e = expected_result(maps, run.phase_setting);
    return std::find(e.kind.begin(), e.kind.end(), EXPECT_VALID) == e.kind.end()
               ? std::string()
               : "the result was reported empty, but it has valid pixels";
}

// A window fault of the run: some input's phase window starts left of or
// above the camera frame (the attribute check catches the other edges).
std::string confirm_window_fault(const run_record_t &run) {
    for (const auto &f : load_all(run)) {
        if (f->code == 0 && f->map.matrix != nullptr &&
            (f->map.window.x < 0 || f->map.window.y < 0)) {
            return {};
        }
    }
    return "ERR_IMPROPER_WINDOW, but every input window starts inside the camera frame";
}

// Parses the message of a failed run; empty when it has a known form and (if
// asked) its cause is confirmed.
std::string check_failure_message(const run_record_t &run, const run_check_options_t &options,
                                  failure_t *found) {
    const std::string &err = run.err;
    if (!starts_with(err, 0, PREFIX) || err.back() != '\n') {
        return "failure message has the wrong form: \"" + err + "\"";
    }
    const std::size_t at = std::strlen(PREFIX);
    std::string problem = "unknown failure message: \"" + err + "\"";
    for (const std::string &name : run.inputs) {
        failure_t f;
        if (match_named(err, at, name, &f)) {
            problem = options.confirm_cause ? confirm_cause(run, f) : std::string();
            if (problem.empty()) {
                *found = f;
                return {};
            }
        }
    }
    const std::string rest = err.substr(at, err.size() - 1 - at);
    if (rest == "Cannot create output file \"" + run.out_name + "\"") {
        found->kind = "create";
        return {};
    }
    if (rest == "RSS result map contains no valid data points") {
        found->kind = rest;
        return options.confirm_cause ? confirm_empty_result(run) : std::string();
    }
    if (one_of(rest, RUN_CODES)) {
        found->kind = "code";
        found->code = rest;
        return options.confirm_cause && rest == "ERR_IMPROPER_WINDOW" ? confirm_window_fault(run)
                                                                      : std::string();
    }
    return problem;
}

} // namespace

std::string check_failure(const run_record_t &run, const run_check_options_t &options) {
    // The line of a written result, not merely its words: the names shown
    // above it may hold them too.
    const std::string wrote = "\nWrote \"" + run.out_name + "\"\n";
    if (run.verbose ? run.out.find(wrote) != std::string::npos : !run.out.empty()) {
        return "standard output of a failed run is wrong: " + run.out;
    }
    if (run.err.empty()) {
        return "a failed run wrote no message";
    }
    failure_t f;
    if (std::string problem = check_failure_message(run, options, &f); !problem.empty()) {
        return problem;
    }
    const std::vector<uint8_t> out = read_file_bytes(run.out_name);
    if (out.empty() || f.kind == "create") { // an output that cannot be created is not touched
        return {};
    }
    const bool writer_code = f.code == "ERR_NO_MEM" || f.code == "ERR_CANT_WRITE_FILE";
    if (options.writer_may_fail && f.kind == "code" && writer_code) {
        return load(run.out_name)->code != 0 ? std::string()
                                             : "a failed run left an output that reads back";
    }
    return text("a failed run left %ld bytes in the output file", static_cast<long>(out.size()));
}

} // namespace run_check_detail
