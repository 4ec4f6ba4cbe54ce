// Report lines and messages of the RSS run.
#include "tool/rss_report.h"

#include "support/support.h"
#include "tool/rss_units.h"
#include "tool/tool.h"

#include <algorithm>
#include <cstdio>

namespace {

void report_attributes(const member_t &m, const window_t &valid) {
    char time_text[U_CTIME_BUF];
    u_ctime_text(m.time_stamp, time_text);
    report_line_text("TimeStamp", time_text);
    report_int("CameraWidth", m.camera_width);
    report_int("CameraHeight", m.camera_height);
    report_um("PixelWidth", static_cast<double>(m.pixel_width) * 1e6);
    report_um("PixelHeight", static_cast<double>(m.pixel_height) * 1e6);
    report_um("CameraRes", static_cast<double>(m.camera_res) * 1e6);
    report_int("WindowX", valid.x);
    report_int("WindowY", valid.y);
    report_int("WindowWidth", valid.width);
    report_int("WindowHeight", valid.height);
    report_number("IntfScaleFactor", m.units.scale_factor);
    report_nm("WavelengthIn", static_cast<double>(m.units.wavelength) * 1e9);
    report_number("ObliquityFactor", m.units.obliquity);
    report_word("PhaseRes", phase_res_word(m.units.phase_res));
    report_fringe("VornRes", counts_per_fringe(m.units.phase_res));
    report_blank();
}

} // namespace

void report_output(const char *out_name, int32_t phase_res_setting, int32_t out_phase_res) {
    report_quoted("RssOutFile", out_name);
    if (phase_res_setting != -1) {
        report_word("Output PhaseRes", phase_res_word(out_phase_res));
        report_fringe("Output VornRes", counts_per_fringe(out_phase_res));
    }
}

int32_t report_member(const member_t &m, bool verbose, int64_t *latest_time) {
    if (verbose) {
        char label[32];
        std::snprintf(label, sizeof label, "InFile[%04d]", static_cast<int>(m.number));
        report_blank();
        report_quoted(label, m.name);
    }
    if (m.read_code != 0) {
        print_error("Error reading input file \"%s\"", m.name);
        return m.read_code;
    }
    if (m.check_code != 0) {
        print_error("Invalid attribute information in input file \"%s\"", m.name);
        std::fprintf(stderr, "%s\n", m.check_text);
        return m.check_code;
    }
    if (!m.block.present) {
        print_error("Input file \"%s\" contains no height data", m.name);
        return ALREADY_REPORTED;
    }
    if (m.valid.top < 0) {
        print_error("Input file \"%s\" contains no valid data points", m.name);
        return ALREADY_REPORTED;
    }
    const window_t &w = m.block.window;
    const window_t valid = {static_cast<int16_t>(w.x + m.valid.left),
                            static_cast<int16_t>(w.y + m.valid.top),
                            static_cast<int16_t>(m.valid.right - m.valid.left + 1),
                            static_cast<int16_t>(m.valid.bottom - m.valid.top + 1)};
    *latest_time = std::max<int64_t>(*latest_time, m.time_stamp);
    if (verbose) {
        report_attributes(m, valid);
    }
    if (m.frame == FRAME_OTHER_SIZE) {
        print_error("Input file \"%s\" has mismatched CameraWidth or CameraHeight", m.name);
        return ALREADY_REPORTED;
    }
    if (m.frame == FRAME_OTHER_RES) {
        print_error("Input file \"%s\" has mismatched CameraRes", m.name);
        return ALREADY_REPORTED;
    }
    if (!m.placed) {
        return ERR_IMPROPER_WINDOW;
    }
    return m.overflow ? ERR_FP_OVERFLOW : 0;
}

void report_result_window(const window_t &window) {
    report_int("RSS WindowX", window.x);
    report_int("RSS WindowY", window.y);
    report_int("RSS WindowWidth", window.width);
    report_int("RSS WindowHeight", window.height);
}

void report_written(const char *out_name) {
    report_blank();
    std::printf("Wrote \"%s\"\n", out_name);
    report_blank();
}
