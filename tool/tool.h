// The Kelvorin driver: run settings, the input name table, the entry, the RSS
// run and the console output they share.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char *PROGRAM_NAME = "Kelvorin";
constexpr int32_t MAX_INPUT_FILES = 10000;

// Written only by the command line parser.
struct run_settings_t {
    const char *out_name; // output file name, or null when not given
    int32_t phase_res;    // -1 from the first input, 0 Normal, 1 High, 2 Super
    bool overwrite;
    bool verbose;
};

// Input names in the order they were met; the copies (from strdup) live
// until the process ends.
struct input_table_t {
    char *names[MAX_INPUT_FILES];
    int32_t count;
};

extern run_settings_t g_settings;
extern input_table_t g_inputs;

// The whole program: parses the command line, checks the inputs, asks before
// replacing an existing output, runs rss_run. Yields the exit status (0 or 1);
// main ends the process with it.
int tool_main(int argc, char **argv);

// Writes the usage text to standard output.
void print_usage();

// Appends the names of a list file to the input table; false after writing
// its own error message.
bool read_list_file(const char *path);

// Computes the RSS of the inputs and writes the output file. False after
// writing its own error message. Reads the run settings, the input name table
// and the tuning below; nothing under it reads them.
bool rss_run();

// Sizes the streaming run works with. Tests shrink them to reach several
// bands and batches, and the run without its helper thread, with small
// inputs.
constexpr int32_t RSS_BATCH_MAX = 64;

struct rss_tuning_t {
    std::size_t band_sum_bytes; // bytes of the sum per band (at least one row)
    int32_t batch_max;          // inputs open at once, 1 to RSS_BATCH_MAX
    bool helper_thread;         // a second thread takes bands too
};

// Defaults: bands of 256 KiB, RSS_BATCH_MAX, with the helper thread.
extern rss_tuning_t g_rss_tuning;

// Returns settings and table to their start state, releasing the name copies
// (lets tests run the entry more than once in one process).
void tool_reset();

// Writes an error message to standard error: the program name on one line,
// then "ERROR: " and the formatted text on the next.
[[gnu::format(printf, 1, 2)]] void print_error(const char *format, ...);

// ---------------------------------------------------------------------------
// Verbose report lines on standard output: the label left-aligned in a field
// of REPORT_LABEL_WIDTH characters (a longer label is written whole), " = ",
// then the value.

constexpr int REPORT_LABEL_WIDTH = 20;

void report_quoted(const char *label, const char *text);    // value in double quotes
void report_word(const char *label, const char *word);      // value as is
void report_line_text(const char *label, const char *text); // value already ends with a line end
void report_int(const char *label, int32_t value);
void report_number(const char *label, double value);   // %g
void report_um(const char *label, double micrometres); // %g um
void report_nm(const char *label, double nanometres);  // %g nm
void report_fringe(const char *label, double counts);  // 1/%g fr
void report_blank();                                   // a lone line end
