// Units of the RSS run: phase resolution codes, and the factor that
// re-expresses an input's phase counts in the output's units.
#pragma once

#include "datafile/datafile.h"

#include <cstdint>

// What the first input fixes for the whole run: the camera frame, the
// lateral resolution and, with the phase resolution, the output units.
struct rss_frame_t {
    int16_t camera_width;
    int16_t camera_height;
    float pixel_width;
    float pixel_height;
    float camera_res;
    float scale_factor;    // IntfScaleFactor
    float wavelength;      // WavelengthIn
    int32_t out_phase_res; // phase resolution code of the output
};

// The attributes of one input that decide its unit factor.
struct rss_input_units_t {
    float scale_factor; // IntfScaleFactor
    float obliquity;    // ObliquityFactor
    float wavelength;   // WavelengthIn
    int32_t phase_res;  // PhaseRes
};

// The factor that turns the input's phase counts into output counts: the
// first input's IntfScaleFactor and WavelengthIn, an ObliquityFactor of 1 and
// the output's counts per fringe. Formed in double from the widened
// attributes, in this order: ((S * R_out) * O) * L / (((R * S1) * 1) * L1).
double unit_factor(const rss_frame_t &frame, const rss_input_units_t &input);

// Whether the input must be multiplied by its factor: only a factor within
// 1e-10 of 1 is skipped. A NaN factor (from a NaN attribute) is applied, so
// that it makes every pixel of the input invalid instead of passing the
// input through unscaled.
bool unit_factor_applies(double factor);
