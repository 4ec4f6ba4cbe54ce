// Attribute checks: each message with its code, the order of the checks,
// strict and lenient camera sizes, NaN fields and record selection.
#include "df_bytes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The checked attributes; the defaults pass.
struct attrs_t {
    int16_t cam_w = 640;
    int16_t cam_h = 480;
    float res = 1e-6f;
    float pix_w = 5.5e-6f;
    float pix_h = 5.5e-6f;
    float scale = 0.5f;
    float wave = 633e-9f;
    float obliq = 1.0f;
};

df_hdr_t make_hdr(const attrs_t &a) {
    df_hdr_t h{};
    h.CameraWidth = a.cam_w;
    h.CameraHeight = a.cam_h;
    h.CameraRes = a.res;
    h.PixelWidth = a.pix_w;
    h.PixelHeight = a.pix_h;
    h.IntfScaleFactor = a.scale;
    h.WavelengthIn = a.wave;
    h.ObliquityFactor = a.obliq;
    return h;
}

int32_t g_cell;
uint16_t g_sample;

int_map_t phase_map(window_t w) {
    return int_map_t{1, w, &g_cell};
}

constexpr float kNaN = NAN;
const window_t kNone{};
const window_t kPixel{0, 0, 1, 1};

const char *const kNoCamera = "Camera width or height less than or equal to zero.";
const char *const kNegativeRes = "Lateral resolution is less than zero.";
const char *const kUnequalPixels = "Unequal camera pixel width and height.";
const char *const kScale = "Interferometric scale factor less than or equal to zero.";
const char *const kWavelength = "Wavelength-in less than or equal to zero.";
const char *const kObliquity = "Obliquity factor less than or equal to zero.";
const char *const kMisfit = "Camera width or height inconsistent with data.";

struct check_case_t {
    const char *what;
    attrs_t attrs;
    window_t phase;  // width 0: no phase data
    window_t intens; // width 0: no intensity data
    int32_t rc;
    const char *msg;
};

const check_case_t kCases[] = {
    {"valid", {}, {0, 0, 640, 480}, kNone, 0, ""},
    {"zero camera width", {.cam_w = 0}, kNone, kNone, ERR_IMPROPER_WINDOW, kNoCamera},
    {"negative camera height", {.cam_h = -1}, kNone, kNone, ERR_IMPROPER_WINDOW, kNoCamera},
    {"camera size first", {.cam_w = 0, .res = -1}, kNone, kNone, ERR_IMPROPER_WINDOW, kNoCamera},
    {"zero resolution", {.res = 0}, kNone, kNone, 0, ""},
    {"negative zero resolution", {.res = -0.0f}, kNone, kNone, 0, ""},
    {"NaN resolution", {.res = kNaN}, kNone, kNone, 0, ""},
    {"negative resolution", {.res = -0.000001f}, kNone, kNone, ERR_INVALID_PARAM, kNegativeRes},
    {"resolution before pixels",
     {.res = -1, .pix_w = 1},
     kNone,
     kNone,
     ERR_INVALID_PARAM,
     kNegativeRes},
    {"pixels differ by one ulp",
     {.pix_h = std::nextafter(5.5e-6f, 1.0f)},
     kNone,
     kNone,
     ERR_INVALID_PARAM,
     kUnequalPixels},
    {"NaN pixel width", {.pix_w = kNaN}, kNone, kNone, ERR_INVALID_PARAM, kUnequalPixels},
    {"both pixels NaN",
     {.pix_w = kNaN, .pix_h = kNaN},
     kNone,
     kNone,
     ERR_INVALID_PARAM,
     kUnequalPixels},
    {"zero scale, no phase data", {.scale = 0}, kNone, kPixel, 0, ""},
    {"zero scale", {.scale = 0}, kPixel, kNone, ERR_PARAM_OUT_OF_RANGE, kScale},
    {"NaN scale", {.scale = kNaN}, kPixel, kNone, 0, ""},
    {"zero wavelength, no phase data", {.wave = 0}, kNone, kNone, 0, ""},
    {"negative wavelength", {.wave = -633e-9f}, kPixel, kNone, ERR_PARAM_OUT_OF_RANGE, kWavelength},
    {"NaN wavelength", {.wave = kNaN}, kPixel, kNone, 0, ""},
    {"scale before wavelength",
     {.scale = -1, .wave = -1},
     kPixel,
     kNone,
     ERR_PARAM_OUT_OF_RANGE,
     kScale},
    {"zero obliquity", {.obliq = 0}, kPixel, kNone, ERR_PARAM_OUT_OF_RANGE, kObliquity},
    {"NaN obliquity", {.obliq = kNaN}, kPixel, kNone, 0, ""},
    {"phase fits exactly", {}, {10, 0, 630, 480}, kNone, 0, ""},
    {"phase a column too wide", {}, {10, 0, 631, 1}, kNone, ERR_IMPROPER_WINDOW, kMisfit},
    {"phase a row too tall", {}, {0, 400, 1, 81}, kNone, ERR_IMPROPER_WINDOW, kMisfit},
    {"intensity too wide", {}, kPixel, {600, 0, 41, 1}, ERR_IMPROPER_WINDOW, kMisfit},
    {"extent beyond 16 bits",
     {.cam_w = 32767},
     {32767, 0, 32767, 1},
     kNone,
     ERR_IMPROPER_WINDOW,
     kMisfit},
};

