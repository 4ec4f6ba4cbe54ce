// Writes the three example data files: standard-deviation maps of one 64 x 48
// camera, two in Super and one in High phase resolution, each with a phase
// window a few pixels inside the frame and a few pixels without data.
//
//   make_examples [folder]      (default: the current folder)
#include "datafile/datafile.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int16_t CAMERA_WIDTH = 64;
constexpr int16_t CAMERA_HEIGHT = 48;

struct example_t {
    const char *file_name;
    const char *comment;
    int32_t time_stamp;
    int16_t phase_res;  // 1 High, 2 Super
    window_t window;    // phase window in the camera frame
    double base_nm;     // typical standard deviation
    double ripple_nm;   // amplitude of its variation across the field
    int spot_x, spot_y; // centre of a small patch without data
};

// One phase count in metres: IntfScaleFactor x WavelengthIn / counts per fringe.
double metres_per_count(const df_hdr_t &hdr) {
    const double counts = df_counts_per_fringe(hdr.PhaseRes);
    return static_cast<double>(hdr.IntfScaleFactor) * static_cast<double>(hdr.WavelengthIn) /
           counts;
}

df_hdr_t header_of(const example_t &e) {
    df_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.TimeStamp = e.time_stamp;
    std::snprintf(hdr.comment, sizeof hdr.comment, "%s", e.comment);
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 632.8e-9f;
    hdr.ObliquityFactor = 1.0f;
    hdr.CameraRes = 5.5e-6f;
    hdr.PhaseRes = e.phase_res;
    hdr.CameraWidth = CAMERA_WIDTH;
    hdr.CameraHeight = CAMERA_HEIGHT;
    hdr.PixelWidth = 5.5e-6f;
    hdr.PixelHeight = 5.5e-6f;
    return hdr;
}

// A smooth field of standard deviations in phase counts, with a round patch
// and the window's top-left corner pixel marked invalid.
std::vector<int32_t> phase_of(const example_t &e, const df_hdr_t &hdr) {
    const double per_count = metres_per_count(hdr);
    std::vector<int32_t> values;
    for (int row = 0; row < e.window.height; ++row) {
        for (int col = 0; col < e.window.width; ++col) {
            const int x = e.window.x + col;
            const int y = e.window.y + row;
            const double dx = x - e.spot_x;
            const double dy = y - e.spot_y;
            if (dx * dx + dy * dy <= 4.0 || (row == 0 && col == 0)) {
                values.push_back(INT_MAP_INVALID);
                continue;
            }
            const double nm = e.base_nm + e.ripple_nm * std::sin(0.15 * x) * std::cos(0.2 * y);
            values.push_back(static_cast<int32_t>(std::lround(nm * 1e-9 / per_count)));
        }
    }
    return values;
}

} // namespace

int main(int argc, char **argv) {
    const std::string folder = argc > 1 ? std::string(argv[1]) + "/" : "";
    const example_t examples[] = {
        {"stddev_a.dat",
         "Example standard deviation map A",
         1748779200,
         2,
         {4, 3, 56, 42},
         0.80,
         0.25,
         20,
         15},
        {"stddev_b.dat",
         "Example standard deviation map B",
         1749643200,
         2,
         {5, 4, 54, 40},
         0.60,
         0.20,
         44,
         30},
        {"stddev_c.dat",
         "Example standard deviation map C (High)",
         1750507200,
         1,
         {6, 3, 52, 42},
         0.45,
         0.15,
         32,
         24},
    };
    for (const example_t &e : examples) {
        const df_hdr_t hdr = header_of(e);
        std::vector<int32_t> values = phase_of(e, hdr);
        int_map_t phase{static_cast<uint32_t>(values.size()), e.window, values.data()};
        const std::string path = folder + e.file_name;
        const int32_t code = df_write(path.c_str(), nullptr, &hdr, nullptr, &phase);
        if (code != 0) {
            std::fprintf(stderr, "make_examples: cannot write %s: %s\n", path.c_str(),
                         u_error_name(code));
            return 1;
        }
        std::printf("wrote %s\n", path.c_str());
    }
    return 0;
}
