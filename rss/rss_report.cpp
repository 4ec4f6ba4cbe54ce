// Report lines and messages of the RSS run.
#include "rss/rss_report.h"

#include "support/support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// Report lines: the label left-aligned in a field of this many characters (a
// longer label is written whole), " = ", then the value.
constexpr int LABEL_WIDTH = 20;

void piece(const rss_sink_t *sink, const char *text) {
    if (sink->report != nullptr) {
        sink->report(sink->context, text);
    }
}

// A report piece of bounded length (labels, numbers; never a file name).
[[gnu::format(printf, 2, 3)]] void line(const rss_sink_t *sink, const char *format, ...) {
    if (sink->report == nullptr) {
        return;
    }
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    sink->report(sink->context, text);
}

// A quoted value may be a name of any length: it goes as a piece of its own.
void report_quoted(const rss_sink_t *sink, const char *label, const char *text) {
    line(sink, "%-*s = \"", LABEL_WIDTH, label);
    piece(sink, text);
    piece(sink, "\"\n");
}

void report_word(const rss_sink_t *sink, const char *label, const char *word) {
    line(sink, "%-*s = %s\n", LABEL_WIDTH, label, word);
}

void report_int(const rss_sink_t *sink, const char *label, int32_t value) {
    line(sink, "%-*s = %d\n", LABEL_WIDTH, label, static_cast<int>(value));
}

void report_fringe(const rss_sink_t *sink, const char *label, double counts) {
    line(sink, "%-*s = 1/%g fr\n", LABEL_WIDTH, label, counts);
}

void report_attributes(const rss_sink_t *sink, const member_t &m, const window_t &valid) {
    char time_text[U_CTIME_BUF];
    u_ctime_text(m.time_stamp, time_text); // ends with a line end
    line(sink, "%-*s = %s", LABEL_WIDTH, "TimeStamp", time_text);
    report_int(sink, "CameraWidth", m.camera_width);
    report_int(sink, "CameraHeight", m.camera_height);
    line(sink, "%-*s = %g um\n", LABEL_WIDTH, "PixelWidth",
         static_cast<double>(m.pixel_width) * 1e6);
    line(sink, "%-*s = %g um\n", LABEL_WIDTH, "PixelHeight",
         static_cast<double>(m.pixel_height) * 1e6);
    line(sink, "%-*s = %g um\n", LABEL_WIDTH, "CameraRes", static_cast<double>(m.camera_res) * 1e6);
    report_int(sink, "WindowX", valid.x);
    report_int(sink, "WindowY", valid.y);
    report_int(sink, "WindowWidth", valid.width);
    report_int(sink, "WindowHeight", valid.height);
    line(sink, "%-*s = %g\n", LABEL_WIDTH, "IntfScaleFactor", m.units.scale_factor);
    line(sink, "%-*s = %g nm\n", LABEL_WIDTH, "WavelengthIn",
         static_cast<double>(m.units.wavelength) * 1e9);
    line(sink, "%-*s = %g\n", LABEL_WIDTH, "ObliquityFactor", m.units.obliquity);
    report_word(sink, "PhaseRes", df_phase_res_name(m.units.phase_res));
    report_fringe(sink, "VornRes", df_counts_per_fringe(m.units.phase_res));
    piece(sink, "\n");
}

} // namespace

void report_message(const rss_sink_t *sink, const char *format, ...) {
    if (sink->message == nullptr) {
        return;
    }
    char local[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    char *text = local;
    if (length >= static_cast<int>(sizeof local)) {
        if (char *block = static_cast<char *>(u_malloc_fn(static_cast<std::size_t>(length) + 1))) {
            std::vsnprintf(block, static_cast<std::size_t>(length) + 1, format, again);
            text = block;
        }
    }
    va_end(again);
    sink->message(sink->context, text);
    if (text != local) {
        u_free_fn(text);
    }
}

void report_code(const rss_sink_t *sink, int32_t code) {
    if (const char *name = u_error_text(code)) {
        report_message(sink, "%s", name);
    } else {
        report_message(sink, "invalid error number %d", static_cast<int>(code));
    }
}

void report_output(const rss_sink_t *sink, const char *out_name, int32_t phase_res_setting,
                   int32_t out_phase_res) {
    report_quoted(sink, "RssOutFile", out_name);
    if (phase_res_setting != -1) {
        report_word(sink, "Output PhaseRes", df_phase_res_name(out_phase_res));
        report_fringe(sink, "Output VornRes", df_counts_per_fringe(out_phase_res));
    }
}

int32_t report_member(const rss_sink_t *sink, const member_t &m, bool verbose,
                      int64_t *latest_time) {
    if (verbose) {
        char label[32];
        std::snprintf(label, sizeof label, "InFile[%04d]", static_cast<int>(m.number));
        piece(sink, "\n");
        report_quoted(sink, label, m.name);
    }
    if (m.read_code != 0) {
        report_message(sink, "Error reading input file \"%s\"", m.name);
        return m.read_code;
    }
    if (m.check_code != 0) {
        report_message(sink, "Invalid attribute information in input file \"%s\"\n%s", m.name,
                       m.check_text);
        return m.check_code;
    }
    if (!m.block.present) {
        report_message(sink, rss_error_format(RSS_ERR_NO_HEIGHT_DATA), m.name);
        return RSS_ERR_NO_HEIGHT_DATA;
    }
    if (m.valid.top < 0) {
        report_message(sink, rss_error_format(RSS_ERR_NO_VALID_INPUT_DATA), m.name);
        return RSS_ERR_NO_VALID_INPUT_DATA;
    }
    const window_t &w = m.block.window;
    const window_t valid = {static_cast<int16_t>(w.x + m.valid.left),
                            static_cast<int16_t>(w.y + m.valid.top),
                            static_cast<int16_t>(m.valid.right - m.valid.left + 1),
                            static_cast<int16_t>(m.valid.bottom - m.valid.top + 1)};
    *latest_time = std::max<int64_t>(*latest_time, m.time_stamp);
    if (verbose) {
        report_attributes(sink, m, valid);
    }
    if (m.frame == FRAME_OTHER_SIZE) {
        report_message(sink, rss_error_format(RSS_ERR_CAMERA_SIZE_MISMATCH), m.name);
        return RSS_ERR_CAMERA_SIZE_MISMATCH;
    }
    if (m.frame == FRAME_OTHER_RES) {
        report_message(sink, rss_error_format(RSS_ERR_CAMERA_RES_MISMATCH), m.name);
        return RSS_ERR_CAMERA_RES_MISMATCH;
    }
    if (!m.placed) {
        return ERR_IMPROPER_WINDOW;
    }
    return m.overflow ? ERR_FP_OVERFLOW : 0;
}

void report_output_not_emptied(const rss_sink_t *sink, const char *out_name) {
    report_message(sink,
                   "Output file \"%s\" could not be emptied again: it may hold part of a result",
                   out_name);
}

void report_result_window(const rss_sink_t *sink, const window_t &window) {
    report_int(sink, "RSS WindowX", window.x);
    report_int(sink, "RSS WindowY", window.y);
    report_int(sink, "RSS WindowWidth", window.width);
    report_int(sink, "RSS WindowHeight", window.height);
}

void report_written(const rss_sink_t *sink, const char *out_name) {
    piece(sink, "\nWrote \"");
    piece(sink, out_name);
    piece(sink, "\"\n\n");
}
