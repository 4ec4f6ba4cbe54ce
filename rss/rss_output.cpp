// The output file's life. Every change of its state is made here.
#include "rss/rss_output.h"

#include "support/support.h"

#include <algorithm>
#include <cstring>

namespace {

// Closes the file written ahead; false when flushing or closing fails.
bool close_ahead(rss_output_t *o) {
    bool ok = std::fflush(o->file) == 0;
    ok = std::fclose(o->file) == 0 && ok;
    o->file = nullptr;
    return ok;
}

bool empty_file(const char *name) {
    std::FILE *file = u_fopen_path(name, "w");
    return file != nullptr && std::fclose(file) == 0;
}

} // namespace

bool output_make(rss_output_t *o, const char *name, bool write_ahead) {
    *o = rss_output_t{name, false, OUT_EMPTIED, nullptr, 0, 0};
    if (!empty_file(name)) {
        return false;
    }
    // Only a regular file can take its header last, and a name behind a
    // byte-order mark would take memory to open, which this optional path
    // must not.
    o->may_write_ahead = write_ahead && !u_path_has_wide_mark(name) && u_is_regular_file(name);
    return true;
}

void output_begin_ahead(rss_output_t *o, const df_hdr_t *record, int32_t first_row) {
    const window_t any = {0, 0, 1, 1};
    unsigned char header[DF_LONG_HEADER];
    if (o->state != OUT_EMPTIED || !o->may_write_ahead ||
        df_phase_header(nullptr, record, &any, header, &o->header) != 0) {
        return;
    }
    o->may_write_ahead = false; // tried once
    o->file = u_fopen_path(o->name, "wb");
    if (o->file == nullptr) {
        return;
    }
    std::setvbuf(o->file, nullptr, _IONBF, 0); // written in large pieces only
    std::memset(header, 0, o->header);
    if (std::fwrite(header, 1, o->header, o->file) == o->header) {
        o->state = OUT_AHEAD;
        o->next_row = first_row;
    } else if (!close_ahead(o) || !empty_file(o->name)) {
        o->state = OUT_BROKEN; // perhaps part of a header: emptied at the end
    }
}

void output_write_ahead(rss_output_t *o, const void *bytes, std::size_t n) {
    if (o->state == OUT_AHEAD && std::fwrite(bytes, 1, n, o->file) != n) {
        o->state = OUT_BROKEN;
    }
}

int32_t output_end(rss_output_t *o, const df_hdr_t *record, const window_t *window,
                   output_whole_t whole) {
    const output_state state = o->state;
    o->state = OUT_CLOSED;
    if (state == OUT_AHEAD && record != nullptr) {
        unsigned char header[DF_LONG_HEADER];
        std::size_t length = 0;
        bool ok = df_phase_header(nullptr, record, window, header, &length) == 0 &&
                  length == o->header && std::fseek(o->file, 0, SEEK_SET) == 0 &&
                  std::fwrite(header, 1, length, o->file) == length;
        if (close_ahead(o) && ok) {
            return 0;
        }
    }
    if (o->file != nullptr) {
        std::fclose(o->file);
        o->file = nullptr;
    }
    if (record == nullptr) { // the run failed: no part of a result may stay
        const bool holds_part = state == OUT_AHEAD || state == OUT_BROKEN;
        return holds_part && !empty_file(o->name) ? ERR_CANT_CREATE_FILE : 0;
    }
    // Rows written ahead may be kept no more: once part of them is lost, the
    // result cannot be written whole any more.
    const int_map_t *map = whole.make(whole.context);
    return map != nullptr ? df_write(o->name, nullptr, record, nullptr, map) : ERR_CANT_WRITE_FILE;
}

void output_record(const rss_frame_t &frame, int64_t latest_time, int32_t input_count,
                   df_hdr_t *record) {
    df_hdr_t &r = *record;
    r = df_hdr_t{};
    r.TimeStamp = static_cast<int32_t>(latest_time);
    r.PixelWidth = frame.pixel_width;
    r.PixelHeight = frame.pixel_height;
    r.CameraRes = frame.camera_res;
    r.CameraWidth = frame.camera_width;
    r.CameraHeight = frame.camera_height;
    r.PhaseRes = static_cast<int16_t>(frame.out_phase_res);
    r.IntfScaleFactor = frame.scale_factor;
    r.WavelengthIn = frame.wavelength;
    r.ObliquityFactor = 1.0f;
    // At most 81 characters of the sentence, then the terminating zero.
    char text[128];
    std::snprintf(text, sizeof text, "RSS result map computed from %d input data files",
                  static_cast<int>(input_count));
    const std::size_t length = std::min(std::strlen(text), sizeof r.comment - 1);
    std::memcpy(r.comment, text, length);
    r.comment[length] = '\0';
}
