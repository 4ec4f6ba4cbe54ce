// The command line of kelvorin-info: the usage text and the options.
#include "info/info.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *USAGE_LINES[] = {
    "Usage: kelvorin-info [--json] [--png FILE] [--svg FILE] [--html FILE] [--csv FILE]",
    "                     [--tiff FILE] [--gsf FILE] [--range LO HI] FILE...",
    "       kelvorin-info --budget [--json] [--svg FILE] [--weights C1,C2,...] FILE...",
    "",
    "Shows what interferometer data files hold: header, attributes, and the",
    "statistics of the phase map over its valid pixels, in nanometres.",
    "With --budget, the uncertainty budget of the files' RSS: each file's share",
    "of the combined variance, and where it dominates.",
    "",
    "  --json          one JSON array on standard output instead of the text report",
    "  --png FILE      picture of the phase map (exactly one input file)",
    "  --svg FILE      figure: the picture with colour bar, scale bar and figures",
    "  --html FILE     page to explore the map in a browser: heights, zoom, profiles",
    "  --csv FILE      x,y,height_nm of every valid pixel (exactly one input file)",
    "  --tiff FILE     heights in nm as a 32-bit float TIFF, NaN without data",
    "  --gsf FILE      heights in m as a Gwyddion Simple Field file",
    "  --range LO HI   colour range of picture, figure and page in nm (default: min..max)",
    "  --budget        the budget table of the files (with --svg: the budget figure)",
    "  --weights LIST  sensitivity coefficients of the budget, one per file (default: 1)",
    "  --help          this text",
    "  --version       the program's version",
    "  --              the arguments after it are file names",
    "",
    "Exit status: 0 all reported, 1 a file or an output failed, 2 usage error.",
};

void usage_error(const char *format, const char *arg) {
    std::fprintf(stderr, "%s: ", INFO_NAME);
    std::fprintf(stderr, format, arg);
    std::fputc('\n', stderr);
}

// A finite number filling the whole argument.
bool parse_number(const char *text, double *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(*value);
}

// The option's output name in the options, or null when it names none.
const char **output_slot(const char *arg, info_options_t *opts) {
    if (std::strcmp(arg, "--png") == 0) {
        return &opts->png_path;
    }
    if (std::strcmp(arg, "--svg") == 0) {
        return &opts->svg_path;
    }
    if (std::strcmp(arg, "--html") == 0) {
        return &opts->html_path;
    }
    if (std::strcmp(arg, "--tiff") == 0) {
        return &opts->tiff_path;
    }
    if (std::strcmp(arg, "--gsf") == 0) {
        return &opts->gsf_path;
    }
    return std::strcmp(arg, "--csv") == 0 ? &opts->csv_path : nullptr;
}

// The checks of --budget's options: --json, --svg and --weights alone, and
// one coefficient per input.
info_command_t budget_args(const char *weights, info_options_t *opts) {
    if (!opts->budget) {
        usage_error("%s", "--weights applies to --budget only");
        return info_command_t::usage_error;
    }
    if (opts->has_range || opts->png_path != nullptr || opts->html_path != nullptr ||
        opts->csv_path != nullptr || opts->tiff_path != nullptr || opts->gsf_path != nullptr) {
        usage_error("%s", "--budget takes --json, --svg and --weights only");
        return info_command_t::usage_error;
    }
    if (weights == nullptr) {
        return info_command_t::run;
    }
    opts->weights = static_cast<double *>(
        u_calloc_fn(static_cast<std::size_t>(opts->file_count), sizeof(double)));
    if (opts->weights == nullptr) {
        return info_command_t::no_memory;
    }
    char reason[160];
    if (!info_parse_weights(weights, opts->file_count, opts->weights, reason, sizeof reason)) {
        usage_error("%s", reason);
        return info_command_t::usage_error;
    }
    return info_command_t::run;
}

} // namespace

void info_print_usage(std::FILE *stream) {
    for (const char *line : USAGE_LINES) {
        std::fprintf(stream, "%s\n", line);
    }
}

info_outputs_t info_outputs_of(const info_options_t *opts) {
    return {{opts->png_path, opts->svg_path, opts->html_path, opts->csv_path, opts->tiff_path,
             opts->gsf_path}};
}

info_command_t info_parse_args(int argc, char *const *argv, info_options_t *opts) {
    *opts = info_options_t{};
    // Input names in command line order; the table lives until the process
    // ends.
    auto **files =
        static_cast<char **>(u_calloc_fn(static_cast<std::size_t>(argc) + 1, sizeof(char *)));
    if (files == nullptr) {
        return info_command_t::no_memory;
    }
    opts->files = files;
    const char *weights = nullptr; // the --weights list, read once the files are counted
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            files[opts->file_count++] = argv[i];
            continue;
        }
        const bool has_value = i + 1 < argc;
        if (std::strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            return info_command_t::help;
        } else if (std::strcmp(arg, "--version") == 0) {
            return info_command_t::version;
        } else if (std::strcmp(arg, "--json") == 0) {
            opts->json = true;
        } else if (std::strcmp(arg, "--budget") == 0) {
            opts->budget = true;
        } else if (std::strcmp(arg, "--weights") == 0) {
            if (!has_value || weights != nullptr) {
                usage_error(has_value ? "%s given twice" : "missing coefficients after %s", arg);
                return info_command_t::usage_error;
            }
            weights = argv[++i];
        } else if (const char **slot = output_slot(arg, opts); slot != nullptr) {
            if (!has_value || *slot != nullptr) {
                usage_error(has_value ? "%s given twice" : "missing file name after %s", arg);
                return info_command_t::usage_error;
            }
            *slot = argv[++i];
        } else if (std::strcmp(arg, "--range") == 0) {
            if (i + 2 >= argc || opts->has_range) {
                usage_error(opts->has_range ? "%s given twice" : "missing LO HI after %s", arg);
                return info_command_t::usage_error;
            }
            if (!parse_number(argv[i + 1], &opts->range_lo_nm) ||
                !parse_number(argv[i + 2], &opts->range_hi_nm) ||
                opts->range_lo_nm > opts->range_hi_nm) {
                usage_error("%s needs two numbers LO <= HI", arg);
                return info_command_t::usage_error;
            }
            opts->has_range = true;
            i += 2;
        } else {
            usage_error("unknown option %s", arg);
            return info_command_t::usage_error;
        }
    }
    if (opts->file_count == 0) {
        usage_error("%s", "no input file");
        return info_command_t::usage_error;
    }
    const info_outputs_t outputs = info_outputs_of(opts);
    bool any_output = false;
    for (const char *output : outputs.path) {
        any_output = any_output || output != nullptr;
    }
    if (opts->budget || weights != nullptr) {
        return budget_args(weights, opts);
    }
    if (any_output && opts->file_count != 1) {
        usage_error("%s",
                    "--png, --svg, --html, --csv, --tiff and --gsf take exactly one input file");
        return info_command_t::usage_error;
    }
    if (opts->has_range && opts->png_path == nullptr && opts->svg_path == nullptr &&
        opts->html_path == nullptr) {
        usage_error("%s", "--range applies to --png, --svg and --html only");
        return info_command_t::usage_error;
    }
    for (int a = 0; a < INFO_OUTPUTS; ++a) {
        for (int b = a + 1; b < INFO_OUTPUTS; ++b) {
            const char *const *path = outputs.path;
            if (path[a] != nullptr && path[b] != nullptr && std::strcmp(path[a], path[b]) == 0) {
                usage_error("%s", "two outputs name the same file");
                return info_command_t::usage_error;
            }
        }
    }
    return info_command_t::run;
}
