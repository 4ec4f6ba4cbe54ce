// kelvorin-info: shows what data files hold (attributes, phase statistics),
// as a text report or JSON, and exports one file's phase map as a PNG picture,
// an SVG figure, an HTML page to explore it, a CSV table, a 32-bit float TIFF
// or a Gwyddion Simple Field file. With --budget it shows the uncertainty
// budget of several files instead: which input dominates their RSS, and
// where. Built on the data file library's and the run's public operations
// only.
#pragma once

#include "datafile/datafile.h"
#include "maps/maps.h"
#include "rss/rss.h"
#include "support/support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr const char *INFO_NAME = "kelvorin-info";

// ---------------------------------------------------------------------------
// Command line (options.cpp) and the entry (cmdline.cpp).

struct info_options_t {
    bool json;             // JSON array on standard output instead of the text report
    const char *png_path;  // picture to write, or null
    const char *csv_path;  // table to write, or null
    const char *svg_path;  // figure to write, or null
    const char *tiff_path; // float TIFF to write, or null
    const char *gsf_path;  // Gwyddion Simple Field file to write, or null
    const char *html_path; // page to write, or null
    bool has_range;        // colour range given with --range
    double range_lo_nm;    // lowest height of the colour range
    double range_hi_nm;    // highest height of the colour range
    bool budget;           // the budget of the inputs instead of one report per file
    double *weights;       // --weights: one per input (from u_calloc_fn), or null
    char *const *files;    // input names in command line order (from u_calloc_fn)
    int32_t file_count;
};

enum class info_command_t { run, help, version, usage_error, no_memory };

// Parses argv[1..argc-1]. For usage_error it has written a one-line reason to
// standard error; the caller shows the usage text. no_memory: the name table
// could not be allocated (nothing written). The caller releases
// opts->files and opts->weights with u_free_fn in every case.
info_command_t info_parse_args(int argc, char *const *argv, info_options_t *opts);

// Every output's name, null for those not asked for.
constexpr int INFO_OUTPUTS = 6;
struct info_outputs_t {
    const char *path[INFO_OUTPUTS];
};
info_outputs_t info_outputs_of(const info_options_t *opts);

void info_print_usage(std::FILE *stream);

// The whole program; yields the exit status: 0 all files reported (and every
// output written), 1 when any file or output failed, 2 for a usage error.
int info_main(int argc, char *const *argv);

// ---------------------------------------------------------------------------
// One file, read and measured (inspect.cpp).

struct phase_stats_t {
    int64_t pixels;    // pixels of the phase window
    int64_t valid;     // pixels holding data
    int32_t min_count; // extreme phase counts (when valid > 0)
    int32_t max_count;
    double min_nm; // heights in nm; NaN when valid is 0 or the factors give no height
    double max_nm;
    double pv_nm;   // max - min
    double mean_nm; // mean of the valid heights
    double rms_nm;  // root-mean-square deviation from the mean
};

struct info_file_t {
    const char *name;
    uint32_t magic;            // first four bytes, big-endian
    int32_t header_bytes;      // 834 or 4096
    df_hdr_t hdr;              // attribute record
    bool has_intensity;        // an intensity block is present
    window_t intensity_window; // its window and plane count
    int16_t intensity_planes;
    int_map_t phase;     // the phase block; no matrix when absent
    double nm_per_count; // height of one phase count in nm
    phase_stats_t stats; // over the phase block (all zero without one)
};

// Statistics of the valid pixels of a map with a matrix: one pass for the
// count, extremes and the exact integer sum, one for the squared deviations.
void info_phase_stats(const int_map_t *map, double nm_per_count, phase_stats_t *stats);

// Reads and measures a data file; the input is only read. On failure the
// record holds no map. Codes: those of df_read_stream, and
// ERR_CANT_OPEN_FILE when the name is no readable regular file.
[[nodiscard]] int32_t info_read(const char *name, info_file_t *file);

void info_release(info_file_t *file);

