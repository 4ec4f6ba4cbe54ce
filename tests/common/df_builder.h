// Test data files built with the project's own writer, and byte-level access
// to written files independent of the reader.
#pragma once

#include "datafile/datafile.h"

#include <cstdint>
#include <string>
#include <vector>

// A record with realistic attributes: the given camera frame and phase
// resolution, 5.5 um pixels and lateral resolution, IntfScaleFactor 0.5,
// WavelengthIn 632.8 nm, ObliquityFactor 1 and a 2025 time stamp.
df_hdr_t test_header(int16_t camera_width, int16_t camera_height, int16_t phase_res = 2);

// Phase values over a window, row-major.
struct test_phase_t {
    window_t window;
    std::vector<int32_t> values;
};

// A window filled with one value.
test_phase_t uniform_phase(window_t window, int32_t value);

// Writes a data file with `hdr`, the phase map when given and, when asked, a
// one-bucket intensity map over the camera frame. Yields df_write's code.
int32_t write_test_file(const std::string &path, const df_hdr_t &hdr, const test_phase_t *phase,
                        bool with_intensity = false);

std::vector<uint8_t> file_bytes(const std::string &path);

// Big-endian items of a file image at a byte offset.
uint16_t be16(const std::vector<uint8_t> &bytes, std::size_t offset);
uint32_t be32(const std::vector<uint8_t> &bytes, std::size_t offset);
float be_float(const std::vector<uint8_t> &bytes, std::size_t offset);

// The phase block of an 834-byte-header file without intensity block, with
// the window from its descriptor.
test_phase_t file_phase(const std::vector<uint8_t> &bytes);
