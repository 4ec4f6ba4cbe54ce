// What the RSS run writes on the console about its output and its inputs,
// in the order a run that takes its inputs one by one writes it.
#pragma once

#include "tool/rss_inputs.h"

#include <cstdint>

// Result code of a failure whose message has already been written.
constexpr int32_t ALREADY_REPORTED = -1;

// The report lines of the output file: its name and, when the run's setting
// gives it, the output phase resolution.
void report_output(const char *out_name, int32_t phase_res_setting, int32_t out_phase_res);

// Writes what the run writes for one input of a batch (its report lines when
// verbose, and the message of its failure) and yields the code that ends the
// run there, 0 to go on. Moves *latest_time on to the input's time stamp.
[[nodiscard]] int32_t report_member(const member_t &m, bool verbose, int64_t *latest_time);

// The report lines of the result's window, and the lines after writing it.
void report_result_window(const window_t &window);
void report_written(const char *out_name);
