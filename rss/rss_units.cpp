// Units of the RSS run.
#include "rss/rss_units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Scaling is skipped for factors this close to 1.
constexpr double UNIT_FACTOR_TOLERANCE = 1e-10;

} // namespace

double counts_per_fringe(int32_t phase_res) {
    return df_counts_per_fringe(phase_res);
}

const char *phase_res_word(int32_t phase_res) {
    return df_phase_res_name(phase_res);
}

double unit_factor(const rss_frame_t &frame, const rss_input_units_t &input) {
    const double numerator =
        ((static_cast<double>(input.scale_factor) * counts_per_fringe(frame.out_phase_res)) *
         static_cast<double>(input.obliquity)) *
        static_cast<double>(input.wavelength);
    const double denominator =
        ((counts_per_fringe(input.phase_res) * static_cast<double>(frame.scale_factor)) * 1.0) *
        static_cast<double>(frame.wavelength);
    return numerator / denominator;
}

bool unit_factor_applies(double factor) {
    return !(std::fabs(factor - 1.0) <= UNIT_FACTOR_TOLERANCE);
}

void rss_output_record(const rss_frame_t &frame, int64_t latest_time, int32_t input_count,
                       df_hdr_t *record) {
    df_hdr_t &o = *record;
    o = df_hdr_t{};
    o.TimeStamp = static_cast<int32_t>(latest_time);
    o.PixelWidth = frame.pixel_width;
    o.PixelHeight = frame.pixel_height;
    o.CameraRes = frame.camera_res;
    o.CameraWidth = frame.camera_width;
    o.CameraHeight = frame.camera_height;
    o.PhaseRes = static_cast<int16_t>(frame.out_phase_res);
    o.IntfScaleFactor = frame.scale_factor;
    o.WavelengthIn = frame.wavelength;
    o.ObliquityFactor = 1.0f;
    // At most 81 characters of the sentence, then the terminating zero.
    char text[128];
    std::snprintf(text, sizeof text, "RSS result map computed from %d input data files",
                  static_cast<int>(input_count));
    const std::size_t length = std::min(std::strlen(text), sizeof o.comment - 1);
    std::memcpy(o.comment, text, length);
    o.comment[length] = '\0';
}
