// The RSS run step by step: every input is read whole, placed in an integer
// camera map over invalid pixels, converted to doubles, rescaled, squared and
// added into the sum map, each with its own pass of the map operations.
#include "common/rss_reference.h"

#include "common/units_oracle.h"

#include "datafile/datafile.h"
#include "maps/maps.h"
#include "support/support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Result code of a failure whose message has already been written.
constexpr int32_t ALREADY_REPORTED = -1;

constexpr std::size_t TEXT_BUF = 512;

// Report lines: the label left-aligned in 20 characters, " = ", the value.
void report_quoted(const char *label, const char *text) {
    std::printf("%-20s = \"%s\"\n", label, text);
}
void report_word(const char *label, const char *word) {
    std::printf("%-20s = %s\n", label, word);
}
void report_line_text(const char *label, const char *text) {
    std::printf("%-20s = %s", label, text);
}
void report_int(const char *label, int32_t value) {
    std::printf("%-20s = %d\n", label, static_cast<int>(value));
}
void report_number(const char *label, double value) {
    std::printf("%-20s = %g\n", label, value);
}
void report_um(const char *label, double micrometres) {
    std::printf("%-20s = %g um\n", label, micrometres);
}
void report_nm(const char *label, double nanometres) {
    std::printf("%-20s = %g nm\n", label, nanometres);
}
void report_fringe(const char *label, double counts) {
    std::printf("%-20s = 1/%g fr\n", label, counts);
}
void report_blank() {
    std::printf("\n");
}

// The run's working set; every map is released by finish() on every path.
struct rss_state_t {
    int_map_t input;  // current input as read; at the end the trimmed result
    int_map_t camera; // camera frame: the placed input, at the end the result
    dbl_map_t work;   // current input in doubles, scaled and squared
    dbl_map_t sum;    // running sum of squares, at the end its root
    df_hdr_t in_hdr;
    df_hdr_t out_hdr;
    df_info_t info; // filled by the reader, not used
    char text[TEXT_BUF];
    df_hdr_t first_hdr;    // the first input's record: the camera frame and the output units
    int32_t out_phase_res; // the output's phase resolution code
    int64_t latest_time;
    const rss_request_t *q;
};

// Creates (or empties) the output file before any input is read, and
// fixes the output units when the command line gives them.
int32_t prepare(rss_state_t &s) {
    const char *out_name = s.q->out_name;
    std::FILE *out = u_fopen_path(out_name, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "%s\nERROR: Cannot create output file \"%s\"\n", "Kelvorin", out_name);
        return ALREADY_REPORTED;
    }
    std::fclose(out);
    if (s.q->verbose) {
        report_quoted("RssOutFile", out_name);
    }
    if (s.q->phase_res != -1) {
        s.out_phase_res = s.q->phase_res;
        if (s.q->verbose) {
            report_word("Output PhaseRes", oracle_phase_res_word(s.out_phase_res));
            report_fringe("Output VornRes", oracle_counts_per_fringe(s.out_phase_res));
        }
    }
    return 0;
}

void report_input(const df_hdr_t &h, const window_t &valid) {
    char time_text[U_CTIME_BUF];
    u_ctime_text(h.TimeStamp, time_text);
    report_line_text("TimeStamp", time_text);
    report_int("CameraWidth", h.CameraWidth);
    report_int("CameraHeight", h.CameraHeight);
    report_um("PixelWidth", static_cast<double>(h.PixelWidth) * 1e6);
    report_um("PixelHeight", static_cast<double>(h.PixelHeight) * 1e6);
    report_um("CameraRes", static_cast<double>(h.CameraRes) * 1e6);
    report_int("WindowX", valid.x);
    report_int("WindowY", valid.y);
    report_int("WindowWidth", valid.width);
    report_int("WindowHeight", valid.height);
    report_number("IntfScaleFactor", h.IntfScaleFactor);
    report_nm("WavelengthIn", static_cast<double>(h.WavelengthIn) * 1e9);
    report_number("ObliquityFactor", h.ObliquityFactor);
    report_word("PhaseRes", oracle_phase_res_word(h.PhaseRes));
    report_fringe("VornRes", oracle_counts_per_fringe(h.PhaseRes));
    report_blank();
}

