// The entry: command line, input list, input and output checks, the overwrite
// question, then the RSS run. Every outcome becomes exit status 0 or 1 here.
#include "tool/tool.h"

#include "support/platform_internal.h"
#include "support/support_internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

run_settings_t g_settings = {nullptr, -1, false, false};
input_table_t g_inputs = {};

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

// Lines of a list file are read in pieces of at most this many bytes less one.
constexpr int LIST_LINE_BUF = 512;

// True when `typed` equals `keyword` (lower case) as a whole, ignoring the
// case of `typed`. No abbreviations.
bool keyword_matches(const char *typed, const char *keyword) {
    for (;; ++typed, ++keyword) {
        const int c = std::tolower(static_cast<unsigned char>(*typed));
        if (c != static_cast<unsigned char>(*keyword)) {
            return false;
        }
        if (c == '\0') {
            return true;
        }
    }
}

// Phase resolution code of a -PhaseRes value, or -1 when it names none.
int32_t phase_res_code(const char *value) {
    if (keyword_matches(value, "normal")) {
        return 0;
    }
    if (keyword_matches(value, "high")) {
        return 1;
    }
    if (keyword_matches(value, "super")) {
        return 2;
    }
    return -1;
}

// True once the table holds a name more than a run takes: the arguments are
// read no further, and the request's check refuses the run.
bool table_overflows() {
    return g_inputs.count > RSS_MAX_INPUTS;
}

// Stores a copy of `name` in the next slot of the input table; false after
// writing the message when the copy cannot be made.
bool add_input(const char *name) {
    char *copy = strdup(name);
    if (copy == nullptr) {
        print_error("%s", u_error_name(ERR_NO_MEM));
        return false;
    }
    g_inputs.names[g_inputs.count++] = copy;
    return true;
}

enum class option_t { rss_out, phase_res, overwrite, verbose, unknown };

option_t which_option(const char *keyword) {
    if (keyword_matches(keyword, "rssout")) {
        return option_t::rss_out;
    }
    if (keyword_matches(keyword, "phaseres")) {
        return option_t::phase_res;
    }
    if (keyword_matches(keyword, "overwrite")) {
        return option_t::overwrite;
    }
    if (keyword_matches(keyword, "verbose")) {
        return option_t::verbose;
    }
    return option_t::unknown;
}

// One option argument at argv[*i] (its dash included). A keyword that takes a
// value consumes the next argument, whatever it looks like, and moves *i past
// it. The messages show a slash before the keyword as typed.
bool parse_option(int argc, char **argv, int *i) {
    const char *keyword = argv[*i] + 1;
    if (keyword[0] == '\0') {
        print_error("Missing option name after prefix '/'");
        return false;
    }
    const option_t option = which_option(keyword);
    const char *value = nullptr;
    if (option == option_t::rss_out || option == option_t::phase_res) {
        if (*i + 1 >= argc) {
            print_error("Missing value after \"/%s\"", keyword);
            return false;
        }
        value = argv[++*i];
    }
    switch (option) {
    case option_t::rss_out:
        g_settings.out_name = value;
        return true;
    case option_t::phase_res: {
        const int32_t code = phase_res_code(value);
        if (code < 0) {
            print_error("Unknown PhaseRes value \"%s\"", value);
            print_usage();
            return false;
        }
        g_settings.phase_res = code;
        return true;
    }
    case option_t::overwrite:
        g_settings.overwrite = true;
        return true;
    case option_t::verbose:
        g_settings.verbose = true;
        return true;
    case option_t::unknown:
        break;
    }
    print_error("Unknown option \"/%s\"", keyword);
    return false;
}

// The argument loop: options anywhere, then either input names or one list
// file, never both.
bool parse_arguments(int argc, char **argv) {
    bool list_named = false;
    for (int i = 1; i < argc && !table_overflows(); ++i) {
        const char *arg = argv[i];
        if (arg[0] == '-') {
            if (!parse_option(argc, argv, &i)) {
                return false;
            }
        } else if (arg[0] == '@') {
            if (list_named || g_inputs.count > 0) {
                print_usage();
                return false;
            }
            if (arg[1] == '\0') {
                print_error("Missing list file name after prefix '@'");
                return false;
            }
            list_named = true;
            if (!read_list_file(arg + 1)) {
                return false;
            }
        } else {
            if (list_named) {
                print_usage();
                return false;
            }
            if (!add_input(arg)) {
                return false;
            }
        }
    }
    return true;
}

// The request's checks (inputs, output name, output none of the inputs), then
// the overwrite question for an existing output, unless -Overwrite answers it.
bool check_request() {
    const rss_request_t request = {g_settings.out_name, g_settings.phase_res, g_settings.verbose,
                                   g_inputs.names, g_inputs.count};
    const rss_sink_t console = console_sink();
    if (rss_check_request(&request, &console) != 0) {
        return false;
    }
    const char *out_name = g_settings.out_name;
    if (g_settings.overwrite || !u_is_regular_file(out_name)) {
        return true;
    }
    // The name is written as it is, outside any format, so that a '%' in it
    // shows literally and no length limit applies; the prompt adds the rest
    // and flushes.
    bool answer = false;
    std::fputs("Overwrite file \"", stdout);
    std::fputs(out_name, stdout);
    u_ask_yes_no("\" (%c) ? ", &answer);
    return answer;
}

} // namespace

int tool_main(int argc, char **argv) {
    if (argc < 3) {
        print_usage();
        return EXIT_FAILED;
    }
    if (!parse_arguments(argc, argv) || !check_request() || !run_on_console()) {
        return EXIT_FAILED;
    }
    if (g_settings.verbose) {
        std::printf("Done\n");
    }
    return EXIT_OK;
}

bool read_list_file(const char *path) {
    std::FILE *list = std::fopen(path, "r");
    if (list == nullptr) {
        print_error("Cannot access list file \"%s\"", path);
        return false;
    }
    char line[LIST_LINE_BUF];
    int32_t stored = 0;
    // A line longer than the buffer arrives in pieces; each piece counts as a
    // line of its own.
    while (std::fgets(line, sizeof line, list) != nullptr) {
        line[std::strcspn(line, "\r")] = '\0';
        line[std::strcspn(line, "\n")] = '\0';
        u_trim(line);
        if (line[0] == '\0') {
            continue;
        }
        if (!add_input(line)) {
            std::fclose(list);
            return false;
        }
        ++stored;
        if (table_overflows()) {
            std::fclose(list);
            return true; // the request's check refuses it
        }
    }
    // A read error must not pass for the end of the list: the run would go on
    // with only part of the inputs.
    const bool read_failed = std::ferror(list) != 0;
    std::fclose(list);
    if (read_failed) {
        print_error("Cannot access list file \"%s\"", path);
        return false;
    }
    if (stored == 0) {
        print_error("Empty list file \"%s\"", path);
        return false;
    }
    return true;
}

void tool_reset() {
    for (int32_t i = 0; i < g_inputs.count; ++i) {
        std::free(g_inputs.names[i]);
        g_inputs.names[i] = nullptr;
    }
    g_inputs.count = 0;
    g_settings = run_settings_t{nullptr, -1, false, false};
}
