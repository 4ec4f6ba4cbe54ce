// The entry of kelvorin-info: the walk over the files, the exports and the
// exit status.
#include "info/info.h"
#include "support/platform_internal.h"

#include <cstring>

#ifndef KELVORIN_VERSION
#define KELVORIN_VERSION "unknown"
#endif

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// True when the output would land on the input itself.
bool names_input(const char *output, const char *input) {
    u_file_id_t a;
    u_file_id_t b;
    return u_file_identity(output, &a) && u_file_identity(input, &b) && u_same_file_id(&a, &b);
}

// Reports a failure to picture or export the heights of `file` (`what`:
// "picture" or "export") or to write the output `path`. False.
bool heights_error(const info_file_t *file, const char *path, int32_t code, const char *what) {
    char meaning[64];
    if (code == ERR_NO_DATA || code == ERR_ALL_BAD_DATA) {
        std::snprintf(meaning, sizeof meaning, "%s to %s",
                      code == ERR_NO_DATA ? "no phase map" : "no valid pixel", what);
        info_print_error(file->name, code, meaning);
    } else if (code == ERR_INVALID_PARAM) {
        info_print_error(file->name, code, "heights are not numbers: a factor is NaN or infinite");
    } else if (code == ERR_FP_OVERFLOW) {
        info_print_error(file->name, code, "heights beyond the range of 32-bit floats");
    } else if (code == ERR_DATASET_DIM_TOO_LARGE) {
        info_print_error(file->name, code);
    } else {
        info_print_error(path, code);
    }
    return false;
}

// The colour range of picture, figure and page.
info_figure_t colour_range(const info_options_t &opts, const info_file_t *file) {
    return {opts.has_range ? opts.range_lo_nm : file->stats.min_nm,
            opts.has_range ? opts.range_hi_nm : file->stats.max_nm, opts.has_range};
}

// Writes the picture and the figure from one encoded PNG; false after
// reporting a failure.
bool write_pictures(const info_options_t &opts, const info_file_t *file, info_written_t *written) {
    const info_figure_t figure = colour_range(opts, file);
    const double lo = figure.lo_nm;
    const double hi = figure.hi_nm;
    info_picture_t picture;
    int32_t code = info_picture_make(file, lo, hi, &picture);
    info_png_t png{};
    if (code == 0) {
        code = info_png_encode(&picture, &png);
    }
    if (code != 0) {
        info_picture_free(&picture);
        return heights_error(file, file->name, code, "picture");
    }
    bool ok = true;
    if (opts.png_path != nullptr) {
        code = df_out_write_file(opts.png_path, DF_OUT_EXPORT, png.bytes, png.size);
        if (code != 0) {
            info_print_error(opts.png_path, code);
        } else {
            written->png_path = opts.png_path;
            written->png_lo_nm = lo;
            written->png_hi_nm = hi;
        }
        ok = code == 0;
    }
    if (opts.svg_path != nullptr) {
        code = info_write_svg(file, &picture, &png, &figure, opts.svg_path);
        if (code != 0) {
            info_print_error(opts.svg_path, code);
        } else {
            written->svg_path = opts.svg_path;
        }
        ok = ok && code == 0;
    }
    info_picture_free(&picture);
    info_png_free(&png);
    return ok;
}

