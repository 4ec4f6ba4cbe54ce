// The command line as a user meets it: usage, option and list-file messages,
// the checks on inputs and output, and the overwrite question.
#include "e2e_fixture.h"

#include <string>
#include <vector>

namespace {

class CommandLine : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        phase_ = uniform_phase({1, 1, 4, 3}, 3);
        make_input("a.dat", test_header(8, 6), phase_);
        make_input("b.dat", test_header(8, 6), phase_);
        std::filesystem::create_directory(path("sub"));
    }

    bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }

    test_phase_t phase_;
};

using args_t = std::vector<std::string>;

constexpr int MAX_NAMES = 10000;

TEST_F(CommandLine, FewerThanTwoArgumentsShowUsage) {
    make_text("list.txt", "a.dat\n");
    for (const args_t &args : {args_t{}, args_t{"-RssOut"}, args_t{"a.dat"}, args_t{"@list.txt"}}) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
        expect_run(args, 1, usage_text(), "");
    }
}

struct message_case_t {
    args_t args;
    std::string err;
    bool usage;
};

TEST_F(CommandLine, OptionAndFormMessages) {
    make_text("list.txt", "a.dat\n");
    const std::string long_word(600, 'k');
    const std::vector<message_case_t> cases = {
        {{"-", "a.dat"}, "Missing option name after prefix '/'", false},
        {{"a.dat", "-Rss", "out.dat"}, "Unknown option \"/Rss\"", false},
        {{"a.dat", "-Verb", "-RssOut", "out.dat"}, "Unknown option \"/Verb\"", false},
        {{"a.dat", "-" + long_word}, "Unknown option \"/" + long_word + "\"", false},
        {{"a.dat", "-RssOut"}, "Missing value after \"/RssOut\"", false},
        {{"a.dat", "-PHASEres"}, "Missing value after \"/PHASEres\"", false},
        {{"a.dat", "-PhaseRes", "Ultra"}, "Unknown PhaseRes value \"Ultra\"", true},
        {{"a.dat", "-PhaseRes", long_word}, "Unknown PhaseRes value \"" + long_word + "\"", true},
        {{"@", "a.dat"}, "Missing list file name after prefix '@'", false},
        {{"a.dat", "@list.txt"}, "", true},
        {{"@list.txt", "a.dat"}, "", true},
        {{"@list.txt", "@list.txt"}, "", true},
        {{"a.dat", "@"}, "", true},
        {{"-RssOut", "out.dat", "-Verbose"}, "No input files specified", false},
        {{"a.dat", "-Verbose"}, "No output file specified", false},
        {{"a.dat", "missing.dat"}, "Cannot access input file \"missing.dat\"", false},
        {{"a.dat", "sub", "-RssOut", "out.dat"}, "Cannot access input file \"sub\"", false},
        {{"", "-RssOut", "out.dat"}, "Cannot access input file \"\"", false},
        {{"-RssOut", "out.dat", "a.dat", "-PhaseRes", "High", "-PhaseRes", "Low"},
         "Unknown PhaseRes value \"Low\"",
         true},
    };
    for (const message_case_t &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        expect_run(c.args, 1, c.usage ? usage_text() : "", c.err.empty() ? "" : error_text(c.err));
        EXPECT_FALSE(exists("out.dat"));
    }
}

TEST_F(CommandLine, KeywordsIgnoreCaseAndOptionsStandAnywhere) {
    expect_run({"-rSsOuT", "one.dat", "-PhaseRes", "SUPER", "a.dat", "b.dat"}, 0, "", "");
    expect_run({"a.dat", "b.dat", "-phaseres", "super", "-RSSOUT", "two.dat"}, 0, "", "");
    EXPECT_EQ(file_bytes(path("one.dat")), file_bytes(path("two.dat")));
    EXPECT_EQ(file_bytes(path("one.dat")).size(), 834u + 4 * 4 * 3);
}

TEST_F(CommandLine, LaterSettingsReplaceEarlierOnes) {
    expect_run({"-RssOut", "first.dat", "-PhaseRes", "Super", "a.dat", "-PhaseRes", "Normal",
                "-RssOut", "second.dat"},
               0, "", "");
    EXPECT_FALSE(exists("first.dat"));
    const std::vector<uint8_t> out = file_bytes(path("second.dat"));
    EXPECT_EQ(be32(out, 0), 0x881B036Fu);
    EXPECT_EQ(be16(out, 218), 0);
}

