// Fixture and helpers of the kelvorin-info end-to-end tests: runs of the
// built program that must leave the inputs as they were and no temporary
// file behind, and reference values computed here.
#pragma once

#include "e2e/e2e_fixture.h"
#include "info/info.h"
#include "info/json_check.h"
#include "info/png_check.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>

namespace fs = std::filesystem;
inline constexpr int32_t BAD = INT_MAP_INVALID;

// Heights in nm computed here in long double, and their statistics.
struct reference_t {
    long double nm_per_count;
    int64_t valid = 0;
    long double min = 0, max = 0, mean = 0, rms = 0;
};

inline reference_t reference(const df_hdr_t &h, const test_phase_t &p) {
    const long double per_fringe = df_counts_per_fringe(h.PhaseRes);
    reference_t r{static_cast<long double>(h.IntfScaleFactor) * h.ObliquityFactor * h.WavelengthIn /
                  per_fringe * 1e9L};
    std::vector<long double> x;
    for (const int32_t v : p.values) {
        if (v < BAD) {
            x.push_back(v * r.nm_per_count);
        }
    }
    r.valid = static_cast<int64_t>(x.size());
    if (!x.empty()) {
        const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
        r.min = *lo;
        r.max = *hi;
        r.mean = std::accumulate(x.begin(), x.end(), 0.0L) / x.size();
        for (const long double v : x) {
            r.rms += (v - r.mean) * (v - r.mean);
        }
        r.rms = std::sqrt(r.rms / x.size());
    }
    return r;
}

// Counts over a window from a formula of camera x and y.
template <typename F> test_phase_t phase_of(window_t w, F value) {
    test_phase_t p{w, {}};
    for (int y = w.y; y < w.y + w.height; ++y) {
        for (int x = w.x; x < w.x + w.width; ++x) {
            p.values.push_back(value(x, y));
        }
    }
    return p;
}

// A sloped map with a few pixels without data.
inline test_phase_t slope(window_t w) {
    return phase_of(w, [](int x, int y) { return (x + y) % 7 == 3 ? BAD : 1000 * x - 37 * y * y; });
}

// The colour table as "rrggbb,rrggbb,..." for the Python checks.
inline std::string colour_table_text() {
    std::string table;
    for (const uint32_t rgb : INFO_COLOUR_TABLE) {
        char item[8];
        std::snprintf(item, sizeof item, ",%06x", static_cast<unsigned>(rgb));
        table += item;
    }
    return table.substr(1);
}

// The Python checks run on Debian's interpreter, which has their packages.
inline const char *checker_python() {
    return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

class InfoTest : public E2eTest {
  protected:
    // Runs kelvorin-info in the folder; inputs must stay as they were and
    // no temporary file may be left behind.
    process_result_t run(const std::vector<std::string> &args) {
        process_result_t r = run_process(KELVORIN_INFO_EXE, args, dir_.string());
        EXPECT_TRUE(r.started);
        for (const auto &[name, bytes] : guarded_) {
            EXPECT_EQ(file_bytes(path(name)), bytes) << name << " changed";
        }
        for (const auto &entry : fs::recursive_directory_iterator(dir_)) {
            EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
        }
        return r;
    }

    json_t json(std::vector<std::string> args, int status) {
        args.insert(args.begin(), "--json");
        const process_result_t r = run(args);
        EXPECT_EQ(r.exit_status, status) << r.err;
        json_t doc;
        EXPECT_TRUE(json_parse(r.out, &doc)) << r.out;
        EXPECT_EQ(doc.kind, json_t::array_v);
        return doc;
    }
};