// What a code means, for the messages: the library's meaning, or
// "unexpected failure" for a code without one.
const char *info_error_meaning(int32_t code);

// Writes "kelvorin-info: NAME: ERR_... (meaning)" to standard error, with
// `meaning` or, when null, the code's usual meaning.
void info_print_error(const char *name, int32_t code, const char *meaning = nullptr);

// ---------------------------------------------------------------------------
// Reports on standard output (report_text.cpp, report_json.cpp).

// What was written for a file, shown in the text report.
struct info_written_t {
    const char *png_path; // null when no picture was written
    double png_lo_nm;     // colour range of the picture
    double png_hi_nm;
    const char *csv_path; // null when no table was written
    int64_t csv_rows;
    const char *svg_path;  // null when no figure was written
    const char *tiff_path; // null when no TIFF file was written
    const char *gsf_path;  // null when no GSF file was written
    const char *html_path; // null when no page was written
};

void info_report_text(const info_file_t *file, const info_written_t *written);

// Calendar date and time (UTC) of a time stamp, "2025-06-15 15:06:40 UTC".
void info_utc_text(int32_t seconds, char *buf, std::size_t size);

// Length of the well-formed UTF-8 sequence at s (at most n bytes), 0 when
// the bytes there are not one (overlong forms and surrogates included).
std::size_t info_utf8_length(const unsigned char *s, std::size_t n);

void info_json_begin();
// `first` tells whether this is the array's first element.
void info_json_file(const info_file_t *file, bool first);
void info_json_error(const char *name, int32_t code, bool first);
void info_json_end();

// Shortest text that reads back as the same value ("nan", "inf" and "-inf"
// for those); buf holds at least INFO_NUMBER_BUF bytes. Yields the length.
constexpr std::size_t INFO_NUMBER_BUF = 32;
int info_shortest_double(double v, char *buf);
int info_shortest_float(float v, char *buf);

// ---------------------------------------------------------------------------
// Exports of the phase map (picture.cpp, csv.cpp).

// The colour table: 256 entries 0xRRGGBB, from dark blue to yellow. Heights
// over a range lo..hi fall into 256 equal bins, the lowest into entry 0 and
// the highest into entry 255; heights outside take the end entries, and a
// range of zero width gives the middle entry to all.
extern const uint32_t INFO_COLOUR_TABLE[256];

// The picture of the phase window (picture.cpp): one palette index per
// pixel, row after row. Index 0 is transparent when `transparent` is set;
// the others are opaque colours of the table, in its order.
struct info_picture_t {
    uint8_t *indices; // width x height bytes (from u_malloc_fn), or null
    int width;
    int height;
    uint32_t palette[256]; // 0xRRGGBB of each index in use
    int colours;           // indices in use
    bool transparent;      // index 0 stands for pixels without data
};

// Colours the valid pixels by their height over lo..hi; the map is only
// read. ERR_NO_DATA without a phase block, ERR_ALL_BAD_DATA without a valid
// pixel (info_heights_usable), ERR_INVALID_PARAM when the range is not finite,
// ERR_DATASET_DIM_TOO_LARGE beyond the encoder's size limit, ERR_NO_MEM.
[[nodiscard]] int32_t info_picture_make(const info_file_t *file, double lo_nm, double hi_nm,
                                        info_picture_t *picture);

void info_picture_free(info_picture_t *picture);

// Drops the indices that no pixel uses, keeping the colours' order: index i
// of `count` has the colour colours[i], index 0 standing for pixels without
// data (transparent when any pixel has it).
void info_picture_compact(info_picture_t *picture, const uint32_t *colours, int count);

// The whole factor by which a picture of columns x rows drawn w x h px is
// embedded: the largest that the drawn size holds, at least 1. Renderers
// that smooth a drawn image (and ignore image-rendering) then keep each
// pixel a sharp block.
int info_enlargement(int columns, int rows, double drawn_w, double drawn_h);

