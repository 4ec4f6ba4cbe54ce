// Reading one data file and measuring its phase map: heights, statistics,
// and the messages for codes that can stop it.
#include "info/info.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

} // namespace

const char *info_error_meaning(int32_t code) {
    const char *meaning = u_error_meaning(code);
    return meaning != nullptr ? meaning : "unexpected failure";
}

void info_print_error(const char *name, int32_t code, const char *meaning) {
    std::fflush(stdout); // the report so far comes first on a shared console
    std::fprintf(stderr, "%s: %s: %s (%s)\n", INFO_NAME, name, u_error_name(code),
                 meaning != nullptr ? meaning : info_error_meaning(code));
}

void info_phase_stats(const int_map_t *map, double nm_per_count, phase_stats_t *stats) {
    const int64_t pixels = static_cast<int64_t>(map->window.width) * map->window.height;
    const int32_t *values = map->matrix;
    // Pass 1: count, extremes and the exact sum (at most 2^30 values below
    // 2^31 each, so the sum stays far inside 64 bits).
    int64_t valid = 0;
    int64_t sum = 0;
    int32_t lo = INT_MAP_INVALID;
    int32_t hi = std::numeric_limits<int32_t>::min();
    for (int64_t i = 0; i < pixels; ++i) {
        const int32_t v = values[i];
        if (v < INT_MAP_INVALID) {
            ++valid;
            sum += v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    *stats = phase_stats_t{pixels,       valid,        0,           0, NOT_A_NUMBER, NOT_A_NUMBER,
                           NOT_A_NUMBER, NOT_A_NUMBER, NOT_A_NUMBER};
    if (valid == 0) {
        return;
    }
    // Pass 2: squared deviations from the mean, in double.
    const double mean = static_cast<double>(sum) / static_cast<double>(valid);
    double squares = 0.0;
    for (int64_t i = 0; i < pixels; ++i) {
        const int32_t v = values[i];
        if (v < INT_MAP_INVALID) {
            const double d = static_cast<double>(v) - mean;
            squares += d * d;
        }
    }
    const double a = lo * nm_per_count;
    const double b = hi * nm_per_count;
    stats->min_count = lo;
    stats->max_count = hi;
    // A negative factor turns the order of the heights around.
    stats->min_nm = std::fmin(a, b);
    stats->max_nm = std::fmax(a, b);
    if (std::isnan(a) || std::isnan(b)) {
        stats->min_nm = stats->max_nm = NOT_A_NUMBER;
    }
    // From the counts, which subtract exactly: large heights close together
    // would lose digits.
    stats->pv_nm = static_cast<double>(int64_t{hi} - lo) * std::fabs(nm_per_count);
    stats->mean_nm = mean * nm_per_count;
    stats->rms_nm = std::sqrt(squares / static_cast<double>(valid)) * std::fabs(nm_per_count);
}

int32_t info_read(const char *name, info_file_t *file) {
    std::memset(file, 0, sizeof *file);
    file->name = name;
    int_map_init(&file->phase);
    // Names from the command line are narrow: one that looks like a wide
    // path would be opened as another file.
    if (u_path_has_wide_mark(name) || !u_is_regular_file(name)) {
        return ERR_CANT_OPEN_FILE;
    }
    intens_map_t intensity{};
    df_format_t format{};
    const int32_t code =
        df_read_with_format(name, &format, nullptr, &file->hdr, &intensity, &file->phase);
    if (code != 0) {
        return code;
    }
    file->magic = format.magic;
    file->header_bytes = format.header_bytes;
    file->has_intensity = intensity.matrix != nullptr;
    file->intensity_window = intensity.window;
    file->intensity_planes = intensity.n_buckets;
    intens_map_free(&intensity);
    file->nm_per_count = df_metres_per_count(&file->hdr) * 1e9;
    if (file->phase.matrix != nullptr) {
        info_phase_stats(&file->phase, file->nm_per_count, &file->stats);
    }
    return 0;
}

void info_release(info_file_t *file) {
    int_map_free(&file->phase);
}
