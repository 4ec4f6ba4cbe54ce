// Plausibility checks on the attribute records of data files.
#include "datafile/datafile.h"

#include <cstring>

namespace {

void set_message(char *msg, const char *text) {
    if (msg != nullptr) {
        std::memcpy(msg, text, std::strlen(text) + 1);
    }
}

int32_t fail(char *msg, int32_t code, const char *text) {
    set_message(msg, text);
    return code;
}

struct extent_t {
    int32_t right;  // x + width
    int32_t bottom; // y + height
};

extent_t extent_of(const window_t &w) {
    return {int32_t{w.x} + w.width, int32_t{w.y} + w.height};
}

int32_t max32(int32_t a, int32_t b) {
    return a > b ? a : b;
}

// Comparisons are written so that a NaN passes every "<= 0" / "< 0" test.
int32_t check_one(df_hdr_t *hdr, const intens_map_t *intens, const int_map_t *phase, bool strict,
                  char *msg) {
    set_message(msg, "");
    if (hdr->CameraWidth <= 0 || hdr->CameraHeight <= 0) {
        if (strict) {
            return fail(msg, ERR_IMPROPER_WINDOW,
                        "Camera width or height less than or equal to zero.");
        }
        hdr->CameraWidth = 0;
        hdr->CameraHeight = 0;
    }
    if (hdr->CameraRes < 0) {
        return fail(msg, ERR_INVALID_PARAM, "Lateral resolution is less than zero.");
    }
    if (!(hdr->PixelWidth == hdr->PixelHeight)) {
        return fail(msg, ERR_INVALID_PARAM, "Unequal camera pixel width and height.");
    }
    extent_t phase_extent{0, 0};
    if (phase != nullptr) {
        if (hdr->IntfScaleFactor <= 0) {
            return fail(msg, ERR_PARAM_OUT_OF_RANGE,
                        "Interferometric scale factor less than or equal to zero.");
        }
        if (hdr->WavelengthIn <= 0) {
            return fail(msg, ERR_PARAM_OUT_OF_RANGE, "Wavelength-in less than or equal to zero.");
        }
        if (hdr->ObliquityFactor <= 0) {
            return fail(msg, ERR_PARAM_OUT_OF_RANGE,
                        "Obliquity factor less than or equal to zero.");
        }
        phase_extent = extent_of(phase->window);
    }
    const extent_t intens_extent = intens != nullptr ? extent_of(intens->window) : extent_t{0, 0};
    const int32_t right = max32(phase_extent.right, intens_extent.right);
    const int32_t bottom = max32(phase_extent.bottom, intens_extent.bottom);
    if ((hdr->CameraWidth > 0 && hdr->CameraWidth < right) ||
        (hdr->CameraHeight > 0 && hdr->CameraHeight < bottom)) {
        return fail(msg, ERR_IMPROPER_WINDOW, "Camera width or height inconsistent with data.");
    }
    return 0;
}

} // namespace

int32_t df_check_attr_list(df_hdr_t *hdrs, const intens_map_t *intens, const int_map_t *phase,
                           bool strict, int32_t count, const uint8_t *selection, char *msg) {
    for (int32_t i = 0; i < count; ++i) {
        if (selection != nullptr && selection[i] != 1) {
            continue;
        }
        // A map takes part only when it holds data.
        const intens_map_t *im =
            intens != nullptr && intens[i].matrix != nullptr ? &intens[i] : nullptr;
        const int_map_t *pm = phase != nullptr && phase[i].matrix != nullptr ? &phase[i] : nullptr;
        if (const int32_t rc = check_one(&hdrs[i], im, pm, strict, msg); rc != 0) {
            return rc;
        }
    }
    return 0;
}

int32_t df_check_attr(df_hdr_t *hdr, const intens_map_t *intens, const int_map_t *phase,
                      bool strict, char *msg) {
    return df_check_attr_list(hdr, intens, phase, strict, 1, nullptr, msg);
}