// The picture with each pixel a factor x factor block, nearest neighbour.
// ERR_NO_MEM.
[[nodiscard]] int32_t info_picture_enlarge(const info_picture_t *picture, int factor,
                                           info_picture_t *enlarged);

// A whole PNG file in memory.
struct info_png_t {
    uint8_t *bytes; // from u_malloc_fn, or null
    std::size_t size;
};

// Encodes the picture as an indexed PNG, or, for a small picture where that
// is smaller, as RGBA (png_encoder.cpp). ERR_NO_MEM.
[[nodiscard]] int32_t info_png_encode(const info_picture_t *picture, info_png_t *png);

void info_png_free(info_png_t *png);

// The PNG that a figure embeds for the picture drawn w x h px: the picture
// enlarged by info_enlargement, encoded. ERR_NO_MEM.
[[nodiscard]] int32_t info_png_drawn(const info_picture_t *picture, double drawn_w, double drawn_h,
                                     info_png_t *png);

// Round ticks over lo..hi (figure_layout.cpp): steps of 1, 2, 2.5 or 5 times
// a power of ten, the smallest that gives at most 10 ticks (and so at least
// 3). False when lo..hi has no width or no finite one.
constexpr int INFO_MAX_TICKS = 10;
struct info_ticks_t {
    double value[INFO_MAX_TICKS]; // increasing, within lo..hi
    int count;
    int decimals; // digits after the point that show every value exactly
};
bool info_colour_ticks(double lo, double hi, info_ticks_t *ticks);

// The lateral scale bar for a map `width_m` metres wide: the 1, 2 or 5 times
// a power of ten nearest to a fifth of it, shown in mm from 1 mm on and in
// µm below. False when the width is not a positive finite number.
struct info_scale_t {
    double metres;
    double number; // in the unit
    bool in_mm;
};
bool info_scale_length(double width_m, info_scale_t *scale);

// What the figure shows beside the map (svg.cpp).
struct info_figure_t {
    double lo_nm; // colour range
    double hi_nm;
    bool has_range; // given on the command line: heights outside are marked
};

// Writes a self-contained SVG figure: the picture embedded at the camera
// pixels' aspect (as info_png_drawn gives it; `png`, the picture's own
// encoding, serves when it is drawn no larger than its pixels), a colour
// bar with round ticks in nm, a lateral scale bar, the file's name, figures
// and capture time. The codes of the output file and ERR_NO_MEM.
[[nodiscard]] int32_t info_write_svg(const info_file_t *file, const info_picture_t *picture,
                                     const info_png_t *png, const info_figure_t *figure,
                                     const char *path);

// Writes a self-contained HTML page to explore the map (html.cpp): the
// map at the camera pixels' aspect with its colour bar, scale bar, title and
// figures as in the SVG figure, and a script that shows the height under
// the pointer, zooms, draws line profiles and region statistics, and
// changes the colour range. The counts travel deflated and base64-coded.
// Before anything is written, the file's own refusals: those of
// info_picture_make, and ERR_DATASET_DIM_TOO_LARGE for a map beyond what a
// browser holds; then the codes of the output file and ERR_NO_MEM.
[[nodiscard]] int32_t info_write_html(const info_file_t *file, const info_figure_t *figure,
                                      const char *path);

// Whether the map can be drawn over lo..hi: 0, or the refusals of
// info_picture_make other than its size and memory.
[[nodiscard]] int32_t info_map_drawable(const info_file_t *file, double lo_nm, double hi_nm);

// ---------------------------------------------------------------------------
// Text of the figure and the page (markup.cpp).

// The colour behind pixels without data: apart from every colour of the table.
constexpr const char *INFO_NO_DATA_COLOUR = "#e0e0e0";

struct info_num_t {
    char text[48];
};

// v in plain decimals; trailing zeros (and a bare point) dropped when
// `trim`, "-0" shown as "0". Values too long for plain digits come in the
// shortest exponent form.
info_num_t info_fixed(double v, int decimals, bool trim = true);

