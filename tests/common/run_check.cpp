// Checks of a finished RSS run against its inputs: the shared helpers, the
// result the inputs call for, and the checks of a successful run.
#include "common/run_check.h"

#include "common/run_check_detail.h"

#include "common/units_oracle.h"
#include "datafile/datafile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

namespace run_check_detail {

std::unique_ptr<loaded_t> load(const std::string &name) {
    auto file = std::make_unique<loaded_t>();
    df_info_t info;
    file->code = df_read(name.c_str(), &info, &file->hdr, nullptr, &file->map);
    return file;
}

std::vector<std::unique_ptr<loaded_t>> load_all(const run_record_t &run) {
    std::vector<std::unique_ptr<loaded_t>> in;
    for (const std::string &name : run.inputs) {
        in.push_back(load(name));
    }
    return in;
}

// Value at camera position (x, y), INT_MAP_INVALID outside the map's window.
int32_t pixel(const int_map_t &map, int32_t x, int32_t y) {
    const window_t &w = map.window;
    if (map.matrix == nullptr || x < w.x || y < w.y || x >= w.x + w.width || y >= w.y + w.height) {
        return INT_MAP_INVALID;
    }
    return map.matrix[(y - w.y) * w.width + (x - w.x)];
}

bool any_valid(const int_map_t &map) {
    const uint32_t n = static_cast<uint32_t>(map.window.width * map.window.height);
    return map.matrix != nullptr &&
           std::any_of(map.matrix, map.matrix + n, [](int32_t v) { return v < INT_MAP_INVALID; });
}

// printf into a string; the arguments are all passed as long.
std::string text(const char *format, long a, long b, long c, long d) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c, d);
    return buf;
}

expected_t expected_result(const std::vector<const loaded_t *> &in, int32_t phase_setting) {
    const df_hdr_t &first = in[0]->hdr;
    const int32_t out_res = phase_setting != -1 ? phase_setting : first.PhaseRes;
    std::vector<double> factor;
    for (const loaded_t *f : in) {
        const df_hdr_t &h = f->hdr;
        const double k = oracle_unit_factor(first, h, out_res);
        factor.push_back(oracle_factor_applies(k) ? k
                                                  : 1.0); // a NaN factor makes every pixel invalid
    }
    expected_t e;
    e.width = first.CameraWidth;
    e.height = first.CameraHeight;
    const std::size_t n = static_cast<std::size_t>(e.width) * static_cast<std::size_t>(e.height);
    e.kind.assign(n, EXPECT_INVALID);
    e.rss.assign(n, 0.0);
    for (int32_t y = 0; y < e.height; ++y) {
        for (int32_t x = 0; x < e.width; ++x) {
            double sum = 0.0;
            bool valid = true;
            for (std::size_t i = 0; valid && i < in.size(); ++i) {
                const int32_t v = pixel(in[i]->map, x, y);
                const double t = static_cast<double>(v) * factor[i];
                valid = v < INT_MAP_INVALID && !std::isnan(t);
                sum += t * t;
            }
            if (!valid) {
                continue;
            }
            const double r = sum > 0.0 ? std::sqrt(sum) : 0.0;
            const std::size_t at = static_cast<std::size_t>(y) * e.width + x;
            e.rss[at] = r;
            e.kind[at] = r <= RESULT_LIMIT - ROUNDING_BAND  ? EXPECT_VALID
                         : r > RESULT_LIMIT + ROUNDING_BAND ? EXPECT_INVALID
                                                            : EXPECT_EITHER;
        }
    }
    return e;
}

std::string check_inputs_usable(const run_record_t &run,
                                const std::vector<std::unique_ptr<loaded_t>> &in) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const loaded_t &f = *in[i];
        const std::string name = "input \"" + run.inputs[i] + "\"";
        if (f.code != 0) {
            return name + " cannot be read, yet the run succeeded";
        }
        df_hdr_t hdr = f.hdr;
        char msg[DF_CHECK_MSG_SIZE];
        if (df_check_attr(&hdr, nullptr, &f.map, true, msg) != 0) {
            return name + " fails the attribute check (" + msg + "), yet the run succeeded";
        }
        if (!any_valid(f.map)) {
            return name + " holds no valid data, yet the run succeeded";
        }
        // Later inputs only, as the run compares them: a NaN CameraRes never
        // equals itself, yet a first input is not held against itself.
        const df_hdr_t &first = in[0]->hdr;
        if (i > 0 &&
            (f.hdr.CameraWidth != first.CameraWidth || f.hdr.CameraHeight != first.CameraHeight ||
             !(f.hdr.CameraRes == first.CameraRes))) {
            return name + " has another camera frame, yet the run succeeded";
        }
    }
    return {};
}

} // namespace run_check_detail

