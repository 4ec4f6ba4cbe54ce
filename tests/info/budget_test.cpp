// kelvorin-info --budget end to end: worked cases by hand, a mixed case
// against the budget worked out pixel by pixel (tests/common), the run's own
// numbers read back exactly, the table beside the JSON, usage errors and the
// run's refusals; the figure is checked by tests/info/budget_check.py.
#include "common/budget_oracle.h"
#include "info/info_fixture.h"

#include <cstdlib>

namespace {

class InfoBudget : public InfoTest {
  protected:
    // The budget as the library gives it for the inputs in the folder.
    std::vector<rss_budget_row_t> library_budget(const std::vector<std::string> &names,
                                                 const std::vector<double> &weights,
                                                 rss_budget_t *budget) {
        std::vector<std::string> paths;
        std::vector<const char *> list;
        for (const std::string &name : names) {
            paths.push_back(path(name));
        }
        for (const std::string &p : paths) {
            list.push_back(p.c_str());
        }
        std::vector<rss_budget_row_t> rows(names.size());
        *budget = rss_budget_t{rows.data(), 0, 0, 0, nullptr};
        rss_request_t request{};
        request.phase_res = -1;
        request.names = list.data();
        request.count = static_cast<int32_t>(list.size());
        request.weights = weights.empty() ? nullptr : weights.data();
        request.budget = budget;
        EXPECT_EQ(rss_compute(&request, nullptr), 0);
        return rows;
    }

    json_t budget_json(std::vector<std::string> args) {
        args.insert(args.begin(), {"--budget", "--json"});
        const process_result_t r = run(args);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        json_t doc;
        EXPECT_TRUE(json_parse(r.out, &doc)) << r.out;
        EXPECT_EQ(doc.keys, "inputs,combined,");
        return doc;
    }
};

bool near(double got, long double want) {
    return std::fabs(got - want) <= 1e-12L * std::fabs(want) + 1e-300L;
}

TEST_F(InfoBudget, WorkedCases) {
    const window_t w{1, 1, 6, 4};
    const test_phase_t a_bad = phase_of(w, [](int, int y) { return y == 1 ? BAD : 500; });
    struct row_t {
        double weight, share, dominant;
        long double rms, max; // counts, in the first input's units
        int64_t valid;
    };
    struct case_t {
        const char *what;
        test_phase_t a, b;
        std::string weights;
        row_t rows[2];
        long double rms, max; // combined
        int64_t valid;
    };
    const long double root52 = std::sqrt(52e6L);
    const case_t cases[] = {
        {"known shares",
         uniform_phase(w, 3000),
         uniform_phase(w, 4000),
         "",
         {{1, 0.36, 0, 3000, 3000, 24}, {1, 0.64, 1, 4000, 4000, 24}},
         5000,
         5000,
         24},
        {"coefficients",
         uniform_phase(w, 3000),
         uniform_phase(w, -4000),
         "2,1",
         {{2, 36 / 52.0, 1, 6000, 6000, 24}, {1, 16 / 52.0, 0, 4000, 4000, 24}},
         root52,
         root52,
         24},
        {"a tie goes to the earlier",
         uniform_phase(w, 1000),
         uniform_phase(w, 1000),
         "",
         {{1, 0.5, 1, 1000, 1000, 24}, {1, 0.5, 0, 1000, 1000, 24}},
         1000 * std::sqrt(2.0L),
         1000 * std::sqrt(2.0L),
         24},
        {"a zero coefficient still masks",
         a_bad,
         uniform_phase(w, 2000),
         "0,1",
         {{0, 0, 0, 0, 0, 18}, {1, 1, 1, 2000, 2000, 24}},
         2000,
         2000,
         18},
        {"a total of zero",
         uniform_phase(w, 0),
         uniform_phase(w, 0),
         "",
         {{1, 0, 1, 0, 0, 24}, {1, 0, 0, 0, 0, 24}},
         0,
         0,
         24},
    };
    const df_hdr_t hdr = test_header(8, 6);
    const long double nm = reference(hdr, uniform_phase(w, 0)).nm_per_count;
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        make_input("a.dat", hdr, c.a);
        make_input("b.dat", hdr, c.b);
        std::vector<std::string> args = {"a.dat", "b.dat"};
        std::vector<double> weights;
        if (!c.weights.empty()) {
            args.insert(args.begin(), {"--weights", c.weights});
            weights = {c.rows[0].weight, c.rows[1].weight};
        }
        const json_t doc = budget_json(args);
        rss_budget_t lib;
        const std::vector<rss_budget_row_t> lib_rows =
            library_budget({"a.dat", "b.dat"}, weights, &lib);
        ASSERT_EQ(doc["inputs"].items.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            const json_t &r = doc["inputs"].items[i];
            const row_t &want = c.rows[i];
            EXPECT_EQ(r.keys, "name,weight,rms_nm,max_nm,share,dominant,valid,");
            EXPECT_EQ(r["name"].text, i == 0 ? "a.dat" : "b.dat");
            EXPECT_EQ(r["weight"].number, want.weight);
            EXPECT_TRUE(near(r["rms_nm"].number, want.rms * nm)) << r["rms_nm"].number;
            EXPECT_TRUE(near(r["max_nm"].number, want.max * nm)) << r["max_nm"].number;
            EXPECT_TRUE(near(r["share"].number, want.share)) << r["share"].number;
            EXPECT_EQ(r["dominant"].number, want.dominant);
            EXPECT_EQ(r["valid"].number, want.valid);
            // The library's numbers, read back exactly.
            const rss_budget_row_t &l = lib_rows[i];
            const double lib_numbers[] = {l.weight, l.rms_nm, l.max_nm, l.share, l.dominant};
            for (int k = 0; k < 5; ++k) {
                EXPECT_EQ(r.items[1 + k].number, lib_numbers[k]) << r.names[1 + k];
            }
        }
        const json_t &all = doc["combined"];
        EXPECT_EQ(all.keys, "rms_nm,max_nm,valid,");
        EXPECT_TRUE(near(all["rms_nm"].number, c.rms * nm)) << all["rms_nm"].number;
        EXPECT_TRUE(near(all["max_nm"].number, c.max * nm)) << all["max_nm"].number;
        EXPECT_EQ(all["valid"].number, c.valid);
        EXPECT_EQ(all["rms_nm"].number, lib.rms_nm);
        EXPECT_EQ(all["max_nm"].number, lib.max_nm);
    }
}