// The first input: keep its frame and units and allocate the
// three camera-sized maps, reused for every later input.
int32_t set_up_frame(rss_state_t &s) {
    const df_hdr_t &h = s.in_hdr;
    s.first_hdr = h;
    s.out_phase_res = s.q->phase_res != -1 ? s.q->phase_res : h.PhaseRes;
    const window_t frame = {0, 0, h.CameraWidth, h.CameraHeight};
    s.camera.window = frame;
    s.work.window = frame;
    s.sum.window = frame;
    int32_t code = int_map_alloc(&s.camera);
    if (code == 0) {
        code = dbl_map_alloc(&s.work);
    }
    if (code == 0) {
        code = dbl_map_alloc(&s.sum);
    }
    return code;
}

// Later inputs: the same camera frame and lateral resolution.
int32_t check_frame(const rss_state_t &s, const char *name) {
    const df_hdr_t &h = s.in_hdr;
    if (h.CameraWidth != s.first_hdr.CameraWidth || h.CameraHeight != s.first_hdr.CameraHeight) {
        std::fprintf(stderr,
                     "%s\nERROR: Input file \"%s\" has mismatched CameraWidth or CameraHeight\n",
                     "Kelvorin", name);
        return ALREADY_REPORTED;
    }
    if (h.CameraRes != s.first_hdr.CameraRes) { // exact; a NaN never matches
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" has mismatched CameraRes\n", "Kelvorin",
                     name);
        return ALREADY_REPORTED;
    }
    return 0;
}

// Input number `number` (from 1): read, check, report, place it in
// the camera frame, convert, rescale, square and accumulate.
int32_t add_input(rss_state_t &s, int32_t number, const char *name) {
    if (s.q->verbose) {
        std::snprintf(s.text, sizeof s.text, "InFile[%04d]", static_cast<int>(number));
        report_blank();
        report_quoted(s.text, name);
    }
    int32_t code = df_read(name, &s.info, &s.in_hdr, nullptr, &s.input);
    if (code != 0) {
        std::fprintf(stderr, "%s\nERROR: Error reading input file \"%s\"\n", "Kelvorin", name);
        return code;
    }
    code = df_check_attr(&s.in_hdr, nullptr, &s.input, true, s.text);
    if (code != 0) {
        std::fprintf(stderr, "%s\nERROR: Invalid attribute information in input file \"%s\"\n",
                     "Kelvorin", name);
        std::fprintf(stderr, "%s\n", s.text);
        return code;
    }
    if (s.input.matrix == nullptr) {
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" contains no height data\n", "Kelvorin",
                     name);
        return ALREADY_REPORTED;
    }
    window_t valid;
    code = int_map_valid_window(&s.input, nullptr, &valid);
    if (code == ERR_ALL_BAD_DATA) {
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" contains no valid data points\n",
                     "Kelvorin", name);
        return ALREADY_REPORTED;
    }
    if (code != 0) {
        return code;
    }
    s.latest_time = std::max<int64_t>(s.latest_time, s.in_hdr.TimeStamp);
    if (s.q->verbose) {
        report_input(s.in_hdr, valid);
    }

    code = number == 1 ? set_up_frame(s) : check_frame(s, name);
    if (code != 0) {
        return code;
    }

    // Place the input at its own camera coordinates over invalid pixels.
    int_map_fill(&s.camera, INT_MAP_INVALID);
    const window_t placed = s.input.window;
    code = int_map_copy_window(&s.input, &placed, &s.camera, &placed);
    if (code != 0) {
        return code;
    }
    int_map_free(&s.input);

    code = int_map_to_dbl(&s.camera, &s.work);
    if (code != 0) {
        return code;
    }
    const df_hdr_t &h = s.in_hdr;
    const double factor = oracle_unit_factor(s.first_hdr, h, s.out_phase_res);
    if (oracle_factor_applies(factor)) {
        code = dbl_map_scale(&s.work, factor);
        if (code != 0) {
            return code;
        }
    }
    code = dbl_map_square(&s.work);
    if (code != 0) {
        return code;
    }
    return number == 1 ? dbl_map_copy(&s.work, &s.sum) : dbl_map_add(&s.work, &s.sum);
}