// Four significant digits, as printf's %.4g.
info_num_t info_figure(double v);

void info_put(df_out_t *out, const char *text);
void info_putf(df_out_t *out, const char *format, ...) U_PRINTF_FORMAT(2, 3);

// Text content or attribute value: markup characters as entities,
// well-formed UTF-8 kept, other bytes taken as Latin-1 characters; control
// characters and U+FFFE, U+FFFF (which XML cannot hold) become U+FFFD.
void info_put_escaped(df_out_t *out, const char *text);

void info_put_base64(df_out_t *out, const uint8_t *bytes, std::size_t n);

// The start of an SVG figure of width x height px on a white ground.
void info_put_svg_start(df_out_t *out, double width, double height);

// The map of a figure: the no-data colour (id "no-data") under the PNG
// (id "map") drawn at x, y, w x h px, its pixels kept sharp.
void info_put_map(df_out_t *out, const info_png_t *png, double x, double y, double w, double h);

// The map's extent at the camera pixels' own aspect (in metres, or in
// pixels when their size is unknown: square).
void info_map_extent(const df_hdr_t *h, int columns, int rows, double *across, double *down);

// The lines under the title: "PV ... nm  RMS ... nm  mean ... nm  valid
// ...%" (4 significant digits) and "captured YYYY-MM-DD hh:mm:ss UTC".
struct info_caption_t {
    char figures[256];
    char captured[64];
};
void info_caption(const info_file_t *file, info_caption_t *caption);

// Writes "x,y,height_nm" and one line per valid pixel in camera coordinates.
// ERR_NO_DATA without a phase block, and the codes of the output file.
[[nodiscard]] int32_t info_write_csv(const info_file_t *file, const char *path, int64_t *rows);

// ---------------------------------------------------------------------------
// Heights for other programs (heights.cpp, tiff.cpp, tiff_strips.cpp, gsf.cpp).

// Whether the phase map gives heights to export: ERR_NO_DATA without a phase
// block, ERR_ALL_BAD_DATA without a valid pixel, ERR_INVALID_PARAM when the
// factors give no finite height. 0 when it does.
[[nodiscard]] int32_t info_heights_usable(const info_file_t *file);

// The same, for heights of `per_count` (metres or nm per count) stored as
// 32-bit floats: ERR_FP_OVERFLOW as well when one lies beyond their range.
[[nodiscard]] int32_t info_float_heights_usable(const info_file_t *file, double per_count);

// Metres per camera pixel across (x) and down (y), each the decimal that the
// file's float stands for: CameraRes for both; else the pixel width across
// and the pixel height (or else the width) down.
// False, with zeros, when neither CameraRes nor the pixel width is a positive
// finite number.
struct info_lateral_t {
    double x_m;
    double y_m;
};
bool info_lateral_scale(const df_hdr_t *hdr, info_lateral_t *scale);

// Row `row` of the phase window as little-endian IEEE 32-bit floats of
// count x per_count, a quiet NaN where there is no data: 4 x width bytes.
void info_float_row(const int_map_t *map, int row, double per_count, uint8_t *out);

// The character at s (at most n bytes): the code point of a well-formed UTF-8
// sequence, else the byte taken as a Latin-1 character. *length: the bytes
// it takes.
uint32_t info_next_char(const unsigned char *s, std::size_t n, std::size_t *length);

// The name without its folders.
const char *info_base_name(const char *path);

// A text assembled in one block; what goes past the capacity is dropped.
struct info_text_t {
    char *bytes; // from u_malloc_fn, or null
    std::size_t size;
    std::size_t capacity;
};
[[nodiscard]] bool info_text_init(info_text_t *text, std::size_t capacity);
void info_text_put(info_text_t *text, const char *bytes, std::size_t n);
void info_text_puts(info_text_t *text, const char *s);
void info_text_free(info_text_t *text);

// Adds the bytes of a text of the file to an output text, each format with
// its own escapes.
using info_text_escape_fn = void (*)(info_text_t *text, const char *bytes, std::size_t n);

