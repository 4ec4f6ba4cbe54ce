// Fixture of the end-to-end tests: a fresh working directory per test, input
// files built with the project's writer, and runs of the built tool whose
// inputs are checked to be byte-for-byte unchanged afterwards.
#pragma once

#include "common/df_builder.h"
#include "common/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Absolute path of a name in the working directory.
    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // A data file that no run may change.
    void make_input(const std::string &name, const df_hdr_t &hdr, const test_phase_t *phase,
                    bool with_intensity = false) {
        ASSERT_EQ(write_test_file(path(name), hdr, phase, with_intensity), 0) << name;
        guard(name);
    }

    void make_input(const std::string &name, const df_hdr_t &hdr, const test_phase_t &phase) {
        make_input(name, hdr, &phase);
    }

    // A text (or any other) file that no run may change.
    void make_text(const std::string &name, const std::string &content) {
        write_file(name, content);
        guard(name);
    }

    // A file a run may change (an earlier output).
    void write_file(const std::string &name, const std::string &content) {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    void guard(const std::string &name) { guarded_[name] = file_bytes(path(name)); }

    // Runs the tool in the working directory; afterwards every guarded file
    // must hold its old bytes.
    process_result_t run(const std::vector<std::string> &args,
                         const std::optional<std::string> &input = std::nullopt) {
        process_result_t result = run_process(KELVORIN_EXE, args, dir_.string(), input);
        EXPECT_TRUE(result.started);
        for (const auto &[name, bytes] : guarded_) {
            EXPECT_EQ(file_bytes(path(name)), bytes) << name << " changed by the run";
        }
        return result;
    }

    // Runs and compares exit status and both console streams exactly.
    void expect_run(const std::vector<std::string> &args, int status, const std::string &out,
                    const std::string &err,
                    const std::optional<std::string> &input = std::nullopt) {
        const process_result_t result = run(args, input);
        EXPECT_EQ(result.exit_status, status);
        EXPECT_EQ(result.out, console_text(out));
        EXPECT_EQ(result.err, console_text(err));
    }

    std::filesystem::path dir_;
    std::map<std::string, std::vector<uint8_t>> guarded_;
};

// An error message as the tool writes it.
inline std::string error_text(const std::string &message) {
    return "Kelvorin\nERROR: " + message + "\n";
}

inline std::string usage_text() {
    return "Kelvorin\n"
           "Version 2\n"
           "\n"
           "This program reads height data from one or more Fennaval binary data files\n"
           "and computes the roots of the sums of the squares (RSS)\n"
           "of the input height values.\n"
           "This operation only makes sense if the input data sets represent standard\n"
           "deviation maps.\n"
           "It does not make sense if the input data sets are ordinary height maps.\n"
           "\n"
           "Input intensity maps are ignored.\n"
           "\n"
           "Usage:\n"
           "\n"
           "Kelvorin [Options] InFile1 ... InFileN\n"
           "Kelvorin [Options] @ListFile\n"
           "\n"
           "The first form of the command specifies the list of input data filenames\n"
           "directly. Wildcard filenames are supported.\n"
           "The second form of the command specifies text file ListFile that contains\n"
           "a list of input data filenames, one per line.\n"
           "\n"
           "Options:\n"
           "\n"
           "Options are specified by a prefix dash (-) character followed by a keyword.\n"
           "Keywords are not case-sensitive.\n"
           "\n"
           "-RssOut RssOutFile\n"
           "This required option specifies the name of the output file that will contain\n"
           "the RSS map.\n"
           "\n"
           "-PhaseRes Normal\n"
           "-PhaseRes High\n"
           "-PhaseRes Super\n"
           "This option sets the output phase resolution. If this option is not specified,\n"
           "the output phase resolution is obtained from the first input file.\n"
           "If any input data file contains a different value, the phase data is scaled.\n"
           "\n"
           "-Overwrite\n"
           "This option causes the program to quietly overwrite a pre-existing output file.\n"
           "If this option is not specified and if the output file already exists,\n"
           "the operator is prompted to confirm that the file may be overwritten.\n"
           "\n"
           "-Verbose\n"
           "This option causes verbose progress information to be output to the console.\n";
}
