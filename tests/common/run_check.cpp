#include "common/run_check.h"

#include "datafile/datafile.h"
#include "tool/rss_units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

constexpr const char *PREFIX = "Kelvorin\nERROR: ";

// Largest RSS value the result keeps; within ROUNDING_BAND of the cut-off
// either outcome is accepted.
constexpr double RESULT_LIMIT = 67108863.0;
constexpr double ROUNDING_BAND = 2.0;

// Codes a failed read may end with.
constexpr const char *READ_CODES[] = {
    "ERR_CANT_OPEN_FILE",        "ERR_PREMATURE_EOF",      "ERR_NOT_A_DATA_FILE",
    "ERR_DATASET_DIM_TOO_LARGE", "ERR_PARAM_OUT_OF_RANGE", "ERR_NO_MEM",
    "ERR_CORRUPT_DATA_FILE",
};

// Codes a run names without a message of its own: map allocation, placing an
// input outside the camera frame, overflow of the arithmetic, the writer.
constexpr const char *RUN_CODES[] = {
    "ERR_NO_MEM",           "ERR_IMPROPER_WINDOW", "ERR_FP_OVERFLOW",
    "ERR_CANT_CREATE_FILE", "ERR_CANT_WRITE_FILE",
};

template <std::size_t N> bool one_of(const std::string &text, const char *const (&set)[N]) {
    return std::find(std::begin(set), std::end(set), text) != std::end(set);
}

bool starts_with(const std::string &text, std::size_t at, const std::string &part) {
    return text.compare(at, part.size(), part) == 0;
}

// A data file as the reader delivers it; the map is released with the record.
struct loaded_t {
    int32_t code = 0;
    df_hdr_t hdr{};
    int_map_t map{};
    loaded_t() = default;
    loaded_t(const loaded_t &) = delete;
    loaded_t &operator=(const loaded_t &) = delete;
    ~loaded_t() { int_map_free(&map); }
};

std::unique_ptr<loaded_t> load(const std::string &name) {
    auto file = std::make_unique<loaded_t>();
    df_info_t info;
    file->code = df_read(name.c_str(), &info, &file->hdr, nullptr, &file->map);
    return file;
}

std::vector<std::unique_ptr<loaded_t>> load_all(const run_record_t &run) {
    std::vector<std::unique_ptr<loaded_t>> in;
    for (const std::string &name : run.inputs) {
        in.push_back(load(name));
    }
    return in;
}

// Value at camera position (x, y), INT_MAP_INVALID outside the map's window.
int32_t pixel(const int_map_t &map, int32_t x, int32_t y) {
    const window_t &w = map.window;
    if (map.matrix == nullptr || x < w.x || y < w.y || x >= w.x + w.width || y >= w.y + w.height) {
        return INT_MAP_INVALID;
    }
    return map.matrix[(y - w.y) * w.width + (x - w.x)];
}

bool any_valid(const int_map_t &map) {
    const uint32_t n = static_cast<uint32_t>(map.window.width * map.window.height);
    return map.matrix != nullptr &&
           std::any_of(map.matrix, map.matrix + n, [](int32_t v) { return v < INT_MAP_INVALID; });
}

// printf into a string; the arguments are all passed as long.
std::string text(const char *format, long a = 0, long b = 0, long c = 0, long d = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c, d);
    return buf;
}

// ---------------------------------------------------------------------------
// The result the inputs call for, worked out independently of the run: each
// camera pixel valid in every input holds the root of the sum of the squares
// of its values in output units.

enum expect_t : uint8_t { EXPECT_INVALID, EXPECT_VALID, EXPECT_EITHER };

struct expected_t {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<expect_t> kind;
    std::vector<double> rss;
};