// One line "NAME<separator>VALUE\n" per attribute of the file, in the file's
// own units (seconds, metres, counts): TimeStamp, Date (its UTC text),
// comment (through `escape`), IntfScaleFactor, WavelengthIn,
// ObliquityFactor, CameraRes, PixelWidth, PixelHeight, PhaseRes,
// CameraWidth, CameraHeight, and the phase window's place in the camera
// frame, WindowX and WindowY.
void info_put_attributes(info_text_t *text, const info_file_t *file, const char *separator,
                         info_text_escape_fn escape);

// A TIFF file's strips: rows_per_strip rows of 32-bit float heights each,
// every strip a zlib stream of its own. The strips lie in order in the
// halves' blocks, the first half's strips before the second's.
struct info_strips_t {
    uint8_t *half[2]; // compressed strips (from u_malloc_fn), or null
    std::size_t half_size[2];
    uint32_t *sizes; // compressed bytes of each strip
    int32_t count;
    int32_t rows_per_strip;
};

// Compresses the heights (count x per_count) of the phase map into strips,
// on two threads for a large map; the bytes do not depend on the threads.
// ERR_NO_MEM, ERR_DATASET_DIM_TOO_LARGE when the strips could exceed what a
// TIFF file can address.
[[nodiscard]] int32_t info_deflate_strips(const int_map_t *map, double per_count,
                                          info_strips_t *strips);
void info_strips_free(info_strips_t *strips);

// Writes the heights in nm as a TIFF file (tiff.cpp): 32-bit floats, NaN
// without data, Deflate-compressed strips, the lateral scale as resolution
// in pixels per cm and as an ImageJ description with the attributes. The
// codes of info_float_heights_usable, info_deflate_strips and the output
// file.
[[nodiscard]] int32_t info_write_tiff(const info_file_t *file, const char *path);

// Writes the heights in metres as a Gwyddion Simple Field file (gsf.cpp),
// with the lateral size and offset in metres and the attributes as keys.
// The codes of info_float_heights_usable and the output file, ERR_NO_MEM.
[[nodiscard]] int32_t info_write_gsf(const info_file_t *file, const char *path);

// ---------------------------------------------------------------------------
// The uncertainty budget of several files (budget.cpp, budget_svg.cpp,
// report_json.cpp).

// Parses the --weights list: `count` comma-separated numbers, each finite
// and >= 0 (-0 taken as 0). False, with the reason in `reason`, for any
// other list.
bool info_parse_weights(const char *text, int32_t count, double *weights, char *reason,
                        std::size_t size);

// Computes the budget of the options' inputs with the run (no output file
// written) and shows it: the table or JSON on standard output, and the
// figure. The run's refusals go to standard error as its messages. Yields
// the exit status: 0, or 1 after a refusal or a failed figure.
int info_budget_main(const info_options_t *opts);

// The table: one aligned row per input (name, coefficient, RMS and max nm,
// share and dominant %, valid pixels), then the combined row.
void info_budget_text(const rss_budget_t *budget, int32_t count);

// The same as one JSON object {"inputs": [...], "combined": {...}}.
void info_json_budget(const rss_budget_t *budget, int32_t count);

// The figure's colours, Okabe and Ito's, which colour-blind readers tell
// apart. Up to eight inputs each have their own; of more, the seven with the
// largest shares keep theirs and the others share the last.
constexpr int INFO_BUDGET_COLOURS = 8;
extern const uint32_t INFO_BUDGET_PALETTE[INFO_BUDGET_COLOURS];

// Writes the budget figure: the dominance map (budget->dominance) at the
// pixel aspect of `first`, each pixel in its dominant input's colour, with a
// legend; beside it a bar per input for its share, under the combined RMS as
// the title. The codes of the output file and ERR_NO_MEM.
[[nodiscard]] int32_t info_write_budget_svg(const rss_budget_t *budget, int32_t count,
                                            const df_hdr_t *first, const char *path);
