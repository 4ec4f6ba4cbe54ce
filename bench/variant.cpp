// The RSS run with one of its mechanisms switched off, for measuring what
// each one earns. Output, report and messages as the tool's run (quiet).
//
//   bench_variant MODE OUT IN... | @LIST
//   MODE: all, no-ahead (result written whole at the end), one-by-one
//   (batches of one input), one-worker (no helper thread); budget (the run
//   with its uncertainty budget), budget-only (the budget alone, nothing
//   written)
#include "rss/rss_tuning.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_variant MODE OUT IN... | @LIST\n");
        return 2;
    }
    rss_tuning_t tuning = RSS_TUNING_DEFAULT;
    const std::string mode = argv[1];
    if (mode == "no-ahead") {
        tuning.write_ahead = false;
    } else if (mode == "one-by-one") {
        tuning.batch_max = 1;
    } else if (mode == "one-worker") {
        tuning.helper_thread = false;
    } else if (mode != "all" && mode != "budget" && mode != "budget-only") {
        std::fprintf(stderr, "bench_variant: unknown mode %s\n", argv[1]);
        return 2;
    }
    std::vector<std::string> names;
    if (argv[3][0] == '@') {
        std::ifstream list(argv[3] + 1);
        for (std::string line; std::getline(list, line);) {
            names.push_back(line);
        }
    } else {
        names.assign(argv + 3, argv + argc);
    }
    std::vector<const char *> list;
    for (const std::string &n : names) {
        list.push_back(n.c_str());
    }
    std::vector<rss_budget_row_t> rows(list.size());
    rss_budget_t budget{rows.data(), 0, 0, 0, nullptr};
    const bool with_budget = mode.starts_with("budget");
    const rss_request_t request = {mode == "budget-only" ? nullptr : argv[2],
                                   -1,
                                   false,
                                   list.data(),
                                   static_cast<int32_t>(list.size()),
                                   nullptr,
                                   with_budget ? &budget : nullptr};
    const rss_sink_t sink = {nullptr, nullptr, [](void *, const char *text) {
                                 std::fprintf(stderr, "bench_variant: %s\n", text);
                             }};
    return rss_compute_tuned(&request, &sink, tuning) == 0 ? 0 : 1;
}
