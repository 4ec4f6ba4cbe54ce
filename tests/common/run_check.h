// Checks of a finished RSS run against its inputs, shared by the reliability
// tests and the fuzz targets (so it uses no test framework). A run must end in
// one of two ways: success with a well-formed output file whose pixels are the
// RSS of the inputs, or failure with the program's error message on standard
// error and an empty output file. Either way no input may change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct run_record_t {
    std::vector<std::string> inputs;          // input names in table order
    std::vector<std::vector<uint8_t>> before; // each input's bytes before the run
    std::string out_name;
    int32_t phase_setting = -1; // -1 from the first input, else 0, 1 or 2
    bool verbose = false;
    bool ok = false; // what the run yielded
    std::string out; // its standard output
    std::string err; // its standard error
};

struct run_check_options_t {
    // A failure blamed on an input is confirmed by examining that input again
    // (reading it must fail with the same code, its attribute check must give
    // the same message, ...). Off when the failure came from an injected fault.
    bool confirm_cause = true;
    // The writer may have failed part way, leaving a partial output file; it
    // must then not read back as a data file.
    bool writer_may_fail = false;
};

// Empty when the run kept every promise, else a description of the first
// broken one.
std::string check_run(const run_record_t &run, const run_check_options_t &options = {});

// The whole file, or nothing when it cannot be read.
std::vector<uint8_t> read_file_bytes(const std::string &path);
