// Console output of the entry: the usage text, error messages, and the
// console that shows the RSS run's report and messages.
#include "tool/tool.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

constexpr const char *USAGE_LINES[] = {
    "Kelvorin",
    "Version 2",
    "",
    "This program reads height data from one or more Fennaval binary data files",
    "and computes the roots of the sums of the squares (RSS)",
    "of the input height values.",
    "This operation only makes sense if the input data sets represent standard",
    "deviation maps.",
    "It does not make sense if the input data sets are ordinary height maps.",
    "",
    "Input intensity maps are ignored.",
    "",
    "Usage:",
    "",
    "Kelvorin [Options] InFile1 ... InFileN",
    "Kelvorin [Options] @ListFile",
    "",
    "The first form of the command specifies the list of input data filenames",
    "directly. Wildcard filenames are supported.",
    "The second form of the command specifies text file ListFile that contains",
    "a list of input data filenames, one per line.",
    "",
    "Options:",
    "",
    "Options are specified by a prefix dash (-) character followed by a keyword.",
    "Keywords are not case-sensitive.",
    "",
    "-RssOut RssOutFile",
    "This required option specifies the name of the output file that will contain",
    "the RSS map.",
    "",
    "-PhaseRes Normal",
    "-PhaseRes High",
    "-PhaseRes Super",
    "This option sets the output phase resolution. If this option is not specified,",
    "the output phase resolution is obtained from the first input file.",
    "If any input data file contains a different value, the phase data is scaled.",
    "",
    "-Overwrite",
    "This option causes the program to quietly overwrite a pre-existing output file.",
    "If this option is not specified and if the output file already exists,",
    "the operator is prompted to confirm that the file may be overwritten.",
    "",
    "-Verbose",
    "This option causes verbose progress information to be output to the console.",
};
static_assert(std::size(USAGE_LINES) == 45);

} // namespace

void print_usage() {
    for (const char *line : USAGE_LINES) {
        std::printf("%s\n", line);
    }
}

void print_error(const char *format, ...) {
    std::fprintf(stderr, "%s\nERROR: ", PROGRAM_NAME);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

rss_sink_t console_sink() {
    return {nullptr, [](void *, const char *text) { std::fputs(text, stdout); },
            [](void *, const char *text) { print_error("%s", text); }};
}

bool run_on_console() {
    const rss_request_t request = {g_settings.out_name, g_settings.phase_res, g_settings.verbose,
                                   g_inputs.names, g_inputs.count};
    const rss_sink_t console = console_sink();
    return rss_compute(&request, &console) == 0;
}
