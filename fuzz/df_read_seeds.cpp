// Writes seed inputs for df_read_fuzz into the directory named by argv[1]:
// small valid data files of each header format, with and without each block,
// made by the library's own writer. Each seed starts with the byte that tells
// the target which pieces to ask for.
#include "datafile/datafile.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct seed_t {
    const char *name;
    uint8_t want; // first byte of the input: pieces wanted by the target
    int16_t phase_res;
    bool extension; // a non-zero byte in the long header's extension
    bool marker;    // format_marker only
    bool with_hdr;
    bool with_intens;
    bool with_phase;
};

constexpr seed_t kSeeds[] = {
    {"format1_phase", 0x0F, 0, false, false, true, false, true},
    {"format2_both", 0x1F, 2, false, false, true, true, true},
    {"format3_intens", 0x07, 1, true, false, true, true, false},
    {"format3_marker_phase", 0x0A, 0, false, true, true, false, true},
    {"no_record_phase", 0x08, 0, false, false, false, false, true},
    {"format1_both_no_maps", 0x03, 1, false, false, true, true, true},
};

bool write_seed(const std::string &dir, const seed_t &s) {
    df_info_t info{};
    info.f10 = 0x0102;
    std::memcpy(info.f12, "seed", 4);
    df_hdr_t hdr{};
    hdr.TimeStamp = 1700000000;
    std::snprintf(hdr.comment, sizeof hdr.comment, "%s", s.name);
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 633e-9f;
    hdr.ObliquityFactor = 1.0f;
    hdr.CameraRes = 1e-6f;
    hdr.PixelWidth = hdr.PixelHeight = 5.5e-6f;
    hdr.CameraWidth = 8;
    hdr.CameraHeight = 6;
    hdr.PhaseRes = s.phase_res;
    if (s.extension) {
        hdr.f1266[3] = 0x11223344;
        hdr.f1264 = 7;
    }
    if (s.marker) {
        hdr.format_marker = 3;
    }

    uint16_t samples[2 * 2 * 3];
    for (std::size_t i = 0; i < std::size(samples); ++i) {
        samples[i] = static_cast<uint16_t>(1000 * i + 1);
    }
    int32_t counts[3 * 2] = {0, -5, 70000, INT_MAP_INVALID, 12, -131072};
    const intens_map_t intens{std::size(samples), {1, 1, 2, 3}, 2, 4095, samples};
    const int_map_t phase{std::size(counts), {2, 3, 3, 2}, counts};

    const std::string path = dir + "/" + s.name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    std::fputc(s.want, f);
    const int32_t rc =
        df_write_stream(f, &info, s.with_hdr ? &hdr : nullptr, s.with_intens ? &intens : nullptr,
                        s.with_phase ? &phase : nullptr);
    return (std::fclose(f) == 0) & (rc == 0);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    for (const seed_t &s : kSeeds) {
        if (!write_seed(argv[1], s)) {
            std::fprintf(stderr, "%s: cannot write seed %s\n", argv[0], s.name);
            return 1;
        }
    }
    return 0;
}
