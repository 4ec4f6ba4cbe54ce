// Runs a program as a child process, as a user would from a console: given
// arguments, working directory and standard input, capturing standard output,
// standard error and the exit status.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct process_result_t {
    bool started = false; // false when it could not be run or did not exit normally
    int exit_status = -1; // exit status, or -1 when it did not exit normally
    std::string out;      // standard output, bytes as written
    std::string err;      // standard error, bytes as written
};

// Runs `program` with `args` (program name not included) in `work_dir` (the
// current directory when empty), with TZ=UTC. Standard input is `input` when
// given, else an empty stream (end of input at once).
process_result_t run_process(const std::string &program, const std::vector<std::string> &args,
                             const std::string &work_dir = {},
                             const std::optional<std::string> &input = std::nullopt);

// Console text as the program writes it on this platform: "\n" stays on
// POSIX systems and becomes "\r\n" where the console streams are text mode.
std::string console_text(const std::string &text);

// Longest path the tool can use on this platform (Windows programs without
// long-path support are held to MAX_PATH).
std::size_t max_path_length();

// Creates a new, empty directory under the system's temporary directory.
std::filesystem::path make_temp_dir();
