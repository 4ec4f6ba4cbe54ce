// What the RSS run writes about its output and its inputs, report text and
// messages, through the caller's sink: the output's lines, then each input's
// lines in input order up to the first input that fails, its message last.
#pragma once

#include "rss/rss.h"
#include "rss/rss_inputs.h"

#include <cstdint>

// Whether a code is one of the run's own (rss_error_code): its message is
// the only one, and says all; any other code still needs its name written.
constexpr bool report_is_own_code(int32_t code) {
    return code >= RSS_ERR_OUTPUT_IS_INPUT && code <= RSS_ERR_NO_VALID_RESULT;
}

// Writes one message; a text longer than a stack buffer is formatted into a
// block from the memory hooks (cut short only when none can be had).
[[gnu::format(printf, 2, 3)]] void report_message(const rss_sink_t *sink, const char *format, ...);

// The message of a library code: its name.
void report_code(const rss_sink_t *sink, int32_t code);

// The report lines of the output file: its name and, when the run's setting
// gives it, the output phase resolution.
void report_output(const rss_sink_t *sink, const char *out_name, int32_t phase_res_setting,
                   int32_t out_phase_res);

// Writes what the run writes for one input of a batch (its report lines when
// verbose, and the message of its failure) and yields the code that ends the
// run there, 0 to go on. A library code's name is left to the caller. Moves
// *latest_time on to the input's time stamp.
[[nodiscard]] int32_t report_member(const rss_sink_t *sink, const member_t &m, bool verbose,
                                    int64_t *latest_time);

// The message of a failed run whose output file could not be emptied again:
// it may hold part of a result.
void report_output_not_emptied(const rss_sink_t *sink, const char *out_name);

// The report lines of the result's window, and the lines after writing it.
void report_result_window(const rss_sink_t *sink, const window_t &window);
void report_written(const rss_sink_t *sink, const char *out_name);
