// The uncertainty budget, pixel by pixel.
#include "common/budget_oracle.h"

#include "common/units_oracle.h"

#include <algorithm>
#include <cmath>

oracle_budget_t oracle_budget(const std::vector<std::string> &names,
                              const std::vector<double> &weights, int32_t phase_setting) {
    const std::size_t n = names.size();
    std::vector<df_hdr_t> hdrs(n);
    std::vector<int_map_t> maps(n);
    for (std::size_t i = 0; i < n; ++i) {
        int_map_init(&maps[i]);
        if (df_read(names[i].c_str(), nullptr, &hdrs[i], nullptr, &maps[i]) != 0) {
            return {};
        }
    }
    const df_hdr_t &first = hdrs[0];
    const int32_t out_res = phase_setting != -1 ? phase_setting : first.PhaseRes;
    std::vector<double> factor(n);
    std::vector<bool> scaled(n);
    oracle_budget_t b{};
    b.rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        b.rows[i].weight = weights.empty() ? 1.0 : weights[i];
        factor[i] = oracle_unit_factor(first, hdrs[i], out_res) * b.rows[i].weight;
        scaled[i] = oracle_factor_applies(factor[i]);
        const window_t &w = maps[i].window;
        b.rows[i].valid = std::count_if(maps[i].matrix, maps[i].matrix + w.width * w.height,
                                        [](int32_t c) { return c < 0x7FFFFFF8; });
    }
    std::vector<double> squares(n), largest(n), dominant(n), v(n);
    b.width = first.CameraWidth;
    b.dominance.assign(static_cast<std::size_t>(first.CameraWidth) * first.CameraHeight,
                       0x7FFFFFF8);
    double sum_squares = 0.0, largest_sum = 0.0;
    for (int32_t y = 0; y < first.CameraHeight; ++y) {
        for (int32_t x = 0; x < first.CameraWidth; ++x) {
            bool valid = true;
            double sum = 0.0;
            for (std::size_t i = 0; i < n && valid; ++i) {
                const window_t &w = maps[i].window;
                const bool inside = x >= w.x && x < w.x + w.width && y >= w.y && y < w.y + w.height;
                const int32_t count =
                    inside ? maps[i].matrix[(y - w.y) * w.width + (x - w.x)] : 0x7FFFFFF8;
                valid = count < 0x7FFFFFF8;
                const double h = scaled[i] ? count * factor[i] : count;
                v[i] = h * h;
                sum = i == 0 ? v[i] : sum + v[i];
            }
            if (!valid || !(std::sqrt(sum) <= 67108863.0)) {
                continue;
            }
            ++b.valid;
            sum_squares += sum;
            largest_sum = std::max(largest_sum, sum);
            std::size_t top = 0;
            for (std::size_t i = 0; i < n; ++i) {
                squares[i] += v[i];
                largest[i] = std::max(largest[i], v[i]);
                top = v[i] > v[top] ? i : top;
            }
            ++dominant[top];
            b.dominance[static_cast<std::size_t>(y) * first.CameraWidth + x] =
                static_cast<int32_t>(top);
        }
    }
    const double nm = static_cast<double>(first.IntfScaleFactor) * 1.0 *
                      static_cast<double>(first.WavelengthIn) / oracle_counts_per_fringe(out_res) *
                      1e9;
    double total = 0.0;
    for (double s : squares) {
        total += s;
    }
    const double count = b.valid > 0 ? static_cast<double>(b.valid) : 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        oracle_budget_row_t &r = b.rows[i];
        r.rms_nm = std::sqrt(squares[i] / count) * nm;
        r.max_nm = std::sqrt(largest[i]) * nm;
        r.share = total > 0.0 ? squares[i] / total : 0.0;
        r.dominant = dominant[i] / count;
    }
    b.rms_nm = std::sqrt(sum_squares / count) * nm;
    b.max_nm = std::sqrt(largest_sum) * nm;
    for (int_map_t &m : maps) {
        int_map_free(&m);
    }
    return b;
}
