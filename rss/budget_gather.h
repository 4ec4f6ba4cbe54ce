// The budget's per-pixel work, for rss_budget. `best` holds, per pixel, the
// largest square gathered so far (-1 before any; NaN outside V) and
// `best_input` its input.
#pragma once

#include "rss/rss_budget.h"

#include <cstddef>
#include <cstdint>
#include <limits>

constexpr double NOT_IN_V = std::numeric_limits<double>::quiet_NaN();

// Gathers `rows` rows of a member's counts (big-endian, its window's width)
// from camera row `row` on, against `best` (rows of the frame's width from
// camera row best_top), into `s`.
void gather_rows(const rss_plan_t &p, const budget_work_t &w, const member_t &m,
                 const unsigned char *counts, int32_t row, int32_t rows, int32_t best_top,
                 budget_sums_t *s);

// The result's sums of n pixels over V into `s`; with `best`, marks each
// pixel in V (-1) or not (NaN) there.
void note_sums(const rss_plan_t &p, const double *sums, std::size_t n, double *best,
               budget_sums_t *s);

// Counts where each input dominates the n pixels gathered (sums, one per
// input), and marks them on the dominance map from pixel `at` on.
void count_dominant(const budget_work_t &w, std::size_t n, budget_sums_t *sums, int32_t inputs,
                    int32_t *map, std::size_t at);
