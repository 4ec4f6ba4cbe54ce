// kelvorin-info --budget end to end: the JSON against the budget worked out
// pixel by pixel (tests/common) and, read back exactly, against the library's
// own numbers; the table against the JSON; usage errors and the run's
// refusals. The figure is checked by tests/info/budget_check.py.
#include "common/budget_oracle.h"
#include "info/info_fixture.h"

#include <cstdlib>

namespace {

TEST_F(InfoTest, BudgetAgainstThePixelByPixelBudgetTheLibraryAndTheTable) {
    // Three phase resolutions, windows and coefficients; é is one character
    // in the table's name column.
    std::vector<std::string> names = {"normal.dat", "high.dat", "super \xc3\xa9.dat"};
#ifdef _WIN32
    names[2] = "super e.dat"; // narrow names on Windows are in its code page
#endif
    const std::vector<double> weights = {0.5, 2, 1.25};
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) {
        const window_t w{static_cast<int16_t>(2 + i), static_cast<int16_t>(1 + 2 * i), 30, 20};
        make_input(names[i], test_header(40, 30, static_cast<int16_t>(i)),
                   phase_of(w, [i](int x, int y) {
                       return (x * y + i) % 11 == 0 ? BAD : (x * (7 + i) + y * y * (3 - i)) << i;
                   }));
        paths.push_back(path(names[i]));
    }
    const oracle_budget_t want = oracle_budget(paths, weights, -1);
    std::vector<const char *> list = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str()};
    std::vector<rss_budget_row_t> lib_rows(3);
    rss_budget_t lib{lib_rows.data(), 0, 0, 0, nullptr};
    const rss_request_t request{nullptr, -1, false, list.data(), 3, weights.data(), &lib};
    ASSERT_EQ(rss_compute(&request, nullptr), 0);

    const std::vector<std::string> args = {"--budget", "--weights", "0.5,2,1.25",
                                           names[0],   names[1],    names[2]};
    const process_result_t text = run(args);
    std::vector<std::string> json_args = args;
    json_args.insert(json_args.begin(), "--json");
    const process_result_t json_run = run(json_args);
    ASSERT_EQ(json_run.exit_status, 0) << json_run.err;
    json_t doc;
    ASSERT_TRUE(json_parse(json_run.out, &doc)) << json_run.out;
    EXPECT_EQ(doc.keys, "inputs,combined,");
    ASSERT_EQ(doc["inputs"].items.size(), 3u);
    std::istringstream lines(text.out);
    std::string line;
    std::getline(lines, line);
    const std::size_t width = line.size();
    EXPECT_EQ(line.substr(0, 19), "input        weight");
    for (std::size_t i = 0; i <= 3; ++i) {
        SCOPED_TRACE(i);
        const bool combined = i == 3;
        const json_t &r = combined ? doc["combined"] : doc["inputs"].items[i];
        EXPECT_EQ(r.keys, combined ? "rms_nm,max_nm,valid,"
                                   : "name,weight,rms_nm,max_nm,share,dominant,valid,");
        const double rms = combined ? want.rms_nm : want.rows[i].rms_nm;
        const double max = combined ? want.max_nm : want.rows[i].max_nm;
        EXPECT_NEAR(r["rms_nm"].number, rms, 1e-12 * rms);
        EXPECT_NEAR(r["max_nm"].number, max, 1e-12 * max);
        EXPECT_EQ(r["valid"].number, combined ? want.valid : want.rows[i].valid);
        EXPECT_EQ(r["rms_nm"].number, combined ? lib.rms_nm : lib_rows[i].rms_nm);
        EXPECT_EQ(r["max_nm"].number, combined ? lib.max_nm : lib_rows[i].max_nm);
        if (!combined) {
            EXPECT_EQ(r["name"].text, names[i]);
            EXPECT_EQ(r["weight"].number, weights[i]);
            EXPECT_NEAR(r["share"].number, want.rows[i].share, 1e-12);
            EXPECT_EQ(r["share"].number, lib_rows[i].share);
            EXPECT_EQ(r["dominant"].number, want.rows[i].dominant);
        }
        // The row: the name, then the numbers rounded, as wide as the
        // headings' line (every column flush right).
        ASSERT_TRUE(std::getline(lines, line));
        const std::string name = combined ? "combined" : names[i];
        ASSERT_EQ(line.substr(0, name.size()), name);
        EXPECT_EQ(line.size() - (name.find('\xc3') != std::string::npos), width) << line;
        std::istringstream cells(line.substr(name.size()));
        double c[6] = {};
        if (combined) {
            cells >> c[1] >> c[2] >> c[5];
        } else {
            cells >> c[0] >> c[1] >> c[2] >> c[3] >> c[4] >> c[5];
            EXPECT_EQ(c[0], weights[i]);
            EXPECT_NEAR(c[3], 100 * r["share"].number, 0.005 + 1e-9);
            EXPECT_NEAR(c[4], 100 * r["dominant"].number, 0.005 + 1e-9);
        }
        EXPECT_NEAR(c[1], r["rms_nm"].number, 5e-6 * r["rms_nm"].number);
        EXPECT_NEAR(c[2], r["max_nm"].number, 5e-6 * r["max_nm"].number);
        EXPECT_EQ(c[5], r["valid"].number);
    }
    EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(InfoTest, BudgetUsageErrorsAndRefusals) {
    make_input("a.dat", test_header(8, 6), uniform_phase({0, 0, 4, 3}, 100));
    make_input("b.dat", test_header(8, 6), uniform_phase({4, 3, 4, 3}, 100));
    make_input("wide.dat", test_header(9, 6), uniform_phase({0, 0, 4, 3}, 100));
    make_text("notes.txt", "no data file\n");
    const std::string a = "a.dat", B = "--budget", W = "--weights", svg = "--svg";
    const std::string only = "--budget takes --json, --svg and --weights only";
    const std::string no_coefficient = " is no coefficient (a finite number >= 0)";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err; // the first line of standard error, after the program's name
    } cases[] = {
        {{B, W, "1,x", a, a}, 2, "--weights: \"x\" is not a number"},
        {{B, W, "1,,", a, a, a}, 2, "--weights: \"\" is not a number"},
        {{B, W, "1", a, a}, 2, "--weights gives 1 coefficient for 2 input files"},
        {{B, W, "1,-0.5", a, a}, 2, "--weights: -0.5" + no_coefficient},
        {{B, W, "inf,1", a, a}, 2, "--weights: inf" + no_coefficient},
        {{W, "1", a}, 2, "--weights applies to --budget only"},
        {{B, "--png", "x.png", a}, 2, only},
        {{B, svg, "x.svg", "--range", "0", "1", a}, 2, only},
        // The run's refusals, with its messages; nothing written.
        {{B, svg, "x.svg", a, "b.dat"}, 1, "RSS result map contains no valid data points"},
        {{B, "--json", svg, "x.svg", a, "wide.dat"},
         1,
         "Input file \"wide.dat\" has mismatched CameraWidth or CameraHeight"},
        {{B, a, "none.dat"}, 1, "Cannot access input file \"none.dat\""},
        {{B, "--json", a, "notes.txt"}, 1, "Error reading input file \"notes.txt\""},
        {{B, svg, "b.dat", a},
         1,
         "b.dat: ERR_FILE_READ_ONLY (the file is a data file, which an export never replaces)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const process_result_t r = run(c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.err.substr(0, r.err.find_first_of("\r\n")), "kelvorin-info: " + c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(path("x.svg")));
    }
}