// Inputs of three phase resolutions, windows and coefficients: the numbers
// against the budget worked out pixel by pixel, and the table against them.
TEST_F(InfoBudget, MixedInputsAgainstThePixelByPixelBudgetAndTheTable) {
#ifdef _WIN32
    const char *accented = "super e.dat"; // narrow names on Windows are in its code page
#else
    const char *accented = "super \xc3\xa9.dat";
#endif
    const std::vector<std::string> names = {"normal.dat", "high.dat", accented};
    const std::vector<double> weights = {0.5, 2, 1.25};
    for (int i = 0; i < 3; ++i) {
        const window_t w{static_cast<int16_t>(2 + i), static_cast<int16_t>(1 + 2 * i), 30, 20};
        make_input(names[i], test_header(40, 30, static_cast<int16_t>(i)),
                   phase_of(w, [i](int x, int y) {
                       return (x * y + i) % 11 == 0 ? BAD : (x * (7 + i) + y * y * (3 - i)) << i;
                   }));
    }
    const oracle_budget_t want =
        oracle_budget({path(names[0]), path(names[1]), path(names[2])}, weights, -1);
    const json_t doc = budget_json({"--weights", "0.5,2,1.25", names[0], names[1], names[2]});
    const process_result_t text =
        run({"--budget", "--weights", "0.5,2,1.25", names[0], names[1], names[2]});
    ASSERT_EQ(text.exit_status, 0);
    // The table: names in a column as wide as the longest (é is one
    // character), numbers flush right under their headings.
    std::istringstream lines(text.out);
    std::string header;
    std::getline(lines, header);
    std::size_t ends[7] = {11};
    const char *headings[] = {"weight",  "RMS nm",     "max nm",
                              "share %", "dominant %", "valid pixels"};
    for (int k = 1; k < 7; ++k) {
        ends[k] = header.find(headings[k - 1]) + std::strlen(headings[k - 1]);
        EXPECT_GE(ends[k], ends[k - 1] + 2 + std::strlen(headings[k - 1])) << headings[k - 1];
    }
    EXPECT_EQ(header.substr(0, 11), "input      ");
    std::string line;
    for (std::size_t i = 0; i <= names.size(); ++i) {
        SCOPED_TRACE(i);
        const bool combined = i == names.size();
        const json_t &r = combined ? doc["combined"] : doc["inputs"].items[i];
        const double rms = combined ? want.rms_nm : want.rows[i].rms_nm;
        const double max = combined ? want.max_nm : want.rows[i].max_nm;
        EXPECT_TRUE(std::fabs(r["rms_nm"].number - rms) <= 1e-12 * rms) << r["rms_nm"].number;
        EXPECT_TRUE(std::fabs(r["max_nm"].number - max) <= 1e-12 * max) << r["max_nm"].number;
        EXPECT_EQ(r["valid"].number, combined ? want.valid : want.rows[i].valid);
        if (!combined) {
            EXPECT_EQ(r["weight"].number, weights[i]);
            EXPECT_TRUE(std::fabs(r["share"].number - want.rows[i].share) <= 1e-12);
            EXPECT_EQ(r["dominant"].number, want.rows[i].dominant);
        }
        ASSERT_TRUE(std::getline(lines, line));
        const std::string name = combined ? "combined" : names[i];
        EXPECT_EQ(line.substr(0, name.size()), name);
        if (const std::size_t e = line.find("\xc3\xa9"); e != std::string::npos) {
            line.erase(e, 1);
        }
        ASSERT_EQ(line.size(), header.size()) << line;
        double cell[7] = {};
        for (int k = 1; k < 7; ++k) {
            const std::string text = line.substr(ends[k - 1], ends[k] - ends[k - 1]);
            const std::size_t first = text.find_first_not_of(' ');
            const bool blank = combined && (k == 1 || k == 4 || k == 5);
            EXPECT_EQ(first == std::string::npos, blank) << headings[k - 1];
            if (!blank && first != std::string::npos) {
                char *end = nullptr;
                cell[k] = std::strtod(text.c_str() + first, &end);
                EXPECT_EQ(*end, '\0') << text;
            }
        }
        if (!combined) {
            EXPECT_EQ(cell[1], weights[i]);
            EXPECT_NEAR(cell[4], 100 * r["share"].number, 0.005 + 1e-9);
            EXPECT_NEAR(cell[5], 100 * r["dominant"].number, 0.005 + 1e-9);
        }
        EXPECT_NEAR(cell[2], r["rms_nm"].number, 5e-6 * r["rms_nm"].number);
        EXPECT_NEAR(cell[3], r["max_nm"].number, 5e-6 * r["max_nm"].number);
        EXPECT_EQ(cell[6], r["valid"].number);
    }
    EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(InfoBudget, UsageErrorsAndRefusals) {
    make_input("a.dat", test_header(8, 6), uniform_phase({0, 0, 4, 3}, 100));
    make_input("b.dat", test_header(8, 6), uniform_phase({4, 3, 4, 3}, 100));
    make_input("wide.dat", test_header(9, 6), uniform_phase({0, 0, 4, 3}, 100));
    make_text("notes.txt", "no data file\n");
    struct case_t {
        std::vector<std::string> args;
        int status;
        std::string err; // the first line of standard error
    };
    const std::string prog = "kelvorin-info: ";
    const case_t cases[] = {
        {{"--budget", "--weights", "1,x", "a.dat", "a.dat"}, 2, "--weights: \"x\" is not a number"},
        {{"--budget", "--weights", "1,,", "a.dat", "a.dat", "a.dat"},
         2,
         "--weights: \"\" is not a number"},
        {{"--budget", "--weights", "1", "a.dat", "a.dat"},
         2,
         "--weights gives 1 coefficient for 2 input files"},
        {{"--budget", "--weights", "1,2,3", "a.dat", "a.dat"},
         2,
         "--weights gives 3 coefficients for 2 input files"},
        {{"--budget", "--weights", "1,-0.5", "a.dat", "a.dat"},
         2,
         "--weights: -0.5 is no coefficient (a finite number >= 0)"},
        {{"--budget", "--weights", "inf,1", "a.dat", "a.dat"},
         2,
         "--weights: inf is no coefficient (a finite number >= 0)"},
        {{"--budget", "--weights", "1", "--weights", "1", "a.dat"}, 2, "--weights given twice"},
        {{"--weights", "1", "a.dat"}, 2, "--weights applies to --budget only"},
        {{"--budget", "--png", "x.png", "a.dat"},
         2,
         "--budget takes --json, --svg and --weights only"},
        {{"--budget", "--svg", "x.svg", "--range", "0", "1", "a.dat"},
         2,
         "--budget takes --json, --svg and --weights only"},
        // The run's refusals, with its messages; nothing written.
        {{"--budget", "--svg", "x.svg", "a.dat", "b.dat"},
         1,
         "RSS result map contains no valid data points"},
        {{"--budget", "--json", "--svg", "x.svg", "a.dat", "wide.dat"},
         1,
         "Input file \"wide.dat\" has mismatched CameraWidth or CameraHeight"},
        {{"--budget", "a.dat", "none.dat"}, 1, "Cannot access input file \"none.dat\""},
        {{"--budget", "--json", "a.dat", "notes.txt"}, 1, "Error reading input file \"notes.txt\""},
        {{"--budget", "--svg", "b.dat", "a.dat"},
         1,
         "b.dat: ERR_FILE_READ_ONLY (the file is a data file, which an export never replaces)"},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const process_result_t r = run(c.args);
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_EQ(r.err.substr(0, r.err.find_first_of("\r\n")), prog + c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(path("x.svg")));
    }
}

TEST_F(InfoBudget, FigureShowsWhereEachInputDominates) {
#ifdef _WIN32
    GTEST_SKIP() << "checked with the host's Python and Chromium";
#else
    struct case_t {
        const char *what;
        int inputs;
        std::string weights;
    };
    // Input i peaks on its own diagonals over a base that grows with i; the
    // first is cut short on the right and has holes.
    const auto map_of = [](int i, int n) {
        return phase_of({2, 1, static_cast<int16_t>(i == 0 ? 20 : 24), 14}, [i, n](int x, int y) {
            return i == 0 && (x * y) % 13 == 5 ? BAD : (x + 2 * y) % n == i ? 5000 : 1000 + 10 * i;
        });
    };
    const case_t cases[] = {
        {"three inputs", 3, "1,0.5,1"},
        {"nine inputs: the smaller shares together", 9, ""},
    };
    const char *python = checker_python();
    const bool browser = std::system("command -v chromium >/dev/null") == 0;
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--budget", "--json", "--svg", "b.svg"};
        std::vector<std::string> names;
        std::vector<double> weights;
        for (int i = 0; i < c.inputs; ++i) {
            names.push_back("in" + std::to_string(i) + (i == 1 ? " <&>.dat" : ".dat"));
            make_input(names.back(), test_header(30, 20), map_of(i, c.inputs));
        }
        if (!c.weights.empty()) {
            args.insert(args.end(), {"--weights", c.weights});
            for (const char *p = c.weights.c_str(); *p != '\0'; p += *p == ',') {
                weights.push_back(std::strtod(p, const_cast<char **>(&p)));
            }
        }
        args.insert(args.end(), names.begin(), names.end());
        const process_result_t r = run(args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        write_file("b.json", r.out);
        std::vector<std::string> paths;
        for (const std::string &name : names) {
            paths.push_back(path(name));
        }
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
        const process_result_t verdict = run_process(python, check, dir_.string());
        EXPECT_EQ(verdict.exit_status, 0) << verdict.out << verdict.err;
    }
    if (!browser) {
        GTEST_SKIP() << "no chromium: the figure was not rendered";
    }
#endif
}

} // namespace