TEST(DfCheck, MessagesCodesAndOrder) {
    for (const check_case_t &c : kCases) {
        SCOPED_TRACE(c.what);
        df_hdr_t h = make_hdr(c.attrs);
        const int_map_t phase = phase_map(c.phase);
        const intens_map_t intens{1, c.intens, 1, 0, &g_sample};
        const int_map_t *pm = c.phase.width != 0 ? &phase : nullptr;
        const intens_map_t *im = c.intens.width != 0 ? &intens : nullptr;
        char msg[DF_CHECK_MSG_SIZE];
        std::memset(msg, 'x', sizeof msg);
        EXPECT_EQ(df_check_attr(&h, im, pm, true, msg), c.rc);
        EXPECT_STREQ(msg, c.msg);
        EXPECT_EQ(df_check_attr(&h, im, pm, true, nullptr), c.rc);
    }
}

TEST(DfCheck, MapsWithoutDataTakeNoPart) {
    df_hdr_t h = make_hdr({.wave = 0});
    const int_map_t empty_phase{0, {0, 0, 1000, 1000}, nullptr};
    const intens_map_t empty_intens{0, {0, 0, 1000, 1000}, 1, 0, nullptr};
    EXPECT_EQ(df_check_attr(&h, &empty_intens, &empty_phase, true, nullptr), 0);
}

TEST(DfCheck, LenientModeClearsTheCameraSize) {
    df_hdr_t h = make_hdr({.cam_w = -5});
    const int_map_t phase = phase_map({0, 0, 5000, 5000}); // cannot misfit a cleared camera
    char msg[DF_CHECK_MSG_SIZE];
    EXPECT_EQ(df_check_attr(&h, nullptr, &phase, false, msg), 0);
    EXPECT_EQ(h.CameraWidth, 0);
    EXPECT_EQ(h.CameraHeight, 0);
    EXPECT_STREQ(msg, "");

    h = make_hdr({.cam_h = 0, .pix_h = 1}); // the later checks still run
    EXPECT_EQ(df_check_attr(&h, nullptr, nullptr, false, msg), ERR_INVALID_PARAM);
    EXPECT_STREQ(msg, kUnequalPixels);
}

TEST(DfCheck, ListSelectionAndFirstFailure) {
    const df_hdr_t hdrs[4] = {make_hdr({}), make_hdr({.res = -1}), make_hdr({.cam_w = 0}),
                              make_hdr({.obliq = 0})};
    const int_map_t phases[4] = {phase_map(kPixel), phase_map(kPixel), phase_map(kPixel),
                                 phase_map(kPixel)};
    struct row_t {
        const char *what;
        uint8_t selection[4];
        bool use_selection;
        bool strict;
        int32_t count;
        int32_t rc;
        const char *msg;
    };
    const row_t rows[] = {
        {"all, strict", {}, false, true, 4, ERR_INVALID_PARAM, kNegativeRes},
        {"skip 1", {1, 0, 1, 1}, true, true, 4, ERR_IMPROPER_WINDOW, kNoCamera},
        {"skip 1, lenient", {1, 0, 1, 1}, true, false, 4, ERR_PARAM_OUT_OF_RANGE, kObliquity},
        {"only exactly 1 selects",
         {1, 2, 255, 1},
         true,
         true,
         4,
         ERR_PARAM_OUT_OF_RANGE,
         kObliquity},
        {"nothing selected", {0, 2, 0, 0}, true, true, 4, 0, "untouched"},
        {"count 1", {}, false, true, 1, 0, ""},
        {"count 0", {}, false, true, 0, 0, "untouched"},
        {"negative count", {}, false, true, -3, 0, "untouched"},
    };
    for (const row_t &row : rows) {
        SCOPED_TRACE(row.what);
        char msg[DF_CHECK_MSG_SIZE] = "untouched";
        df_hdr_t copy[4];
        std::memcpy(copy, hdrs, sizeof copy);
        EXPECT_EQ(df_check_attr_list(copy, nullptr, phases, row.strict, row.count,
                                     row.use_selection ? row.selection : nullptr, msg),
                  row.rc);
        EXPECT_STREQ(msg, row.msg);
    }
}

} // namespace