TEST_F(CommandLine, ValueIsTakenWhateverItLooksLike) {
    // -Verbose becomes the output name, so nothing verbose is written.
    expect_run({"a.dat", "-RssOut", "-Verbose"}, 0, "", "");
    EXPECT_TRUE(exists("-Verbose"));
    expect_run({"a.dat", "-RssOut", "@x"}, 0, "", "");
    EXPECT_TRUE(exists("@x"));
}

TEST_F(CommandLine, VerboseRunEndsWithDone) {
    const process_result_t result = run({"-Verbose", "a.dat", "-RssOut", "out.dat"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(result.out.ends_with(console_text("Wrote \"out.dat\"\n\nDone\n")));
}

TEST_F(CommandLine, ListFileNamesAreTrimmedAndBlankLinesSkipped) {
    make_text("list.txt", "  a.dat\t\r\n\n   \n");
    expect_run({"@list.txt", "-RssOut", "out.dat"}, 0, "", "");
    const std::vector<uint8_t> out = file_bytes(path("out.dat"));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&out[80])),
              "RSS result map computed from 1 input data files");
}

TEST_F(CommandLine, ListFileNamesAreTakenLiterally) {
    make_text("list.txt", "a.dat\n-Verbose x\n");
    expect_run({"-RssOut", "out.dat", "@list.txt"}, 1, "",
               error_text("Cannot access input file \"-Verbose x\""));
    make_text("list2.txt", "a.dat\r\n@b.dat\n");
    expect_run({"-RssOut", "out.dat", "@list2.txt"}, 1, "",
               error_text("Cannot access input file \"@b.dat\""));
}

TEST_F(CommandLine, LongListLinesArriveInPieces) {
    const std::string name(600, 'n');
    make_text("list.txt", name + "\n");
    expect_run({"@list.txt", "-RssOut", "out.dat"}, 1, "",
               error_text("Cannot access input file \"" + std::string(511, 'n') + "\""));
}

TEST_F(CommandLine, ListFileFailures) {
    make_text("blank.txt", "\n  \n\t\r\n\n");
    make_text("empty.txt", "");
    expect_run({"@blank.txt", "-RssOut", "out.dat"}, 1, "",
               error_text("Empty list file \"blank.txt\""));
    expect_run({"@empty.txt", "-RssOut", "out.dat"}, 1, "",
               error_text("Empty list file \"empty.txt\""));
    expect_run({"@nolist.txt", "-RssOut", "out.dat"}, 1, "",
               error_text("Cannot access list file \"nolist.txt\""));
    // A list that cannot be read is not an empty list.
    expect_run({"@sub", "-RssOut", "out.dat"}, 1, "",
               error_text("Cannot access list file \"sub\""));
}

TEST_F(CommandLine, TenThousandNamesAreTheLimit) {
    make_input("s", test_header(2, 2, 0), uniform_phase({0, 0, 2, 2}, 1));
    args_t args(MAX_NAMES, "s"); // short: a Windows command line holds 32767 characters
    args.insert(args.end(), {"-RssOut", "out.dat"});
    expect_run(args, 0, "", "");
    const std::vector<uint8_t> out = file_bytes(path("out.dat"));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&out[80])),
              "RSS result map computed from 10000 input data files");
    EXPECT_EQ(be32(out, DF_SHORT_HEADER), 100u); // sqrt(10000 * 1 * 1)

    args.push_back("s");
    expect_run(args, 1, "", error_text("More than 10000 input filenames"));

    std::string list;
    for (int i = 0; i <= MAX_NAMES; ++i) {
        list += "s\n";
    }
    make_text("list.txt", list);
    expect_run({"@list.txt", "-RssOut", "out.dat"}, 1, "",
               error_text("More than 10000 input filenames"));
}

TEST_F(CommandLine, MissingInputIsReportedBeforeMissingOutput) {
    expect_run({"a.dat", "gone.dat", "b.dat"}, 1, "",
               error_text("Cannot access input file \"gone.dat\""));
}

