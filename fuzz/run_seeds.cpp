// Writes seed inputs for run_fuzz into the directory named by argv[1]: pairs
// of small valid data files (made by the library's own writer) with the flag
// bytes that choose verbose output, phase resolution, input order, a stale
// output and an allocation to refuse.
#include "datafile/datafile.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

struct file_t {
    int16_t camera_width = 16;
    int16_t camera_height = 12;
    int16_t phase_res = 1;
    float obliquity = 1.0f;
    bool long_header = false;
    bool intensity = false;
    window_t window = {2, 1, 10, 8};
    int32_t value = 3;     // every pixel, except:
    int invalid_every = 0; // every n-th pixel invalid (0: none)
    std::size_t cut = 0;   // bytes cut off the end
};

std::vector<uint8_t> make_file(const file_t &f) {
    df_hdr_t hdr{};
    hdr.TimeStamp = 1750000000 + f.phase_res;
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 632.8e-9f;
    hdr.ObliquityFactor = f.obliquity;
    hdr.CameraRes = 5.5e-6f;
    hdr.PixelWidth = hdr.PixelHeight = 5.5e-6f;
    hdr.CameraWidth = f.camera_width;
    hdr.CameraHeight = f.camera_height;
    hdr.PhaseRes = f.phase_res;
    hdr.format_marker = f.long_header ? 3 : 0;
    std::vector<int32_t> values(static_cast<std::size_t>(f.window.width * f.window.height));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const bool invalid = f.invalid_every != 0 && i % f.invalid_every == 0;
        values[i] = invalid ? INT_MAP_INVALID : (i % 2 == 0 ? f.value : -f.value);
    }
    const int_map_t phase{static_cast<uint32_t>(values.size()), f.window, values.data()};
    std::vector<uint16_t> samples(static_cast<std::size_t>(f.camera_width * f.camera_height), 9);
    const intens_map_t intens{static_cast<uint32_t>(samples.size()),
                              {0, 0, f.camera_width, f.camera_height},
                              1,
                              1023,
                              samples.data()};
    char *buf = nullptr;
    std::size_t len = 0;
    std::FILE *s = open_memstream(&buf, &len);
    if (s == nullptr ||
        df_write_stream(s, nullptr, &hdr, f.intensity ? &intens : nullptr, &phase) != 0) {
        std::fprintf(stderr, "cannot build a seed file\n");
        std::exit(1);
    }
    std::fclose(s);
    std::vector<uint8_t> bytes(buf, buf + len - std::min(f.cut, len));
    std::free(buf);
    return bytes;
}

struct seed_t {
    const char *name;
    uint8_t flags;
    uint8_t fail_at;
    file_t a;
    file_t b;
};

// Flag bits: 1 verbose; 2, 4, 6 phase resolution Normal, High, Super;
// 8 A B, 16 B A, 24 A B A; 32 stale output.
const std::vector<seed_t> kSeeds = {
    {"single", 0x00, 0, {}, {}},
    {"three_four_five", 0x08, 0, {.value = 3}, {.value = 4}},
    {"scaled_verbose",
     0x0F,
     0,
     {.phase_res = 1, .long_header = true},
     {.phase_res = 2, .obliquity = 0.5f, .window = {0, 0, 16, 12}, .value = 70000}},
    {"intensity_overlap",
     0x28,
     0,
     {.intensity = true, .invalid_every = 7},
     {.window = {6, 4, 10, 8}, .value = 1000}},
    {"twice_stale", 0x38, 0, {.invalid_every = 3}, {.phase_res = 0}},
    {"camera_mismatch", 0x09, 0, {}, {.camera_width = 20}},
    {"truncated_second", 0x08, 0, {}, {.cut = 17}},
    {"near_limit", 0x00, 0, {.value = 67108863}, {}},
    {"refused", 0x08, 3, {}, {.long_header = true}},
    // A NaN factor makes every pixel of its input invalid.
    {"nan_obliquity", 0x08, 0, {}, {.obliquity = std::numeric_limits<float>::quiet_NaN()}},
    // A camera frame of several bands with small windows near its far corner.
    {"large_frame",
     0x08,
     0,
     {.camera_width = 320, .camera_height = 200, .window = {290, 170, 20, 20}},
     {.camera_width = 320, .camera_height = 200, .window = {280, 160, 30, 30}, .value = 4}},
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    for (const seed_t &s : kSeeds) {
        const std::vector<uint8_t> a = make_file(s.a);
        const std::vector<uint8_t> b = make_file(s.b);
        std::vector<uint8_t> bytes = {s.flags, s.fail_at, static_cast<uint8_t>(a.size() & 0xFF),
                                      static_cast<uint8_t>(a.size() >> 8)};
        bytes.insert(bytes.end(), a.begin(), a.end());
        bytes.insert(bytes.end(), b.begin(), b.end());
        const std::string path = std::string(argv[1]) + "/" + s.name;
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "%s: cannot write seed %s\n", argv[0], s.name);
            return 1;
        }
    }
    return 0;
}
