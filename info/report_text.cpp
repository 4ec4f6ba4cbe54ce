// The text report: one aligned block per file on standard output.
#include "info/info.h"

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>

namespace {

constexpr int LABEL_WIDTH = 16;

void line(const char *label, const char *format, ...) U_PRINTF_FORMAT(2, 3);

void line(const char *label, const char *format, ...) {
    std::printf("%-*s : ", LABEL_WIDTH, label);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}

} // namespace

void info_utc_text(int32_t seconds, char *buf, std::size_t size) {
    using namespace std::chrono;
    const sys_seconds t{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss time{t - day};
    std::snprintf(buf, size, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

namespace {

// The comment in double quotes; bytes that would disturb the console
// (control characters, the quote and the backslash) are escaped.
void comment_line(const df_hdr_t *hdr) {
    std::printf("%-*s : \"", LABEL_WIDTH, "comment");
    const std::size_t n = strnlen(hdr->comment, sizeof hdr->comment);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(hdr->comment[i]);
        if (c == '"' || c == '\\') {
            std::printf("\\%c", c);
        } else if (c < 0x20 || c == 0x7F) {
            std::printf("\\x%02X", c);
        } else {
            std::putchar(c);
        }
    }
    std::printf("\"\n");
}

const char *format_name(uint32_t magic) {
    return magic == DF_MAGIC_1 ? "format 1" : magic == DF_MAGIC_2 ? "format 2" : "format 3";
}

void window_line(const char *label, const window_t &w) {
    line(label, "%d x %d at x %d, y %d", w.width, w.height, w.x, w.y);
}

void statistics(const phase_stats_t &s) {
    const double share = s.pixels > 0 ? 100.0 * static_cast<double>(s.valid) / s.pixels : 0.0;
    line("valid pixels", "%lld of %lld (%.2f%%)", static_cast<long long>(s.valid),
         static_cast<long long>(s.pixels), share);
    if (s.valid == 0) {
        return;
    }
    line("min", "%.6g nm", s.min_nm);
    line("max", "%.6g nm", s.max_nm);
    line("PV", "%.6g nm", s.pv_nm);
    line("mean", "%.6g nm", s.mean_nm);
    line("RMS", "%.6g nm", s.rms_nm);
}

} // namespace

void info_report_text(const info_file_t *file, const info_written_t *written) {
    const df_hdr_t &h = file->hdr;
    line("file", "%s", file->name);
    line("header", "%d bytes, %s (magic 0x%08X)", static_cast<int>(file->header_bytes),
         format_name(file->magic), static_cast<unsigned>(file->magic));
    char when[64];
    info_utc_text(h.TimeStamp, when, sizeof when);
    line("TimeStamp", "%s (%ld)", when, static_cast<long>(h.TimeStamp));
    comment_line(&h);
    line("camera frame", "%d x %d pixels", h.CameraWidth, h.CameraHeight);
    line("pixel size", "%g x %g um", h.PixelWidth * 1e6, h.PixelHeight * 1e6);
    line("CameraRes", "%g um", h.CameraRes * 1e6);
    line("IntfScaleFactor", "%g", static_cast<double>(h.IntfScaleFactor));
    line("WavelengthIn", "%g nm", h.WavelengthIn * 1e9);
    line("ObliquityFactor", "%g", static_cast<double>(h.ObliquityFactor));
    line("PhaseRes", "%s (%d), 1/%ld fringe per count, %.6g nm per count",
         df_phase_res_name(h.PhaseRes), h.PhaseRes,
         static_cast<long>(df_counts_per_fringe(h.PhaseRes)), file->nm_per_count);
    if (file->has_intensity) {
        line("intensity", "%d planes of %d x %d at x %d, y %d", file->intensity_planes,
             file->intensity_window.width, file->intensity_window.height, file->intensity_window.x,
             file->intensity_window.y);
    } else {
        line("intensity", "none");
    }
    if (file->phase.matrix != nullptr) {
        window_line("phase window", file->phase.window);
        statistics(file->stats);
    } else {
        line("phase window", "none");
    }
    if (written->png_path != nullptr) {
        line("picture", "%s, colours over %.6g .. %.6g nm", written->png_path, written->png_lo_nm,
             written->png_hi_nm);
    }
    if (written->svg_path != nullptr) {
        line("figure", "%s", written->svg_path);
    }
    if (written->html_path != nullptr) {
        line("page", "%s", written->html_path);
    }
    if (written->csv_path != nullptr) {
        line("table", "%s, %lld pixels", written->csv_path,
             static_cast<long long>(written->csv_rows));
    }
    if (written->tiff_path != nullptr) {
        line("TIFF", "%s, heights in nm", written->tiff_path);
    }
    if (written->gsf_path != nullptr) {
        line("GSF", "%s, heights in m", written->gsf_path);
    }
}