TEST_F(CommandLine, OutputThatIsAnInputIsRefused) {
    const std::string err = error_text("Output file \"b.dat\" is also an input file");
    expect_run({"a.dat", "b.dat", "-RssOut", "b.dat"}, 1, "", err);
    expect_run({"a.dat", "b.dat", "-Overwrite", "-RssOut", "b.dat"}, 1, "", err);
    expect_run({"a.dat", "b.dat", "-Overwrite", "-RssOut", "./sub/../b.dat"}, 1, "",
               error_text("Output file \"./sub/../b.dat\" is also an input file"));

    std::error_code failed;
    std::filesystem::create_symlink(path("a.dat"), path("link.dat"), failed);
    if (!failed) {
        expect_run({"a.dat", "-Overwrite", "-RssOut", "link.dat"}, 1, "",
                   error_text("Output file \"link.dat\" is also an input file"));
        expect_run({"link.dat", "-Overwrite", "-RssOut", "a.dat"}, 1, "",
                   error_text("Output file \"a.dat\" is also an input file"));
    }
    std::filesystem::create_hard_link(path("a.dat"), path("hard.dat"), failed);
    if (!failed) {
        expect_run({"a.dat", "-Overwrite", "-RssOut", "hard.dat"}, 1, "",
                   error_text("Output file \"hard.dat\" is also an input file"));
    }
}

TEST_F(CommandLine, ExistingOutputIsReplacedOnlyAfterYes) {
    const std::string prompt = "Overwrite file \"out.dat\" (n) ? ";
    for (const char *answer : {"y\n", "Y\n", "yes\n", "1\n", "1000\n", "y"}) {
        SCOPED_TRACE(answer);
        write_file("out.dat", "old");
        expect_run({"a.dat", "-RssOut", "out.dat"}, 0, prompt, "", answer);
        EXPECT_EQ(file_bytes(path("out.dat")).size(), 834u + 4 * 4 * 3);
    }
    for (const char *answer : {"n\n", "N\n", "no\n", "0\n", "x\n", " y\n", "\n", ""}) {
        SCOPED_TRACE(answer);
        write_file("out.dat", "old");
        expect_run({"a.dat", "-RssOut", "out.dat"}, 1, prompt, "", answer);
        EXPECT_EQ(file_bytes(path("out.dat")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
}

TEST_F(CommandLine, NobodyIsAskedWithOverwriteOrANewName) {
    write_file("out.dat", "old");
    expect_run({"a.dat", "-Overwrite", "-RssOut", "out.dat"}, 0, "", "", "n\n");
    expect_run({"a.dat", "-RssOut", "new.dat"}, 0, "", "", "n\n");
    EXPECT_TRUE(exists("new.dat"));
    // A directory is not asked about; the run cannot create it.
    expect_run({"a.dat", "-RssOut", "sub"}, 1, "", error_text("Cannot create output file \"sub\""));
    expect_run({"a.dat", "-RssOut", ""}, 1, "", error_text("Cannot create output file \"\""));
}

TEST_F(CommandLine, PromptShowsPercentSignsLiterally) {
    write_file("100%d%s%n.dat", "old");
    expect_run({"a.dat", "-RssOut", "100%d%s%n.dat"}, 1, "Overwrite file \"100%d%s%n.dat\" (n) ? ",
               "", "n\n");
}

TEST_F(CommandLine, PromptShowsALongNameWhole) {
    // Longer than any fixed prompt buffer.
    std::string name = "sub";
    for (int i = 0; i < 6; ++i) {
        name += "/" + std::string(100, static_cast<char>('a' + i));
        std::filesystem::create_directory(path(name));
    }
    name += "/out.dat";
    if (path(name).size() > max_path_length()) {
        GTEST_SKIP() << "no paths this long here";
    }
    write_file(name, "old");
    expect_run({"a.dat", "-RssOut", name}, 1, "Overwrite file \"" + name + "\" (n) ? ", "", "n\n");
}

} // namespace

namespace {

// Names beginning with a UTF-16 byte-order mark arrive as narrow texts here;
// taken as 16-bit paths they would be read past their end, so they are
// refused before that can happen.
TEST_F(CommandLine, NarrowNamesWithAByteOrderMarkAreRefused) {
    for (const std::string &mark : {std::string("\xff\xfe"), std::string("\xfe\xff")}) {
        make_text("list.txt", mark + "ab\n");
        expect_run({"@list.txt", "-RssOut", "out.dat"}, 1, "",
                   error_text("Cannot access input file \"" + mark + "ab\""));
        expect_run({"a.dat", "-RssOut", mark + "o"}, 1, "",
                   error_text("Cannot create output file \"" + mark + "o\""));
    }
}

} // namespace
