// Units of the RSS run.
#include "rss/rss_units.h"

#include <cmath>

namespace {

// Scaling is skipped for factors this close to 1.
constexpr double UNIT_FACTOR_TOLERANCE = 1e-10;

} // namespace

double unit_factor(const rss_frame_t &frame, const rss_input_units_t &input) {
    const double numerator = ((static_cast<double>(input.scale_factor) *
                               static_cast<double>(df_counts_per_fringe(frame.out_phase_res))) *
                              static_cast<double>(input.obliquity)) *
                             static_cast<double>(input.wavelength);
    const double denominator = ((static_cast<double>(df_counts_per_fringe(input.phase_res)) *
                                 static_cast<double>(frame.scale_factor)) *
                                1.0) *
                               static_cast<double>(frame.wavelength);
    return numerator / denominator;
}

bool unit_factor_applies(double factor) {
    return !(std::fabs(factor - 1.0) <= UNIT_FACTOR_TOLERANCE);
}