namespace {

using namespace run_check_detail;

// ---------------------------------------------------------------------------

std::string check_inputs_unchanged(const run_record_t &run) {
    for (std::size_t i = 0; i < run.inputs.size() && i < run.before.size(); ++i) {
        if (read_file_bytes(run.inputs[i]) != run.before[i]) {
            return "input \"" + run.inputs[i] + "\" changed";
        }
    }
    return {};
}

// The attribute record the output must carry: a few fields from the inputs,
// everything else zero.
df_hdr_t expected_record(const run_record_t &run,
                         const std::vector<std::unique_ptr<loaded_t>> &in) {
    const df_hdr_t &first = in[0]->hdr;
    df_hdr_t want;
    std::memset(&want, 0, sizeof want);
    int64_t latest = 0;
    for (const auto &f : in) {
        latest = std::max<int64_t>(latest, f->hdr.TimeStamp);
    }
    want.TimeStamp = static_cast<int32_t>(latest);
    std::snprintf(want.comment, sizeof want.comment,
                  "RSS result map computed from %d input data files",
                  static_cast<int>(run.inputs.size()));
    // Copied as bytes so that NaN payloads compare exactly.
    std::memcpy(&want.IntfScaleFactor, &first.IntfScaleFactor, sizeof(float));
    std::memcpy(&want.WavelengthIn, &first.WavelengthIn, sizeof(float));
    std::memcpy(&want.CameraRes, &first.CameraRes, sizeof(float));
    std::memcpy(&want.PixelWidth, &first.PixelWidth, sizeof(float));
    std::memcpy(&want.PixelHeight, &first.PixelHeight, sizeof(float));
    want.ObliquityFactor = 1.0f;
    want.PhaseRes =
        static_cast<int16_t>(run.phase_setting != -1 ? run.phase_setting : first.PhaseRes);
    want.CameraWidth = first.CameraWidth;
    want.CameraHeight = first.CameraHeight;
    return want;
}

std::string check_output_file(const run_record_t &run,
                              const std::vector<std::unique_ptr<loaded_t>> &in) {
    const std::vector<uint8_t> bytes = read_file_bytes(run.out_name);
    const std::unique_ptr<loaded_t> out = load(run.out_name);
    if (out->code != 0) {
        return text("the output does not read back (code %ld)", out->code);
    }
    const window_t w = out->map.window;
    if (out->map.matrix == nullptr || w.width <= 0 || w.height <= 0) {
        return "the output holds no phase map";
    }
    const df_hdr_t want = expected_record(run, in);
    const auto *a = reinterpret_cast<const uint8_t *>(&want);
    const auto *b = reinterpret_cast<const uint8_t *>(&out->hdr);
    const auto diff = std::mismatch(a, a + sizeof want, b);
    if (diff.first != a + sizeof want) {
        return text("output record differs at record offset %ld", diff.first - a);
    }
    const uint8_t magic_last = want.PhaseRes >= 2 ? 0x70 : 0x6F;
    const std::size_t length = DF_SHORT_HEADER + 4 * static_cast<std::size_t>(w.width * w.height);
    if (bytes.size() != length || bytes[3] != magic_last ||
        std::any_of(bytes.begin() + 10, bytes.begin() + 64, [](uint8_t c) { return c != 0; })) {
        return text("output file layout wrong (%ld bytes, format byte %ld)",
                    static_cast<long>(bytes.size()), bytes.empty() ? -1 : bytes[3]);
    }

    std::vector<const loaded_t *> maps;
    for (const auto &f : in) {
        maps.push_back(f.get());
    }
    const expected_t e = expected_result(maps, run.phase_setting);
    if (w.x < 0 || w.y < 0 || w.x + w.width > e.width || w.y + w.height > e.height) {
        return text("output window (%ld, %ld, ...) lies outside the camera frame", w.x, w.y);
    }
    bool edge_valid[4] = {}; // top, bottom, left, right row or column holds a valid pixel
    for (int32_t y = 0; y < e.height; ++y) {
        for (int32_t x = 0; x < e.width; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * e.width + x;
            const int32_t v = pixel(out->map, x, y);
            const bool inside = x >= w.x && y >= w.y && x < w.x + w.width && y < w.y + w.height;
            if (inside && v > INT_MAP_INVALID) {
                return text("output pixel (%ld, %ld) is invalid but not 0x7FFFFFF8", x, y);
            }
            const bool valid = v < INT_MAP_INVALID;
            if (valid && e.kind[at] == EXPECT_INVALID) {
                return text("output pixel (%ld, %ld) = %ld should be invalid", x, y, v);
            }
            if (!valid && e.kind[at] == EXPECT_VALID) {
                return text("output pixel (%ld, %ld) should be valid, RSS %ld", x, y,
                            std::lround(e.rss[at]));
            }
            if (valid && (v < 0 || (e.kind[at] == EXPECT_VALID &&
                                    std::fabs(v - std::round(e.rss[at])) > 1.0))) {
                return text("output pixel (%ld, %ld) = %ld, RSS is %ld", x, y, v,
                            std::lround(e.rss[at]));
            }
            if (valid) {
                edge_valid[0] |= y == w.y;
                edge_valid[1] |= y == w.y + w.height - 1;
                edge_valid[2] |= x == w.x;
                edge_valid[3] |= x == w.x + w.width - 1;
            }
        }
    }
    if (!std::all_of(std::begin(edge_valid), std::end(edge_valid), [](bool v) { return v; })) {
        return "output window is larger than its valid data";
    }
    return {};
}

std::string check_success(const run_record_t &run) {
    if (!run.err.empty()) {
        return "a successful run wrote to standard error: " + run.err;
    }
    const std::string wrote = "Wrote \"" + run.out_name + "\"\n\n";
    if (run.verbose ? !(run.out.size() >= wrote.size() &&
                        run.out.compare(run.out.size() - wrote.size(), wrote.size(), wrote) == 0)
                    : !run.out.empty()) {
        return "standard output of a successful run is wrong: " + run.out;
    }
    const std::vector<std::unique_ptr<loaded_t>> in = load_all(run);
    if (in.empty()) {
        return "a run without inputs succeeded";
    }
    std::string problem = check_inputs_usable(run, in);
    if (problem.empty()) {
        problem = check_output_file(run, in);
    }
    return problem;
}

} // namespace

std::vector<uint8_t> read_file_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(f);
    return bytes;
}

std::string check_run(const run_record_t &run, const run_check_options_t &options) {
    std::string problem = check_inputs_unchanged(run);
    if (problem.empty()) {
        problem = run.ok ? check_success(run) : check_failure(run, options);
    }
    return problem;
}
