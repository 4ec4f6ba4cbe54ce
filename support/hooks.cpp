// Memory and log hooks, the console printers and the yes/no prompt.
#include "support/support_internal.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void *(*u_malloc_fn)(std::size_t bytes) = std::malloc;
void *(*u_realloc_fn)(void *block, std::size_t bytes) = std::realloc;
void *(*u_calloc_fn)(std::size_t count, std::size_t size) = std::calloc;
void (*u_free_fn)(void *block) = std::free;
int (*u_log_fn)(const char *fmt, ...) = u_log_stderr;

namespace {

int vlog(std::FILE *stream, const char *fmt, std::va_list args) {
    std::vfprintf(stream, fmt, args);
    return std::fflush(stream);
}

} // namespace

int u_log_stderr(const char *fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    const int rc = vlog(stderr, fmt, args);
    va_end(args);
    return rc;
}

int u_log_stdout(const char *fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    const int rc = vlog(stdout, fmt, args);
    va_end(args);
    return rc;
}

int u_log_stream(std::FILE *stream, const char *fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    const int rc = vlog(stream, fmt, args);
    va_end(args);
    return rc;
}

bool u_ask_yes_no(const char *prompt_fmt, bool *answer) {
    if (prompt_fmt != nullptr) {
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        u_log_stream(stdout, prompt_fmt, *answer ? 'y' : 'n');
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
        std::fflush(stdout);
    }
    char line[512];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return false; // end of input or read error: the default stands
    }
    if (line[0] == '\n' || line[0] == '\0') {
        return false;
    }
    const int c = std::tolower(static_cast<unsigned char>(line[0]));
    if (c == 'y' || c == '1') {
        *answer = true;
        return true;
    }
    if (c == 'n' || c == '0') {
        *answer = false;
        return true;
    }
    return false;
}