// Writes the table, the picture and the figure, which only read the map;
// false after reporting a failure.
bool write_exports(const info_options_t &opts, const info_file_t *file, info_written_t *written) {
    bool ok = true;
    if (opts.csv_path != nullptr) {
        int64_t rows = 0;
        const int32_t code = info_write_csv(file, opts.csv_path, &rows);
        if (code == ERR_NO_DATA) {
            info_print_error(file->name, code, "no phase map to export");
        } else if (code != 0) {
            info_print_error(opts.csv_path, code);
        } else {
            written->csv_path = opts.csv_path;
            written->csv_rows = rows;
        }
        ok = code == 0;
    }
    if (opts.tiff_path != nullptr) {
        const int32_t code = info_write_tiff(file, opts.tiff_path);
        written->tiff_path = code == 0 ? opts.tiff_path : nullptr;
        ok = (code == 0 || heights_error(file, opts.tiff_path, code, "export")) && ok;
    }
    if (opts.gsf_path != nullptr) {
        const int32_t code = info_write_gsf(file, opts.gsf_path);
        written->gsf_path = code == 0 ? opts.gsf_path : nullptr;
        ok = (code == 0 || heights_error(file, opts.gsf_path, code, "export")) && ok;
    }
    if (opts.png_path != nullptr || opts.svg_path != nullptr) {
        ok = write_pictures(opts, file, written) && ok;
    }
    if (opts.html_path != nullptr) {
        const info_figure_t figure = colour_range(opts, file);
        const int32_t code = info_write_html(file, &figure, opts.html_path);
        written->html_path = code == 0 ? opts.html_path : nullptr;
        ok = (code == 0 || heights_error(file, opts.html_path, code, "show")) && ok;
    }
    return ok;
}

// Reports every file and writes the exports; yields the exit status.
int report_files(const info_options_t &opts) {
    // Maps and pictures are filled right after they are taken.
    u_malloc_fn = u_malloc_large_pages;
    // Inputs are never changed: an output that is an input is refused.
    for (const char *output : info_outputs_of(&opts).path) {
        for (int32_t i = 0; output != nullptr && i < opts.file_count; ++i) {
            if (names_input(output, opts.files[i])) {
                info_print_error(output, ERR_INVALID_PARAM, "the output would replace the input");
                return EXIT_FAILED;
            }
        }
    }
    // Nor is a measurement: an export's name that lands on a data file is
    // most likely the input's, with the export's own name forgotten.
    for (const char *output : info_outputs_of(&opts).path) {
        if (output != nullptr && df_is_data_file(output)) {
            info_print_error(output, ERR_FILE_READ_ONLY);
            return EXIT_FAILED;
        }
    }
    if (opts.budget) {
        return info_budget_main(&opts);
    }
    bool failed = false;
    if (opts.json) {
        info_json_begin();
    }
    int32_t shown = 0;
    for (int32_t i = 0; i < opts.file_count; ++i) {
        const char *name = opts.files[i];
        info_file_t file;
        const int32_t code = info_read(name, &file);
        if (code != 0) {
            info_print_error(name, code);
            if (opts.json) {
                info_json_error(name, code, shown++ == 0);
            }
            failed = true;
            continue;
        }
        info_written_t written{};
        if (!write_exports(opts, &file, &written)) {
            failed = true;
        }
        if (opts.json) {
            info_json_file(&file, shown == 0);
        } else {
            if (shown > 0) {
                std::putchar('\n');
            }
            info_report_text(&file, &written);
        }
        ++shown;
        info_release(&file);
    }
    if (opts.json) {
        info_json_end();
    }
    return failed ? EXIT_FAILED : EXIT_OK;
}

} // namespace

int info_main(int argc, char *const *argv) {
    info_options_t opts;
    int status = EXIT_OK;
    switch (info_parse_args(argc, argv, &opts)) {
    case info_command_t::help:
        info_print_usage(stdout);
        break;
    case info_command_t::version:
        std::printf("%s %s\n", INFO_NAME, KELVORIN_VERSION);
        break;
    case info_command_t::usage_error:
        info_print_usage(stderr);
        status = EXIT_USAGE;
        break;
    case info_command_t::no_memory:
        std::fprintf(stderr, "%s: %s (%s)\n", INFO_NAME, u_error_name(ERR_NO_MEM),
                     info_error_meaning(ERR_NO_MEM));
        status = EXIT_FAILED;
        break;
    case info_command_t::run:
        status = report_files(opts);
        break;
    }
    u_free_fn(const_cast<char **>(opts.files));
    u_free_fn(opts.weights);
    if (status != EXIT_USAGE && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
        info_print_error("standard output", ERR_CANT_WRITE_FILE, "writing the report failed");
        status = EXIT_FAILED;
    }
    return status;
}
