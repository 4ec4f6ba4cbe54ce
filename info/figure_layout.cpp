// The measures of the figure: round ticks for the colour bar and a round
// length for the lateral scale bar, both in numbers that print exactly.
#include "info/info.h"

#include <cmath>

namespace {

// m x 10^e, rounded once: a division for negative exponents keeps 0.1 and
// its kind as close to their decimal value as a double gets.
double scaled(double m, int e) {
    return e >= 0 ? m * std::pow(10.0, e) : m / std::pow(10.0, -e);
}

} // namespace

bool info_colour_ticks(double lo, double hi, info_ticks_t *ticks) {
    *ticks = info_ticks_t{};
    const double span = hi - lo;
    if (!(span > 0.0) || !std::isfinite(span)) {
        return false;
    }
    // From a step of a hundredth of the span upwards, the first with at most
    // 10 ticks: its predecessor had 11 or more, and no step is more than 2.5
    // times the one before, so at least 3 remain.
    constexpr double MULTIPLES[] = {1.0, 2.0, 2.5, 5.0};
    for (int e = static_cast<int>(std::floor(std::log10(span))) - 2;; ++e) {
        for (const double m : MULTIPLES) {
            const double step = scaled(m, e);
            const double first = std::ceil(lo / step);
            const double last = std::floor(hi / step);
            if (last - first + 1 <= INFO_MAX_TICKS) {
                if (last - first + 1 < 2) {
                    return false; // the span is lost in the digits of lo
                }
                ticks->count = static_cast<int>(last - first + 1);
                for (int i = 0; i < ticks->count; ++i) {
                    ticks->value[i] = scaled((first + i) * m, e);
                }
                const int decimals = (m == 2.5 ? 1 : 0) - e;
                ticks->decimals = decimals > 0 ? decimals : 0;
                return true;
            }
        }
    }
}

bool info_scale_length(double width_m, info_scale_t *scale) {
    *scale = info_scale_t{};
    const double target = width_m / 5.0;
    if (!(target > 0.0) || !std::isfinite(target)) {
        return false;
    }
    // The 1-2-5 length nearest to the target on a logarithmic scale.
    const int e = static_cast<int>(std::floor(std::log10(target)));
    constexpr double MULTIPLES[] = {1.0, 2.0, 5.0, 10.0};
    double best = MULTIPLES[0];
    for (const double m : MULTIPLES) {
        if (std::fabs(std::log(scaled(m, e) / target)) <
            std::fabs(std::log(scaled(best, e) / target))) {
            best = m;
        }
    }
    // In mm from 1 mm on, else in µm: the number is best x 10^(e + 3 or 6).
    scale->metres = scaled(best, e);
    scale->in_mm = scale->metres >= 1e-3;
    scale->number = scaled(best, e + (scale->in_mm ? 3 : 6));
    return std::isfinite(scale->number) && scale->metres > 0.0;
}
