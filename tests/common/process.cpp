// The process runner: the child's three standard streams are redirected to
// files in a private temporary directory. This file holds every platform
// difference of the test helpers: fork and exec on POSIX systems,
// CreateProcess on Windows.
#include "common/process.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string read_all(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct stream_files_t {
    std::filesystem::path in;
    std::filesystem::path out;
    std::filesystem::path err;
};

#ifdef _WIN32

// One argument quoted for the runtime's command line parser.
std::string quote_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

HANDLE open_inheritable(const std::filesystem::path &path, bool for_writing) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs the program; yields its exit status, or -1 when it could not be run.
int spawn(const std::string &program, const std::vector<std::string> &args,
          const std::string &work_dir, const stream_files_t &files) {
    std::string command = quote_argument(program);
    for (const std::string &arg : args) {
        command += ' ' + quote_argument(arg);
    }
    HANDLE in = open_inheritable(files.in, false);
    HANDLE out = open_inheritable(files.out, true);
    HANDLE err = open_inheritable(files.err, true);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION child = {};
    SetEnvironmentVariableA("TZ", "UTC");
    // Under Wine a start can fail now and then while the machine is busy;
    // the program has not run then, so trying again is safe.
    BOOL created = FALSE;
    for (int attempt = 0; attempt < 5 && !created; ++attempt) {
        if (attempt > 0) {
            Sleep(200 * attempt);
        }
        created =
            CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           work_dir.empty() ? nullptr : work_dir.c_str(), &startup, &child);
    }
    int status = -1;
    if (created) {
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(child.hProcess, &code)) {
            status = static_cast<int>(code);
        }
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    } else {
        std::fprintf(stderr, "could not start %s: error %lu\n", program.c_str(),
                     static_cast<unsigned long>(GetLastError()));
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    return status;
}

#else

// In the child: point descriptor `fd` at `path`, or end the child.
void redirect(int fd, const std::filesystem::path &path, int flags) {
    const int opened = ::open(path.c_str(), flags, 0600);
    if (opened < 0 || ::dup2(opened, fd) < 0) {
        ::_exit(127);
    }
    ::close(opened);
}

int spawn(const std::string &program, const std::vector<std::string> &args,
          const std::string &work_dir, const stream_files_t &files) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        redirect(0, files.in, O_RDONLY);
        redirect(1, files.out, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(2, files.err, O_WRONLY | O_CREAT | O_TRUNC);
        if (!work_dir.empty() && ::chdir(work_dir.c_str()) != 0) {
            ::_exit(127);
        }
        ::setenv("TZ", "UTC", 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

} // namespace

process_result_t run_process(const std::string &program, const std::vector<std::string> &args,
                             const std::string &work_dir, const std::optional<std::string> &input) {
    process_result_t result;
    const std::filesystem::path dir = make_temp_dir();
    const stream_files_t files = {dir / "stdin", dir / "stdout", dir / "stderr"};
    {
        std::ofstream in(files.in, std::ios::binary);
        if (input) {
            in << *input;
        }
    }
    result.exit_status = spawn(program, args, work_dir, files);
    result.started = result.exit_status != -1;
    result.out = read_all(files.out);
    result.err = read_all(files.err);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

std::string console_text(const std::string &text) {
#ifdef _WIN32
    std::string converted;
    for (const char c : text) {
        if (c == '\n') {
            converted += '\r';
        }
        converted += c;
    }
    return converted;
#else
    return text;
#endif
}

std::size_t max_path_length() {
#ifdef _WIN32
    return MAX_PATH - 1;
#else
    return 4095;
#endif
}

std::filesystem::path make_temp_dir() {
    static std::mt19937_64 random{std::random_device{}()};
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        std::ostringstream name;
        name << "kelvorin_" << std::hex << random();
        const std::filesystem::path dir = base / name.str();
        if (std::filesystem::create_directory(dir)) {
            return dir;
        }
    }
}
