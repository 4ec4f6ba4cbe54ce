// The Kelvorin entry: its run settings and input name table, the command
// line, and the console that shows what the RSS run writes.
#pragma once

#include "rss/rss.h"

#include <cstdint>

constexpr const char *PROGRAM_NAME = "Kelvorin";

// Written only by the command line parser.
struct run_settings_t {
    const char *out_name; // output file name, or null when not given
    int32_t phase_res;    // -1 from the first input, 0 Normal, 1 High, 2 Super
    bool overwrite;
    bool verbose;
};

// Input names in the order they were met; the copies (from strdup) live
// until the process ends. One name more than a run takes ends the reading of
// the arguments, and the request's check refuses it.
struct input_table_t {
    char *names[RSS_MAX_INPUTS + 1];
    int32_t count;
};

// The entry's own; the run is handed what it needs in its request.
extern run_settings_t g_settings;
extern input_table_t g_inputs;

// The whole program: parses the command line, checks the inputs, asks before
// replacing an existing output, runs the RSS on the console. Yields the exit
// status (0 or 1); main ends the process with it.
int tool_main(int argc, char **argv);

// Writes the usage text to standard output.
void print_usage();

// Appends the names of a list file to the input table; false after writing
// its own error message.
bool read_list_file(const char *path);

// The console as a sink: report text to standard output, messages to
// standard error with the program's name.
rss_sink_t console_sink();

// rss_compute on the run settings and the input table, its report on
// standard output and its messages on standard error. False when it fails.
bool run_on_console();

// Returns settings and table to their start state, releasing the name copies
// (lets tests run the entry more than once in one process).
void tool_reset();

// Writes an error message to standard error: the program name on one line,
// then "ERROR: " and the formatted text on the next.
[[gnu::format(printf, 1, 2)]] void print_error(const char *format, ...);
