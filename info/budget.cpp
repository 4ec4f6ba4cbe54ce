// The uncertainty budget of several files: the run computes it (writing no
// output file), and kelvorin-info shows it as a table, as JSON, and as a
// figure.
#include "info/info.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

// The run's messages are its refusals: each on standard error after the
// program's name.
void print_message(void * /*context*/, const char *text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", INFO_NAME, text);
}

// Characters of a name on the console: well-formed UTF-8 sequences count as
// one, every other byte as one.
std::size_t shown_length(const char *text) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const std::size_t n = std::strlen(text);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < n; ++chars) {
        std::size_t length = 1;
        info_next_char(s + i, n - i, &length);
        i += length;
    }
    return chars;
}

// The cells of one row of the table; the combined row leaves weight, share
// and dominant empty.
constexpr int COLUMNS = 7;
struct cells_t {
    char text[COLUMNS][40];
};

cells_t row_cells(const rss_budget_row_t *row, double rms_nm, double max_nm, int64_t valid) {
    cells_t c{};
    if (row != nullptr) {
        std::snprintf(c.text[1], sizeof c.text[1], "%g", row->weight);
        std::snprintf(c.text[4], sizeof c.text[4], "%.2f", 100.0 * row->share);
        std::snprintf(c.text[5], sizeof c.text[5], "%.2f", 100.0 * row->dominant);
    }
    std::snprintf(c.text[2], sizeof c.text[2], "%.6g", rms_nm);
    std::snprintf(c.text[3], sizeof c.text[3], "%.6g", max_nm);
    std::snprintf(c.text[6], sizeof c.text[6], "%lld", static_cast<long long>(valid));
    return c;
}

cells_t input_cells(const rss_budget_row_t &row) {
    return row_cells(&row, row.rms_nm, row.max_nm, row.valid);
}

constexpr const char *HEADINGS[COLUMNS] = {"input",   "weight",     "RMS nm",      "max nm",
                                           "share %", "dominant %", "valid pixels"};
constexpr const char *COMBINED = "combined";

void print_row(const char *name, const cells_t &cells, const std::size_t *width) {
    std::fputs(name, stdout);
    const std::size_t shown = shown_length(name);
    // Numbers flush right, two spaces between columns.
    const int pad = static_cast<int>(width[0] - (shown < width[0] ? shown : width[0]));
    std::printf("%*s", pad, "");
    for (int k = 1; k < COLUMNS; ++k) {
        std::printf("  %*s", static_cast<int>(width[k]), cells.text[k]);
    }
    std::putchar('\n');
}

} // namespace

bool info_parse_weights(const char *text, int32_t count, double *weights, char *reason,
                        std::size_t size) {
    int32_t given = 1;
    for (const char *c = text; *c != '\0'; ++c) {
        given += *c == ',';
    }
    if (given != count) {
        std::snprintf(reason, size, "--weights gives %ld coefficient%s for %ld input file%s",
                      static_cast<long>(given), given == 1 ? "" : "s", static_cast<long>(count),
                      count == 1 ? "" : "s");
        return false;
    }
    const char *item = text;
    for (int32_t i = 0; i < count; ++i) {
        const char *comma = std::strchr(item, ',');
        const std::size_t n =
            comma != nullptr ? static_cast<std::size_t>(comma - item) : std::strlen(item);
        char number[64] = {};
        char *end = number;
        if (n < sizeof number) {
            std::memcpy(number, item, n);
            weights[i] = std::strtod(number, &end);
        }
        if (n == 0 || n >= sizeof number || *end != '\0' || end == number) {
            std::snprintf(reason, size, "--weights: \"%.*s\" is not a number",
                          static_cast<int>(n < 40 ? n : 40), item);
            return false;
        }
        if (!std::isfinite(weights[i]) || weights[i] < 0.0) {
            std::snprintf(reason, size, "--weights: %s is no coefficient (a finite number >= 0)",
                          number);
            return false;
        }
        weights[i] += 0.0; // -0 as 0
        item += n + 1;
    }
    return true;
}

void info_budget_text(const rss_budget_t *budget, int32_t count) {
    std::size_t width[COLUMNS];
    for (int k = 0; k < COLUMNS; ++k) {
        width[k] = std::strlen(HEADINGS[k]);
    }
    auto widen = [&width](const char *name, const cells_t &cells) {
        width[0] = std::max(width[0], shown_length(name));
        for (int k = 1; k < COLUMNS; ++k) {
            width[k] = std::max(width[k], std::strlen(cells.text[k]));
        }
    };
    const cells_t combined = row_cells(nullptr, budget->rms_nm, budget->max_nm, budget->valid);
    widen(COMBINED, combined);
    for (int32_t i = 0; i < count; ++i) {
        widen(budget->rows[i].name, input_cells(budget->rows[i]));
    }
    cells_t headings{};
    for (int k = 1; k < COLUMNS; ++k) {
        std::snprintf(headings.text[k], sizeof headings.text[k], "%s", HEADINGS[k]);
    }
    print_row(HEADINGS[0], headings, width);
    for (int32_t i = 0; i < count; ++i) {
        print_row(budget->rows[i].name, input_cells(budget->rows[i]), width);
    }
    print_row(COMBINED, combined, width);
}

int info_budget_main(const info_options_t *opts) {
    const int32_t count = opts->file_count;
    auto *rows = static_cast<rss_budget_row_t *>(
        u_calloc_fn(static_cast<std::size_t>(count), sizeof(rss_budget_row_t)));
    if (rows == nullptr) {
        std::fprintf(stderr, "%s: %s (%s)\n", INFO_NAME, u_error_name(ERR_NO_MEM),
                     info_error_meaning(ERR_NO_MEM));
        return EXIT_FAILED;
    }
    // The dominance map only for the figure.
    int_map_t dominance;
    int_map_init(&dominance);
    rss_budget_t budget{rows, 0.0, 0.0, 0, opts->svg_path != nullptr ? &dominance : nullptr};
    rss_request_t request{};
    request.phase_res = -1;
    request.names = opts->files;
    request.count = count;
    request.weights = opts->weights;
    request.budget = &budget;
    const rss_sink_t sink = {nullptr, nullptr, print_message};
    int32_t code = rss_check_request(&request, &sink);
    if (code == 0) {
        code = rss_compute(&request, &sink);
    }
    bool ok = code == 0;
    if (ok && opts->svg_path != nullptr) {
        // The figure draws the map at the first input's pixel aspect.
        df_hdr_t first{};
        code = df_read(opts->files[0], nullptr, &first, nullptr, nullptr);
        if (code != 0) {
            info_print_error(opts->files[0], code);
        } else if (code = info_write_budget_svg(&budget, count, &first, opts->svg_path);
                   code != 0) {
            info_print_error(opts->svg_path, code);
        }
    }
    if (ok && opts->json) {
        info_json_budget(&budget, count);
    } else if (ok) {
        info_budget_text(&budget, count);
    }
    int_map_free(&dominance);
    u_free_fn(rows);
    return ok && code == 0 ? EXIT_OK : EXIT_FAILED;
}