// Root of the sum, back to phase counts, trimmed to the valid data,
// written under the output record.
int32_t write_result(rss_state_t &s) {
    dbl_map_sqrt(&s.sum);
    int32_t code = dbl_map_to_int(&s.sum, &s.camera);
    if (code != 0) {
        return code;
    }
    window_t valid;
    code = int_map_valid_window(&s.camera, nullptr, &valid);
    if (code == ERR_ALL_BAD_DATA) {
        std::fprintf(stderr, "%s\nERROR: RSS result map contains no valid data points\n",
                     "Kelvorin");
        return ALREADY_REPORTED;
    }
    if (code != 0) {
        return code;
    }
    code = int_map_resize(&s.input, &valid, true);
    if (code != 0) {
        return code;
    }
    code = int_map_copy_window(&s.camera, &valid, &s.input, &valid);
    if (code != 0) {
        return code;
    }
    if (s.q->verbose) {
        report_int("RSS WindowX", valid.x);
        report_int("RSS WindowY", valid.y);
        report_int("RSS WindowWidth", valid.width);
        report_int("RSS WindowHeight", valid.height);
    }
    // Every field not set here stays zero.
    df_hdr_t &o = s.out_hdr;
    const df_hdr_t &f = s.first_hdr;
    o.TimeStamp = static_cast<int32_t>(s.latest_time);
    o.PixelWidth = f.PixelWidth;
    o.PixelHeight = f.PixelHeight;
    o.CameraRes = f.CameraRes;
    o.CameraWidth = f.CameraWidth;
    o.CameraHeight = f.CameraHeight;
    o.PhaseRes = static_cast<int16_t>(s.out_phase_res);
    o.IntfScaleFactor = f.IntfScaleFactor;
    o.WavelengthIn = f.WavelengthIn;
    o.ObliquityFactor = 1.0f;
    std::snprintf(o.comment, sizeof o.comment, "RSS result map computed from %d input data files",
                  static_cast<int>(s.q->count));

    code = df_write(s.q->out_name, nullptr, &s.out_hdr, nullptr, &s.input);
    if (code != 0) {
        return code;
    }
    if (s.q->verbose) {
        report_blank();
        std::printf("Wrote \"%s\"\n", s.q->out_name);
        report_blank();
    }
    return 0;
}

// Releases every map and name a code that has no message yet.
bool finish(rss_state_t &s, int32_t code) {
    int_map_free(&s.input);
    int_map_free(&s.camera);
    dbl_map_free(&s.work);
    dbl_map_free(&s.sum);
    if (code == 0) {
        return true;
    }
    if (code != ALREADY_REPORTED) {
        std::fprintf(stderr, "%s\nERROR: %s\n", "Kelvorin", u_error_name(code));
    }
    return false;
}

} // namespace

bool rss_reference_run(const rss_request_t &request) {
    rss_state_t s;
    s.q = &request;
    int_map_init(&s.input);
    int_map_init(&s.camera);
    dbl_map_init(&s.work);
    dbl_map_init(&s.sum);
    std::memset(&s.in_hdr, 0, sizeof s.in_hdr);
    std::memset(&s.out_hdr, 0, sizeof s.out_hdr);
    s.out_phase_res = -1;
    s.latest_time = 0;

    int32_t code = prepare(s);
    for (int32_t i = 0; code == 0 && i < s.q->count; ++i) {
        code = add_input(s, i + 1, s.q->names[i]);
    }
    if (code == 0) {
        code = write_result(s);
    }
    return finish(s, code);
}
