// The uncertainty budget of a set of data files, computed here pixel by
// pixel over the camera frame from the files' raw counts, with the units
// worked out from their own fields: what a run's rss_budget_t must hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct oracle_budget_row_t {
    double weight;
    double rms_nm;
    double max_nm;
    double share;
    double dominant;
    int64_t valid;
};

struct oracle_budget_t {
    std::vector<oracle_budget_row_t> rows;
    double rms_nm;
    double max_nm;
    int64_t valid;
    std::vector<int32_t> dominance; // over the camera frame: the input, or 0x7FFFFFF8 outside V
    int32_t width;                  // of the camera frame
};

// weights: one per input, or empty (all 1); phase_setting: -1 or the output's
// code. The inputs must make a successful run.
oracle_budget_t oracle_budget(const std::vector<std::string> &names,
                              const std::vector<double> &weights, int32_t phase_setting);
