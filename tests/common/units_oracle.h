// The units of the RSS run as the tests expect them, computed here from the
// files' own fields: the product's versions are what the tests check.
#pragma once

#include "datafile/datafile.h"

#include <cmath>
#include <cstdint>

inline double oracle_counts_per_fringe(int32_t phase_res) {
    return phase_res == 0 ? 4096.0 : phase_res == 1 ? 32768.0 : 131072.0;
}

inline const char *oracle_phase_res_word(int32_t phase_res) {
    return phase_res == 0 ? "Normal" : phase_res == 1 ? "High" : "Super";
}

// ((S * R_out) * O) * L / (((R * S1) * 1) * L1), in double from the widened
// fields, with S1 and L1 from the first input.
inline double oracle_unit_factor(const df_hdr_t &first, const df_hdr_t &in, int32_t out_res) {
    const double numerator =
        ((static_cast<double>(in.IntfScaleFactor) * oracle_counts_per_fringe(out_res)) *
         static_cast<double>(in.ObliquityFactor)) *
        static_cast<double>(in.WavelengthIn);
    const double denominator =
        ((oracle_counts_per_fringe(in.PhaseRes) * static_cast<double>(first.IntfScaleFactor)) *
         1.0) *
        static_cast<double>(first.WavelengthIn);
    return numerator / denominator;
}

// Only a factor within 1e-10 of 1 is skipped; a NaN one is applied (it makes
// every pixel of the input invalid).
inline bool oracle_factor_applies(double factor) {
    return !(std::fabs(factor - 1.0) <= 1e-10);
}
