// Wildcard patterns on the Windows command line. There no shell expands them:
// the program's start-up must replace a pattern by the names of the matching
// files before the entry sees the arguments. Elsewhere the shell does that
// job, so these tests run only where the start-up does it.
#include "e2e_fixture.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

class Wildcards : public E2eTest {
  protected:
    void SetUp() override {
        if (!KELVORIN_START_UP_EXPANDS_PATTERNS) {
            GTEST_SKIP() << "the shell expands patterns on this platform";
        }
        E2eTest::SetUp();
        std::filesystem::create_directory(dir_ / "maps");
    }

    // Two inputs that give 5 everywhere in their common window, and files
    // that no pattern of these tests may pick up.
    void make_matching_inputs() {
        const df_hdr_t hdr = test_header(16, 8);
        make_input("maps/a.dat", hdr, uniform_phase({2, 1, 6, 4}, 3));
        make_input("maps/b.dat", hdr, uniform_phase({2, 1, 6, 4}, -4));
        make_text("maps/notes.txt", "not a data file\n");
        make_text("maps/ab.dat.bak", "not a data file either\n");
    }

    // The verbose report line that names input number `index`.
    static std::string input_line(int index, const std::string &name) {
        char label[32];
        std::snprintf(label, sizeof label, "InFile[%04d]", index);
        char line[300];
        std::snprintf(line, sizeof line, "%-20s = \"%s\"", label, name.c_str());
        return line;
    }

    // The comment of the written output file, which counts the inputs.
    std::string output_comment() const {
        const std::vector<uint8_t> bytes = file_bytes(path("out.dat"));
        if (bytes.size() < DF_SHORT_HEADER) {
            return {};
        }
        return std::string(reinterpret_cast<const char *>(bytes.data() + 80));
    }
};

TEST_F(Wildcards, PatternReachesTheEntryAsTheMatchingNames) {
    make_matching_inputs();
    for (const std::string pattern : {"maps\\*.dat", "maps/?.dat", "MAPS\\*.DAT"}) {
        SCOPED_TRACE(pattern);
        std::filesystem::remove(path("out.dat"));
        const process_result_t result = run({"-Verbose", "-RssOut", "out.dat", pattern});
        ASSERT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        // The matches keep the folder part as typed; the names come from the
        // folder listing.
        const std::string folder = pattern.substr(0, 5);
        EXPECT_NE(result.out.find(input_line(1, folder + "a.dat")), std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find(input_line(2, folder + "b.dat")), std::string::npos)
            << result.out;
        EXPECT_EQ(result.out.find("InFile[0003]"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find('*'), std::string::npos) << result.out;
        EXPECT_EQ(output_comment(), "RSS result map computed from 2 input data files");
        const test_phase_t rss = file_phase(file_bytes(path("out.dat")));
        EXPECT_EQ(rss.values, uniform_phase({2, 1, 6, 4}, 5).values);
    }
}

TEST_F(Wildcards, ExpandedNamesMixWithPlainNamesAndOptions) {
    make_matching_inputs();
    const df_hdr_t hdr = test_header(16, 8);
    make_input("c.dat", hdr, uniform_phase({0, 0, 16, 8}, 12));
    const process_result_t result = run({"c.dat", "maps\\*.dat", "-RssOut", "out.dat", "-Verbose"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.out.find(input_line(1, "c.dat")), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(input_line(2, "maps\\a.dat")), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(input_line(3, "maps\\b.dat")), std::string::npos) << result.out;
    EXPECT_EQ(output_comment(), "RSS result map computed from 3 input data files");
    // sqrt(12^2 + 3^2 + 4^2) = 13 where all three hold data.
    EXPECT_EQ(file_phase(file_bytes(path("out.dat"))).values,
              uniform_phase({2, 1, 6, 4}, 13).values);
}

TEST_F(Wildcards, FailureNamesTheExpandedFile) {
    make_input("maps/a.dat", test_header(16, 8), uniform_phase({0, 0, 16, 8}, 3));
    make_text("maps/b.dat", "no data file header here");
    const process_result_t result = run({"-RssOut", "out.dat", "maps\\*.dat"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(
        result.err.rfind(console_text(error_text("Error reading input file \"maps\\b.dat\"")), 0),
        0u)
        << result.err;
}

TEST_F(Wildcards, MatchingFolderFailsTheRegularFileTest) {
    make_input("maps/a.dat", test_header(16, 8), uniform_phase({0, 0, 16, 8}, 3));
    std::filesystem::create_directory(dir_ / "maps" / "b.dat");
    expect_run({"-RssOut", "out.dat", "maps\\*.dat"}, 1, "",
               error_text("Cannot access input file \"maps\\b.dat\""));
    EXPECT_FALSE(std::filesystem::exists(path("out.dat")));
}

TEST_F(Wildcards, PatternWithoutMatchReachesTheEntryUnchanged) {
    make_matching_inputs();
    for (const std::string pattern : {"maps\\*.raw", "maps\\c*.dat", "none\\*.dat"}) {
        SCOPED_TRACE(pattern);
        expect_run({"-RssOut", "out.dat", pattern}, 1, "",
                   error_text("Cannot access input file \"" + pattern + "\""));
    }
    // A pattern that matches nothing stops the run even after good names.
    expect_run({"-RssOut", "out.dat", "maps\\a.dat", "maps\\*.raw"}, 1, "",
               error_text("Cannot access input file \"maps\\*.raw\""));
    EXPECT_FALSE(std::filesystem::exists(path("out.dat")));
}

} // namespace
