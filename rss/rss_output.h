// The output file of the RSS run, through its life: made (created or
// emptied) before any input matters, possibly written ahead of the end while
// inputs are still folded, and in the end written whole, completed, or
// emptied again when the run fails.
#pragma once

#include "datafile/datafile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum output_state : uint8_t {
    OUT_NOT_MADE,      // not yet created or emptied, or that failed
    OUT_EMPTIED,       // created or emptied; the result is still to come
    OUT_WHOLE_ONLY,    // as emptied, but it cannot be written ahead
    OUT_AHEAD,         // rows of the result written ahead, the header's place kept
    OUT_AHEAD_FAILED,  // writing ahead failed: the rows written are not all there
    OUT_AHEAD_DROPPED, // reopened to write ahead, which could not start; holds no result
    OUT_WRITTEN,       // the result is in it, whole
    OUT_FAILED,        // writing the result failed; left as the writing left it
};

// The run's thread only.
struct rss_output_t {
    const char *name;
    bool whole_only; // never written ahead: a name behind a byte-order mark, or as tuned
    output_state state;
    std::FILE *file;    // open while written ahead
    std::size_t header; // bytes kept for the header when written ahead
    int32_t next_row;   // next camera row to write ahead
};

// Creates or empties the file: OUT_NOT_MADE to OUT_EMPTIED; false (and it
// stays OUT_NOT_MADE) when that fails.
bool output_make(rss_output_t *o);

// Whether writing ahead may still begin (made, and nothing tried yet).
bool output_may_begin_ahead(const rss_output_t *o);

// Starts writing ahead from camera row first_row, when the file allows it:
// only a regular file can take its header last, and a name behind a
// byte-order mark would take memory to open, which this optional path must
// not. `record` decides the header's length. False when not writing ahead
// (for good: the result is then written whole at the end).
bool output_begin_ahead(rss_output_t *o, const df_hdr_t *record, int32_t first_row);

// Whether rows may still be written ahead (OUT_AHEAD).
bool output_writing_ahead(const rss_output_t *o);

// Whether writing ahead has begun, failed since or not: rows go to the file
// and are not kept.
bool output_ahead_started(const rss_output_t *o);

// Appends rows written ahead; the failure is kept for the end.
void output_write_ahead(rss_output_t *o, const void *bytes, std::size_t n);

enum ahead_result : uint8_t { AHEAD_DONE, AHEAD_NOT_WRITTEN, AHEAD_FAILED };

// Completes a file written ahead with its header (its rows must all be
// written) and closes it: AHEAD_DONE (OUT_WRITTEN), AHEAD_FAILED (OUT_FAILED),
// or AHEAD_NOT_WRITTEN when nothing was written ahead.
ahead_result output_complete(rss_output_t *o, const df_hdr_t *record, const window_t *window);

// Writes the result whole with the library's writer: OUT_WRITTEN, or
// OUT_FAILED with the writer's code.
[[nodiscard]] int32_t output_write_whole(rss_output_t *o, const df_hdr_t *record,
                                         const int_map_t *result);

// The run ends: a file still open is closed, and when the run failed, one
// written ahead (and not yet settled by the result's writing) is emptied
// again, as it was made at the start.
void output_close(rss_output_t *o, bool run_failed);
