// Writes the benchmark's input files with the project's own writer.
//
//   bench_gen DIR W1|W2|W3|W4|SMOKE|I1|I2
//
// W1: 64 inputs, camera 1024 x 1024, windows a few pixels inset, about 2%
//     invalid pixels, input 10 in High resolution (the rest Super).
// W2: 8 inputs, camera 4096 x 3000.
// W3: 2000 inputs, camera 256 x 256, plus DIR/list.txt naming them; its
//     invalid pixels lie at the same camera positions in every input (with
//     independent ones, no pixel would stay valid through 2000 inputs).
// W4: 2 inputs, camera 16000 x 16000 (1 GB each).
// SMOKE: 3 inputs, camera 64 x 48, plus DIR/list.txt.
// I1: 1 input, camera 4096 x 3000, a smooth surface with a little noise
//     (the inspector's workload: statistics and picture of a large map).
// I2: 1 input, camera 4096 x 3000, noise: the worst case for the picture's
//     compression.
#include "datafile/datafile.h"
#include "maps/maps.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct workload_t {
    const char *name;
    int count;
    int width;
    int height;
    bool list;
    bool shared_invalid; // invalid pixels at the same camera positions in every input
    bool smooth;         // a smooth surface instead of noise
};

constexpr workload_t workloads[] = {
    {"W1", 64, 1024, 1024, false, false, false}, {"W2", 8, 4096, 3000, false, false, false},
    {"W3", 2000, 256, 256, true, true, false},   {"W4", 2, 16000, 16000, false, false, false},
    {"SMOKE", 3, 64, 48, true, false, false},    {"I1", 1, 4096, 3000, false, false, true},
    {"I2", 1, 4096, 3000, false, false, false},
};

uint32_t next_random(uint32_t &state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

bool write_input(const std::string &path, const workload_t &w, int index) {
    const int inset = 2 + index % 4;
    int_map_t map;
    int_map_init(&map);
    map.window = window_t{static_cast<int16_t>(inset), static_cast<int16_t>(inset + 1),
                          static_cast<int16_t>(w.width - 2 * inset),
                          static_cast<int16_t>(w.height - 2 * inset - 1)};
    if (int_map_alloc(&map) != 0) {
        return false;
    }
    uint32_t state = 12345u + static_cast<uint32_t>(index) * 7919u;
    for (uint32_t i = 0; i < map.size; ++i) {
        const uint32_t r = next_random(state);
        bool invalid = r % 50 == 0;
        if (w.shared_invalid) {
            const uint32_t row = map.window.y + i / map.window.width;
            const uint32_t col = map.window.x + i % map.window.width;
            uint32_t position = row * 65536u + col;
            invalid = next_random(position) % 50 == 0;
        }
        int32_t value = static_cast<int32_t>(r % 4000);
        if (w.smooth) {
            const double u = static_cast<double>(i % map.window.width) / map.window.width;
            const double v = static_cast<double>(i / map.window.width) / map.window.height;
            value = static_cast<int32_t>(40000.0 * (u * u + v * v) +
                                         5000.0 * std::sin(12.0 * u) * std::cos(9.0 * v)) +
                    static_cast<int32_t>(r % 64);
        }
        map.matrix[i] = invalid ? INT_MAP_INVALID : value;
    }

    df_hdr_t hdr{};
    hdr.TimeStamp = 1735689600 + index * 60;
    std::snprintf(hdr.comment, sizeof hdr.comment, "benchmark input %d", index);
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 632.8e-9f;
    hdr.ObliquityFactor = 1.0f;
    hdr.CameraRes = 5.5e-6f;
    hdr.PixelWidth = 5.5e-6f;
    hdr.PixelHeight = 5.5e-6f;
    hdr.CameraWidth = static_cast<int16_t>(w.width);
    hdr.CameraHeight = static_cast<int16_t>(w.height);
    hdr.PhaseRes = (std::strcmp(w.name, "W1") == 0 && index == 10) ? 1 : 2;

    const int32_t rc = df_write(path.c_str(), nullptr, &hdr, nullptr, &map);
    int_map_free(&map);
    if (rc != 0) {
        std::fprintf(stderr, "bench_gen: cannot write %s: %s\n", path.c_str(), u_error_name(rc));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_gen DIR W1|W2|W3|W4|SMOKE|I1|I2\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (const workload_t &w : workloads) {
        if (std::strcmp(w.name, argv[2]) != 0) {
            continue;
        }
        std::FILE *list = nullptr;
        if (w.list) {
            list = std::fopen((dir + "/list.txt").c_str(), "w");
            if (list == nullptr) {
                std::perror("bench_gen: list.txt");
                return 1;
            }
        }
        for (int i = 0; i < w.count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/in%04d.dat", i);
            const std::string path = dir + name;
            if (!write_input(path, w, i)) {
                return 1;
            }
            if (list != nullptr) {
                std::fprintf(list, "%s\n", path.c_str());
            }
        }
        if (list != nullptr && std::fclose(list) != 0) {
            std::perror("bench_gen: list.txt");
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "bench_gen: unknown workload %s\n", argv[2]);
    return 2;
}