expected_t expected_result(const std::vector<const loaded_t *> &in, int32_t phase_setting) {
    const df_hdr_t &first = in[0]->hdr;
    const int32_t out_res = phase_setting != -1 ? phase_setting : first.PhaseRes;
    const rss_frame_t frame = {
        first.CameraWidth, first.CameraHeight,    first.PixelWidth,   first.PixelHeight,
        first.CameraRes,   first.IntfScaleFactor, first.WavelengthIn, out_res};
    std::vector<double> factor;
    for (const loaded_t *f : in) {
        const df_hdr_t &h = f->hdr;
        const double k = unit_factor(frame, rss_input_units_t{h.IntfScaleFactor, h.ObliquityFactor,
                                                              h.WavelengthIn, h.PhaseRes});
        factor.push_back(unit_factor_applies(k) ? k
                                                : 1.0); // a NaN factor makes every pixel invalid
    }
    expected_t e;
    e.width = first.CameraWidth;
    e.height = first.CameraHeight;
    const std::size_t n = static_cast<std::size_t>(e.width) * static_cast<std::size_t>(e.height);
    e.kind.assign(n, EXPECT_INVALID);
    e.rss.assign(n, 0.0);
    for (int32_t y = 0; y < e.height; ++y) {
        for (int32_t x = 0; x < e.width; ++x) {
            double sum = 0.0;
            bool valid = true;
            for (std::size_t i = 0; valid && i < in.size(); ++i) {
                const int32_t v = pixel(in[i]->map, x, y);
                const double t = static_cast<double>(v) * factor[i];
                valid = v < INT_MAP_INVALID && !std::isnan(t);
                sum += t * t;
            }
            if (!valid) {
                continue;
            }
            const double r = sum > 0.0 ? std::sqrt(sum) : 0.0;
            const std::size_t at = static_cast<std::size_t>(y) * e.width + x;
            e.rss[at] = r;
            e.kind[at] = r <= RESULT_LIMIT - ROUNDING_BAND  ? EXPECT_VALID
                         : r > RESULT_LIMIT + ROUNDING_BAND ? EXPECT_INVALID
                                                            : EXPECT_EITHER;
        }
    }
    return e;
}

// ---------------------------------------------------------------------------

std::string check_inputs_unchanged(const run_record_t &run) {
    for (std::size_t i = 0; i < run.inputs.size() && i < run.before.size(); ++i) {
        if (read_file_bytes(run.inputs[i]) != run.before[i]) {
            return "input \"" + run.inputs[i] + "\" changed";
        }
    }
    return {};
}

// Every input must have been usable for the run to succeed.
std::string check_inputs_usable(const run_record_t &run,
                                const std::vector<std::unique_ptr<loaded_t>> &in) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const loaded_t &f = *in[i];
        const std::string name = "input \"" + run.inputs[i] + "\"";
        if (f.code != 0) {
            return name + " cannot be read, yet the run succeeded";
        }
        df_hdr_t hdr = f.hdr;
        char msg[DF_CHECK_MSG_SIZE];
        if (df_check_attr(&hdr, nullptr, &f.map, true, msg) != 0) {
            return name + " fails the attribute check (" + msg + "), yet the run succeeded";
        }
        if (!any_valid(f.map)) {
            return name + " holds no valid data, yet the run succeeded";
        }
        const df_hdr_t &first = in[0]->hdr;
        if (f.hdr.CameraWidth != first.CameraWidth || f.hdr.CameraHeight != first.CameraHeight ||
            !(f.hdr.CameraRes == first.CameraRes)) {
            return name + " has another camera frame, yet the run succeeded";
        }
    }
    return {};
}

// The attribute record the output must carry: a few fields from the inputs,
// everything else zero.
df_hdr_t expected_record(const run_record_t &run,
                         const std::vector<std::unique_ptr<loaded_t>> &in) {
    const df_hdr_t &first = in[0]->hdr;
    df_hdr_t want;
    std::memset(&want, 0, sizeof want);
    int64_t latest = 0;
    for (const auto &f : in) {
        latest = std::max<int64_t>(latest, f->hdr.TimeStamp);
    }
    want.TimeStamp = static_cast<int32_t>(latest);
    std::snprintf(want.comment, sizeof want.comment,
                  "RSS result map computed from %d input data files",
                  static_cast<int>(run.inputs.size()));
    // Copied as bytes so that NaN payloads compare exactly.
    std::memcpy(&want.IntfScaleFactor, &first.IntfScaleFactor, sizeof(float));
    std::memcpy(&want.WavelengthIn, &first.WavelengthIn, sizeof(float));
    std::memcpy(&want.CameraRes, &first.CameraRes, sizeof(float));
    std::memcpy(&want.PixelWidth, &first.PixelWidth, sizeof(float));
    std::memcpy(&want.PixelHeight, &first.PixelHeight, sizeof(float));
    want.ObliquityFactor = 1.0f;
    want.PhaseRes =
        static_cast<int16_t>(run.phase_setting != -1 ? run.phase_setting : first.PhaseRes);
    want.CameraWidth = first.CameraWidth;
    want.CameraHeight = first.CameraHeight;
    return want;
}

