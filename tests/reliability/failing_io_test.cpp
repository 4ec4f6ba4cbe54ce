// Failing file system: a full disk under the output, inputs that vanish or
// turn into directories after the command line checked them, outputs that
// cannot be created. Each ends the run with the right message and no input
// changed.
#include "reliability_fixture.h"

namespace {

class FailingIo : public ReliabilityTest {};

TEST_F(FailingIo, FullDiskFailsWithAWriteError) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/full";
#else
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    // A one-pixel result fits the stream's buffer and fails only when it is
    // flushed; a large one fails while the block is written.
    make_input("small.dat", test_header(8, 6), uniform_phase({3, 2, 1, 1}, 5));
    make_input("large.dat", test_header(400, 300), patterned_phase({0, 0, 400, 300}, 4));
    const std::string expected = error_text("ERR_CANT_WRITE_FILE");
    int64_t runs = 0;
    for (const char *input : {"small.dat", "large.dat"}) {
        const std::vector<uint8_t> before = read_file_bytes(path(input));
        for (const bool verbose : {false, true}) {
            SCOPED_TRACE(::testing::Message() << input << (verbose ? " verbose" : ""));
            // In process through run_on_console.
            tool_reset();
            const std::string name = path(input);
            g_settings = run_settings_t{"/dev/full", -1, false, verbose};
            g_inputs.names[g_inputs.count++] = strdup(name.c_str());
            console_capture_begin();
            bool ok;
            {
                fault_alloc_scope tracking;
                ok = run_on_console();
                EXPECT_EQ(fault_alloc_stats().live, 0);
            }
            console_text_t text = console_capture_end();
            EXPECT_FALSE(ok);
            EXPECT_EQ(text.err, expected);
            EXPECT_EQ(text.out.find("Wrote"), std::string::npos);

            // Through the entry, as a script would run it.
            tool_reset();
            std::vector<std::string> args = {"kelvorin", "-RssOut", "/dev/full", name};
            if (verbose) {
                args.push_back("-Verbose");
            }
            std::vector<char *> argv;
            for (std::string &arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            console_capture_begin();
            const int status = tool_main(static_cast<int>(args.size()), argv.data());
            text = console_capture_end();
            tool_reset();
            EXPECT_EQ(status, 1);
            EXPECT_EQ(text.err, expected);
            EXPECT_EQ(text.out.find("Done"), std::string::npos);
            EXPECT_EQ(read_file_bytes(name), before);
            runs += 2;
        }
    }
    report_faults("full disk", runs, 0);
#endif
}

TEST_F(FailingIo, VanishedOrReplacedInputFailsNamingTheFile) {
    make_standard_inputs();
    std::filesystem::create_directory(path("dir.dat"));
    struct case_t {
        const char *name;
        std::vector<std::string> codes; // acceptable reader codes
    };
    // A directory opens for reading on POSIX systems and gives nothing to read.
    const case_t cases[] = {
        {"gone.dat", {"ERR_CANT_OPEN_FILE"}},
        {"no_such_dir/a.dat", {"ERR_CANT_OPEN_FILE"}},
        {"dir.dat", {"ERR_CANT_OPEN_FILE", "ERR_PREMATURE_EOF"}},
    };
    int64_t runs = 0;
    for (const case_t &c : cases) {
        for (std::size_t position = 0; position < 3; ++position) {
            for (const bool verbose : {false, true}) {
                SCOPED_TRACE(::testing::Message() << c.name << " as input " << position + 1);
                std::vector<std::string> inputs = {"a.dat", "b.dat", "c.dat"};
                inputs[position] = c.name;
                const run_record_t r = run(inputs, -1, verbose);
                ++runs;
                EXPECT_FALSE(r.ok);
                bool named = false;
                for (const std::string &code : c.codes) {
                    named |= r.err == read_error_text(path(c.name), code);
                }
                EXPECT_TRUE(named) << r.err;
                EXPECT_EQ(check_run(r), "");
            }
        }
    }
    report_faults("vanished or replaced inputs", runs, 0);
}

TEST_F(FailingIo, OutputThatCannotBeCreatedLeavesEverythingAlone) {
    make_standard_inputs();
    std::filesystem::create_directory(path("out_dir"));
    int64_t runs = 0;
    for (const std::string &out : {path("out_dir"), path("no_such_dir/out.dat")}) {
        SCOPED_TRACE(out);
        out_ = out;
        const run_record_t r = run({"a.dat", "b.dat"}, -1, true);
        ++runs;
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, error_text("Cannot create output file \"" + out + "\""));
        EXPECT_EQ(check_run(r), "");
    }
    EXPECT_TRUE(std::filesystem::is_directory(path("out_dir")));
    EXPECT_TRUE(std::filesystem::is_empty(path("out_dir")));
    report_faults("outputs that cannot be created", runs, 0);
}

} // namespace
