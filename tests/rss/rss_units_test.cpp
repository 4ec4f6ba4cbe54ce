// The unit formula against worked values, so that a wrong factor is caught
// rather than copied.
#include "rss/rss_output.h"
#include "rss/rss_units.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Output units: IntfScaleFactor 0.5, 632.8 nm, Super.
constexpr rss_frame_t FRAME = {64, 48, 5.5e-6f, 5.5e-6f, 5.5e-6f, 0.5f, 632.8e-9f, 2};
constexpr rss_input_units_t SAME = {0.5f, 1.0f, 632.8e-9f, 2};

TEST(RssUnits, WorkedFactors) {
    const struct {
        const char *name;
        rss_frame_t frame;
        rss_input_units_t input;
        double factor;
    } cases[] = {
        {"same units", FRAME, SAME, 1.0},
        {"High input into Super output", FRAME, {0.5f, 1.0f, 632.8e-9f, 1}, 4.0},
        {"Normal input into Super output", FRAME, {0.5f, 1.0f, 632.8e-9f, 0}, 32.0},
        {"Super input into Normal output", {64, 48, 0, 0, 0, 0.5f, 632.8e-9f, 0}, SAME, 1.0 / 32},
        {"obliquity 0.5", FRAME, {0.5f, 0.5f, 632.8e-9f, 2}, 0.5},
        {"wavelength ratio 2", FRAME, {0.5f, 1.0f, 1265.6e-9f, 2}, 2.0},
        {"scale factor ratio 3", FRAME, {1.5f, 1.0f, 632.8e-9f, 2}, 3.0},
        {"unknown code counts as Super", FRAME, {0.5f, 1.0f, 632.8e-9f, 7}, 1.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(unit_factor(c.frame, c.input), c.factor, c.factor * 1e-7);
    }
}

TEST(RssUnits, OnlyFactorsWithinTheToleranceOfOneAreSkipped) {
    EXPECT_FALSE(unit_factor_applies(1.0));
    EXPECT_FALSE(unit_factor_applies(1.0 + 0.9e-10));
    EXPECT_TRUE(unit_factor_applies(1.0 + 1.1e-10));
    EXPECT_TRUE(unit_factor_applies(4.0));
    EXPECT_TRUE(unit_factor_applies(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_TRUE(unit_factor_applies(std::numeric_limits<double>::infinity()));
    rss_input_units_t nan_wave = SAME;
    nan_wave.wavelength = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(unit_factor_applies(unit_factor(FRAME, nan_wave)));
}

TEST(RssUnits, PhaseResolutionWords) {
    EXPECT_STREQ(df_phase_res_name(0), "Normal");
    EXPECT_STREQ(df_phase_res_name(1), "High");
    EXPECT_STREQ(df_phase_res_name(2), "Super");
    EXPECT_STREQ(df_phase_res_name(-1), "Super");
    EXPECT_EQ(df_counts_per_fringe(-1), 131072);
}

TEST(RssUnits, OutputRecord) {
    df_hdr_t o;
    std::memset(&o, 0x5A, sizeof o);
    output_record(FRAME, int64_t{1} << 32 | 7, 123, &o);
    EXPECT_EQ(o.TimeStamp, 7); // low 32 bits
    EXPECT_EQ(o.CameraWidth, 64);
    EXPECT_EQ(o.CameraHeight, 48);
    EXPECT_EQ(o.PhaseRes, 2);
    EXPECT_EQ(o.ObliquityFactor, 1.0f);
    EXPECT_EQ(o.IntfScaleFactor, 0.5f);
    EXPECT_STREQ(o.comment, "RSS result map computed from 123 input data files");
    EXPECT_EQ(o.f162, 0); // every other field zero
}

} // namespace