TEST_F(InfoTest, BudgetFigureShowsWhereEachInputDominates) {
#ifdef _WIN32
    GTEST_SKIP() << "checked with the host's Python and Chromium";
#else
    // Input i of n peaks on its own diagonals over a base that grows with i;
    // the first of a few is cut short on the right and has holes.
    const auto peaks = [](int i, int n) {
        const bool few = n < 9;
        return phase_of({2, 1, static_cast<int16_t>(i == 0 && few ? 20 : 24), 14},
                        [i, n, few](int x, int y) {
                            return i == 0 && few && (x * y) % 13 == 5 ? BAD
                                   : (x + 2 * y) % n == i             ? 5000
                                                                      : 1000 + 10 * i;
                        });
    };
    const bool browser = std::system("command -v chromium >/dev/null") == 0;
    // Of nine inputs the seven largest shares keep their colours.
    for (const std::vector<double> &weights : {std::vector<double>{1, 0.5, 1}, {}}) {
        const int n = weights.empty() ? 9 : 3;
        std::vector<std::string> args = {"--budget", "--json", "--svg", "b.svg"};
        if (!weights.empty()) {
            args.insert(args.end(), {"--weights", "1,0.5,1"});
        }
        std::vector<std::string> paths;
        for (int i = 0; i < n; ++i) {
            args.push_back("in" + std::to_string(i) + (i == 1 ? " <&>.dat" : ".dat"));
            make_input(args.back(), test_header(30, 20), peaks(i, n));
            paths.push_back(path(args.back()));
        }
        const process_result_t r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        write_file("b.json", r.out);
        const oracle_budget_t want = oracle_budget(paths, weights, -1);
        std::ostringstream expected;
        expected << "{\"width\": " << want.width << ", \"dominance\": [";
        for (std::size_t p = 0; p < want.dominance.size(); ++p) {
            expected << (p > 0 ? "," : "") << want.dominance[p];
        }
        write_file("expected.json", expected.str() + "]}");
        std::vector<std::string> check = {KELVORIN_SOURCE_DIR "/tests/info/budget_check.py",
                                          "b.svg", "b.json", "expected.json"};
        if (browser) {
            check.push_back("--render");
        }
        const process_result_t verdict = run_process(checker_python(), check, dir_.string());
        EXPECT_EQ(verdict.exit_status, 0) << n << " inputs: " << verdict.out << verdict.err;
    }
    if (!browser) {
        GTEST_SKIP() << "no chromium: the figure was not rendered";
    }
#endif
}

} // namespace
