// The RSS run as a library operation: the per-pixel root of the sum of the
// squares of the height maps of several data files, written as a new data
// file. Any number of runs may go on at once in one process, each on its own
// inputs and output.
#pragma once

#include "support/support.h"

#include <cstdint>

// What to compute.
struct rss_request_t {
    const char *out_name;     // output data file, created or emptied by the run
    int32_t phase_res;        // -1: from the first input; 0 Normal, 1 High, 2 Super
    bool verbose;             // write the report lines
    const char *const *names; // input data files, in order
    int32_t count;            // 1 to 10000
};

// Where the run's text goes. Null functions (or a null sink) mean silent.
// Both are called on the thread that called rss_compute, and must return
// normally: the run is built without exceptions and cannot unwind.
struct rss_sink_t {
    void *context;
    // Report text, piece by piece: the pieces, joined, are the report.
    void (*report)(void *context, const char *text);
    // One error message, without a final line end.
    void (*message)(void *context, const char *text);
};

constexpr int32_t RSS_MAX_INPUTS = 10000;

// Codes of the failures whose message comes from no library code. They lie
// outside the library's numbering (u_error_text gives null for them).
enum rss_error_code : int32_t {
    RSS_ERR_OUTPUT_IS_INPUT = 1001,      // Output file "<out>" is also an input file
    RSS_ERR_CANNOT_CREATE_OUTPUT = 1002, // Cannot create output file "<out>"
    RSS_ERR_NO_HEIGHT_DATA = 1003,       // Input file "<in>" contains no height data
    RSS_ERR_NO_VALID_INPUT_DATA = 1004,  // Input file "<in>" contains no valid data points
    RSS_ERR_CAMERA_SIZE_MISMATCH = 1005, // Input file "<in>" has mismatched CameraWidth or
                                         // CameraHeight
    RSS_ERR_CAMERA_RES_MISMATCH = 1006,  // Input file "<in>" has mismatched CameraRes
    RSS_ERR_NO_VALID_RESULT = 1007,      // RSS result map contains no valid data points
};

// Computes the RSS of the request's inputs and writes it to the output file.
// Yields 0, or the code of the failure, after exactly one message:
//   - a code above, with the message shown beside it;
//   - the reader's code (ERR_CORRUPT_DATA_FILE, ERR_CANT_OPEN_FILE, ...) with
//     `Error reading input file "<in>"`;
//   - the attribute check's code with `Invalid attribute information in
//     input file "<in>"`, a line end and the check's own text;
//   - any other library code (ERR_INVALID_PARAM, ERR_NO_MEM, ERR_FP_OVERFLOW,
//     ERR_IMPROPER_WINDOW, the writer's codes) with the code's name as the
//     message.
// A request with no inputs, more than RSS_MAX_INPUTS, a null name or a phase
// resolution outside -1..2 is ERR_INVALID_PARAM, and an output that is one of
// the inputs (under any name) RSS_ERR_OUTPUT_IS_INPUT; no file is touched
// then. Any other failure leaves the output empty, unless writing the result
// itself failed. The inputs are never changed. All memory comes through the
// memory hooks, except the helper thread's own record, which the C++
// runtime allocates.
[[nodiscard]] int32_t rss_compute(const rss_request_t *request, const rss_sink_t *sink);
