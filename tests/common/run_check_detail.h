// What the checks of a finished run share: the messages' forms, the inputs
// as the reader delivers them, and the result they call for.
#pragma once

#include "common/run_check.h"
#include "datafile/datafile.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace run_check_detail {

inline constexpr const char *PREFIX = "Kelvorin\nERROR: ";

// Largest RSS value the result keeps; within ROUNDING_BAND of the cut-off
// either outcome is accepted.
inline constexpr double RESULT_LIMIT = 67108863.0;
inline constexpr double ROUNDING_BAND = 2.0;

// Codes a failed read may end with.
inline constexpr const char *READ_CODES[] = {
    "ERR_CANT_OPEN_FILE",        "ERR_PREMATURE_EOF",      "ERR_NOT_A_DATA_FILE",
    "ERR_DATASET_DIM_TOO_LARGE", "ERR_PARAM_OUT_OF_RANGE", "ERR_NO_MEM",
    "ERR_CORRUPT_DATA_FILE",
};

// Codes a run names without a message of its own: map allocation, placing an
// input outside the camera frame, overflow of the arithmetic, the writer.
inline constexpr const char *RUN_CODES[] = {
    "ERR_NO_MEM",           "ERR_IMPROPER_WINDOW", "ERR_FP_OVERFLOW",
    "ERR_CANT_CREATE_FILE", "ERR_CANT_WRITE_FILE",
};

template <std::size_t N> bool one_of(const std::string &text, const char *const (&set)[N]) {
    return std::find(std::begin(set), std::end(set), text) != std::end(set);
}

inline bool starts_with(const std::string &text, std::size_t at, const std::string &part) {
    return text.compare(at, part.size(), part) == 0;
}

// A data file as the reader delivers it; the map is released with the record.
struct loaded_t {
    int32_t code = 0;
    df_hdr_t hdr{};
    int_map_t map{};
    loaded_t() = default;
    loaded_t(const loaded_t &) = delete;
    loaded_t &operator=(const loaded_t &) = delete;
    ~loaded_t() { int_map_free(&map); }
};

std::unique_ptr<loaded_t> load(const std::string &name);
std::vector<std::unique_ptr<loaded_t>> load_all(const run_record_t &run);

// Value at camera position (x, y), INT_MAP_INVALID outside the map's window.
int32_t pixel(const int_map_t &map, int32_t x, int32_t y);
bool any_valid(const int_map_t &map);

// printf into a string; the arguments are all passed as long.
std::string text(const char *format, long a = 0, long b = 0, long c = 0, long d = 0);

// ---------------------------------------------------------------------------
// The result the inputs call for, worked out independently of the run: each
// camera pixel valid in every input holds the root of the sum of the squares
// of its values in output units.

enum expect_t : uint8_t { EXPECT_INVALID, EXPECT_VALID, EXPECT_EITHER };

struct expected_t {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<expect_t> kind;
    std::vector<double> rss;
};
expected_t expected_result(const std::vector<const loaded_t *> &in, int32_t phase_setting);

// Every input must have been usable for the run to succeed.
std::string check_inputs_usable(const run_record_t &run,
                                const std::vector<std::unique_ptr<loaded_t>> &in);

// A failed run: its message takes one of the program's forms, the cause it
// states is real, and the output file is left empty.
std::string check_failure(const run_record_t &run, const run_check_options_t &options);

} // namespace run_check_detail
