// Each stream's descriptor is pointed at a file of its own in a private
// temporary directory while capturing, then put back. The files are binary,
// so the text comes back with the bytes the program wrote on every platform.
// They stay open and are written from their start each time, the length
// taken from the offset reached: emptying a file costs far more than writing
// it, which matters to the fuzz targets (they capture every input's run and
// use this too, so it needs no test framework).
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
    std::FILE *file = nullptr; // where the stream goes meanwhile (only its descriptor is used)
    std::FILE *stream() const { return is_err ? stderr : stdout; }
};

captured_stream_t g_out{false, "out"};
captured_stream_t g_err{true, "err"};
std::filesystem::path g_dir;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "console capture: %s\n", what);
    std::abort();
}

void remove_files() {
    for (captured_stream_t *c : {&g_out, &g_err}) {
        if (c->file != nullptr) {
            std::fclose(c->file);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
}

void begin(captured_stream_t &c) {
    if (c.file == nullptr) {
        if (g_dir.empty()) {
            g_dir = make_temp_dir();
            std::atexit(remove_files);
        }
        c.file = std::fopen((g_dir / c.file_name).string().c_str(), "w+b");
        if (c.file == nullptr) {
            fail("cannot make its file");
        }
    }
    std::fflush(c.stream());
    if (lseek(fileno(c.file), 0, SEEK_SET) != 0) {
        fail("cannot rewind its file");
    }
    c.saved_fd = dup(fileno(c.stream()));
    dup2(fileno(c.file), fileno(c.stream()));
}

std::string end(captured_stream_t &c) {
    std::fflush(c.stream());
    const auto length = lseek(fileno(c.stream()), 0, SEEK_CUR); // shared with the file's
    dup2(c.saved_fd, fileno(c.stream()));
    close(c.saved_fd);
    c.saved_fd = -1;
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    const int fd = fileno(c.file);
    std::size_t got = 0;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        fail("cannot rewind its file");
    }
    while (got < text.size()) {
        const auto n = read(fd, text.data() + got, static_cast<unsigned>(text.size() - got));
        if (n <= 0) {
            fail("cannot read its file");
        }
        got += static_cast<std::size_t>(n);
    }
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
