// The output file of the run, through its life: made (created or emptied)
// before any input is read, perhaps written ahead of the end while inputs are
// still folded, and ended once: completed with the result, or, when the run
// fails, emptied again. Every decision about the file is made here.
#pragma once

#include "datafile/datafile.h"
#include "rss/rss_units.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum output_state : uint8_t {
    OUT_EMPTIED, // made; nothing of the result in it
    OUT_AHEAD,   // rows of the result written ahead, the header's place kept
    OUT_BROKEN,  // written ahead, and that failed: it may hold part of a result
    OUT_CLOSED,  // ended
};

// The run's thread only.
struct rss_output_t {
    const char *name;
    bool may_write_ahead; // as the tuning allows, under a narrow name, a regular file
    output_state state;
    std::FILE *file;    // open while written ahead
    std::size_t header; // bytes kept for the header when written ahead
    int32_t next_row;   // the next camera row to write ahead
};

// Creates or empties the file (OUT_EMPTIED); false when that fails.
bool output_make(rss_output_t *o, const char *name, bool write_ahead);

// Starts writing ahead from camera row first_row when the file allows it:
// OUT_AHEAD. A file that cannot be opened again gives it up for good (the
// result is written whole at the end); one that opens and then fails is
// OUT_BROKEN. `record` decides the header's length.
void output_begin_ahead(rss_output_t *o, const df_hdr_t *record, int32_t first_row);

// Appends rows written ahead; a failure turns OUT_AHEAD into OUT_BROKEN.
void output_write_ahead(rss_output_t *o, const void *bytes, std::size_t n);

// The trimmed result in memory for the library's writer, made only when it
// is needed: the map, or null when its rows are no longer kept.
struct output_whole_t {
    const int_map_t *(*make)(void *context);
    void *context;
};

// Ends the file. With a record (the result is there): completes a file
// written ahead with its header, or else writes the result whole; yields 0
// or the code of the failure, and the file holds what the writing left.
// Without one (the run failed): a file that may hold part of a result is
// emptied again; yields ERR_CANT_CREATE_FILE when it cannot be, else 0.
// OUT_CLOSED in every case.
[[nodiscard]] int32_t output_end(rss_output_t *o, const df_hdr_t *record, const window_t *window,
                                 output_whole_t whole);

// The record the result is written under: the latest input time stamp (its
// low 32 bits), the first input's pixel size, lateral resolution, camera
// size, scale factor and wavelength, the output phase resolution, an
// ObliquityFactor of 1 and the comment naming the number of inputs. Every
// other field is zero.
void output_record(const rss_frame_t &frame, int64_t latest_time, int32_t input_count,
                   df_hdr_t *record);