std::string check_output_file(const run_record_t &run,
                              const std::vector<std::unique_ptr<loaded_t>> &in) {
    const std::vector<uint8_t> bytes = read_file_bytes(run.out_name);
    const std::unique_ptr<loaded_t> out = load(run.out_name);
    if (out->code != 0) {
        return text("the output does not read back (code %ld)", out->code);
    }
    const window_t w = out->map.window;
    if (out->map.matrix == nullptr || w.width <= 0 || w.height <= 0) {
        return "the output holds no phase map";
    }
    const df_hdr_t want = expected_record(run, in);
    const auto *a = reinterpret_cast<const uint8_t *>(&want);
    const auto *b = reinterpret_cast<const uint8_t *>(&out->hdr);
    const auto diff = std::mismatch(a, a + sizeof want, b);
    if (diff.first != a + sizeof want) {
        return text("output record differs at record offset %ld", diff.first - a);
    }
    const uint8_t magic_last = want.PhaseRes >= 2 ? 0x70 : 0x6F;
    const std::size_t length = DF_SHORT_HEADER + 4 * static_cast<std::size_t>(w.width * w.height);
    if (bytes.size() != length || bytes[3] != magic_last ||
        std::any_of(bytes.begin() + 10, bytes.begin() + 64, [](uint8_t c) { return c != 0; })) {
        return text("output file layout wrong (%ld bytes, format byte %ld)",
                    static_cast<long>(bytes.size()), bytes.empty() ? -1 : bytes[3]);
    }

    std::vector<const loaded_t *> maps;
    for (const auto &f : in) {
        maps.push_back(f.get());
    }
    const expected_t e = expected_result(maps, run.phase_setting);
    if (w.x < 0 || w.y < 0 || w.x + w.width > e.width || w.y + w.height > e.height) {
        return text("output window (%ld, %ld, ...) lies outside the camera frame", w.x, w.y);
    }
    bool edge_valid[4] = {}; // top, bottom, left, right row or column holds a valid pixel
    for (int32_t y = 0; y < e.height; ++y) {
        for (int32_t x = 0; x < e.width; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * e.width + x;
            const int32_t v = pixel(out->map, x, y);
            const bool inside = x >= w.x && y >= w.y && x < w.x + w.width && y < w.y + w.height;
            if (inside && v > INT_MAP_INVALID) {
                return text("output pixel (%ld, %ld) is invalid but not 0x7FFFFFF8", x, y);
            }
            const bool valid = v < INT_MAP_INVALID;
            if (valid && e.kind[at] == EXPECT_INVALID) {
                return text("output pixel (%ld, %ld) = %ld should be invalid", x, y, v);
            }
            if (!valid && e.kind[at] == EXPECT_VALID) {
                return text("output pixel (%ld, %ld) should be valid, RSS %ld", x, y,
                            std::lround(e.rss[at]));
            }
            if (valid && (v < 0 || (e.kind[at] == EXPECT_VALID &&
                                    std::fabs(v - std::round(e.rss[at])) > 1.0))) {
                return text("output pixel (%ld, %ld) = %ld, RSS is %ld", x, y, v,
                            std::lround(e.rss[at]));
            }
            if (valid) {
                edge_valid[0] |= y == w.y;
                edge_valid[1] |= y == w.y + w.height - 1;
                edge_valid[2] |= x == w.x;
                edge_valid[3] |= x == w.x + w.width - 1;
            }
        }
    }
    if (!std::all_of(std::begin(edge_valid), std::end(edge_valid), [](bool v) { return v; })) {
        return "output window is larger than its valid data";
    }
    return {};
}

std::string check_success(const run_record_t &run) {
    if (!run.err.empty()) {
        return "a successful run wrote to standard error: " + run.err;
    }
    const std::string wrote = "Wrote \"" + run.out_name + "\"\n\n";
    if (run.verbose ? !(run.out.size() >= wrote.size() &&
                        run.out.compare(run.out.size() - wrote.size(), wrote.size(), wrote) == 0)
                    : !run.out.empty()) {
        return "standard output of a successful run is wrong: " + run.out;
    }
    const std::vector<std::unique_ptr<loaded_t>> in = load_all(run);
    if (in.empty()) {
        return "a run without inputs succeeded";
    }
    std::string problem = check_inputs_usable(run, in);
    if (problem.empty()) {
        problem = check_output_file(run, in);
    }
    return problem;
}

// ---------------------------------------------------------------------------
// Failures: the message must take one of the program's forms, and the cause
// it states must be real.

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

std::string check_failure(const run_record_t &run, const run_check_options_t &options) {
    if (run.verbose ? run.out.find("Wrote \"") != std::string::npos : !run.out.empty()) {
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

} // namespace

std::vector<uint8_t> read_file_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(f);
    return bytes;
}

std::string check_run(const run_record_t &run, const run_check_options_t &options) {
    std::string problem = check_inputs_unchanged(run);
    if (problem.empty()) {
        problem = run.ok ? check_success(run) : check_failure(run, options);
    }
    return problem;
}
