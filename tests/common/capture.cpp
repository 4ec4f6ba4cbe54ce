// Each stream's descriptor is pointed at a file of its own in a private
// temporary directory while capturing, then put back. The files are binary,
// so the text comes back with the bytes the program wrote on every platform.
// No test framework: the fuzz targets use it too.
#include "common/capture.h"

#include "common/process.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#ifndef _WIN32
// Present when the program is built with a sanitizer: where its reports go.
// While standard error is captured they must still reach the real one.
extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace {
int g_report_fd = -1;
}
#endif

namespace {

struct captured_stream_t {
    bool is_err; // standard error, else standard output
    const char *file_name;
    int saved_fd = -1;         // the stream's descriptor before capturing
    std::FILE *file = nullptr; // where the stream goes meanwhile
    std::FILE *stream() const { return is_err ? stderr : stdout; }
};

captured_stream_t g_out{false, "out"};
captured_stream_t g_err{true, "err"};

const std::filesystem::path &capture_dir() {
    static const std::filesystem::path dir = [] {
        std::filesystem::path made = make_temp_dir();
        static std::filesystem::path removed_at_exit = made;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removed_at_exit, ignored);
        });
        return made;
    }();
    return dir;
}

void begin(captured_stream_t &c) {
    std::fflush(c.stream());
    const std::filesystem::path path = capture_dir() / c.file_name;
    c.file = std::fopen(path.string().c_str(), "w+b");
    if (c.file == nullptr) {
        std::fprintf(stderr, "cannot capture the console in %s\n", path.string().c_str());
        std::abort();
    }
    c.saved_fd = dup(fileno(c.stream()));
    dup2(fileno(c.file), fileno(c.stream()));
}

std::string end(captured_stream_t &c) {
    std::fflush(c.stream());
    dup2(c.saved_fd, fileno(c.stream()));
    close(c.saved_fd);
    c.saved_fd = -1;
    std::string text;
    std::rewind(c.file);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, c.file)) > 0;) {
        text.append(buf, n);
    }
    std::fclose(c.file);
    c.file = nullptr;
    return text;
}

} // namespace

void console_capture_begin() {
#ifndef _WIN32
    if (__sanitizer_set_report_fd != nullptr) {
        g_report_fd = dup(2);
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(g_report_fd)));
    }
#endif
    begin(g_out);
    begin(g_err);
}

console_text_t console_capture_end() {
    console_text_t text;
    text.err = end(g_err);
    text.out = end(g_out);
#ifndef _WIN32
    if (g_report_fd >= 0) {
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(2)));
        close(g_report_fd);
        g_report_fd = -1;
    }
#endif
    return text;
}
