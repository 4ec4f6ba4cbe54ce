#include "common/df_builder.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>

df_hdr_t test_header(int16_t camera_width, int16_t camera_height, int16_t phase_res) {
    df_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.TimeStamp = 1750000000; // Sun Jun 15 15:06:40 2025 UTC
    std::strcpy(hdr.comment, "test input");
    hdr.IntfScaleFactor = 0.5f;
    hdr.WavelengthIn = 632.8e-9f;
    hdr.ObliquityFactor = 1.0f;
    hdr.CameraRes = 5.5e-6f;
    hdr.PhaseRes = phase_res;
    hdr.CameraWidth = camera_width;
    hdr.CameraHeight = camera_height;
    hdr.PixelWidth = 5.5e-6f;
    hdr.PixelHeight = 5.5e-6f;
    return hdr;
}

test_phase_t uniform_phase(window_t window, int32_t value) {
    return {window,
            std::vector<int32_t>(static_cast<std::size_t>(window.width * window.height), value)};
}

int32_t write_test_file(const std::string &path, const df_hdr_t &hdr, const test_phase_t *phase,
                        bool with_intensity) {
    std::vector<int32_t> phase_values;
    int_map_t phase_map{};
    if (phase != nullptr) {
        phase_values = phase->values;
        phase_map.size = static_cast<uint32_t>(phase_values.size());
        phase_map.window = phase->window;
        phase_map.matrix = phase_values.data();
    }
    std::vector<uint16_t> samples;
    intens_map_t intens{};
    if (with_intensity) {
        intens.window = {0, 0, hdr.CameraWidth, hdr.CameraHeight};
        intens.n_buckets = 1;
        intens.range = 1023;
        samples.assign(static_cast<std::size_t>(hdr.CameraWidth * hdr.CameraHeight), 512);
        intens.size = static_cast<uint32_t>(samples.size());
        intens.matrix = samples.data();
    }
    return df_write(path.c_str(), nullptr, &hdr, with_intensity ? &intens : nullptr,
                    phase != nullptr ? &phase_map : nullptr);
}

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint16_t be16(const std::vector<uint8_t> &bytes, std::size_t offset) {
    return static_cast<uint16_t>(bytes.at(offset) << 8 | bytes.at(offset + 1));
}

uint32_t be32(const std::vector<uint8_t> &bytes, std::size_t offset) {
    return static_cast<uint32_t>(be16(bytes, offset)) << 16 | be16(bytes, offset + 2);
}

float be_float(const std::vector<uint8_t> &bytes, std::size_t offset) {
    return std::bit_cast<float>(be32(bytes, offset));
}

test_phase_t file_phase(const std::vector<uint8_t> &bytes) {
    test_phase_t phase;
    phase.window = {static_cast<int16_t>(be16(bytes, 64)), static_cast<int16_t>(be16(bytes, 66)),
                    static_cast<int16_t>(be16(bytes, 68)), static_cast<int16_t>(be16(bytes, 70))};
    const std::size_t count = static_cast<std::size_t>(phase.window.width * phase.window.height);
    for (std::size_t i = 0; i < count; ++i) {
        phase.values.push_back(static_cast<int32_t>(be32(bytes, DF_SHORT_HEADER + 4 * i)));
    }
    return phase;
}
