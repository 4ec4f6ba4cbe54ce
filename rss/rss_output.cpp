// The output file's life cycle. Every change of its state is made here.
#include "rss/rss_output.h"

#include "support/support.h"

#include <cstring>

namespace {

// Closes the file written ahead; false when flushing or closing fails.
bool close_ahead(rss_output_t *o) {
    bool ok = std::fflush(o->file) == 0;
    ok = std::fclose(o->file) == 0 && ok;
    o->file = nullptr;
    return ok;
}

} // namespace

bool output_make(rss_output_t *o) {
    std::FILE *file = u_fopen_path(o->name, "w");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    o->state = OUT_EMPTIED;
    return true;
}

bool output_may_begin_ahead(const rss_output_t *o) {
    return o->state == OUT_EMPTIED;
}

bool output_begin_ahead(rss_output_t *o, const df_hdr_t *record, int32_t first_row) {
    if (o->state != OUT_EMPTIED) {
        return o->state == OUT_AHEAD;
    }
    const window_t any = {0, 0, 1, 1};
    unsigned char header[DF_LONG_HEADER];
    if (o->whole_only || !u_is_regular_file(o->name) ||
        df_phase_header(nullptr, record, &any, header, &o->header) != 0) {
        o->state = OUT_WHOLE_ONLY;
        return false;
    }
    o->file = u_fopen_path(o->name, "wb");
    o->state = OUT_AHEAD_DROPPED;
    if (o->file == nullptr) {
        return false;
    }
    std::setvbuf(o->file, nullptr, _IONBF, 0); // written in large pieces only
    std::memset(header, 0, o->header);
    if (std::fwrite(header, 1, o->header, o->file) != o->header) {
        close_ahead(o); // nothing of the result written yet
        return false;
    }
    o->state = OUT_AHEAD;
    o->next_row = first_row;
    return true;
}

bool output_writing_ahead(const rss_output_t *o) {
    return o->state == OUT_AHEAD;
}

bool output_ahead_started(const rss_output_t *o) {
    return o->state == OUT_AHEAD || o->state == OUT_AHEAD_FAILED;
}

void output_write_ahead(rss_output_t *o, const void *bytes, std::size_t n) {
    if (o->state == OUT_AHEAD && std::fwrite(bytes, 1, n, o->file) != n) {
        o->state = OUT_AHEAD_FAILED;
    }
}

ahead_result output_complete(rss_output_t *o, const df_hdr_t *record, const window_t *window) {
    if (o->state != OUT_AHEAD && o->state != OUT_AHEAD_FAILED) {
        return AHEAD_NOT_WRITTEN;
    }
    unsigned char header[DF_LONG_HEADER];
    std::size_t length = 0;
    bool ok = o->state == OUT_AHEAD &&
              df_phase_header(nullptr, record, window, header, &length) == 0 &&
              length == o->header && std::fseek(o->file, 0, SEEK_SET) == 0 &&
              std::fwrite(header, 1, length, o->file) == length;
    ok = close_ahead(o) && ok;
    o->state = ok ? OUT_WRITTEN : OUT_FAILED;
    return ok ? AHEAD_DONE : AHEAD_FAILED;
}

int32_t output_write_whole(rss_output_t *o, const df_hdr_t *record, const int_map_t *result) {
    const int32_t code = df_write(o->name, nullptr, record, nullptr, result);
    o->state = code == 0 ? OUT_WRITTEN : OUT_FAILED;
    return code;
}

void output_close(rss_output_t *o, bool run_failed) {
    if (o->file != nullptr) {
        std::fclose(o->file);
        o->file = nullptr;
    }
    const bool reopened =
        o->state == OUT_AHEAD || o->state == OUT_AHEAD_FAILED || o->state == OUT_AHEAD_DROPPED;
    if (run_failed && reopened) {
        o->state = OUT_NOT_MADE;
        output_make(o);
    }
}
