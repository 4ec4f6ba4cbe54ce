// Library support: error codes and their names, memory and log hooks, console
// printers and prompt, small text helpers and byte-order conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define U_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define U_PRINTF_FORMAT(fmt_index, first_arg)
#endif

// ---------------------------------------------------------------------------
// Error codes. Every fallible library operation returns one: 0 on success,
// 1 to U_ERROR_MAX for a named condition. The numbers are fixed forever.

enum u_error_code : int32_t {
    U_SUCCESS = 0,
#define U_ERROR(name) name,
#include "support/error_list.inc"
#undef U_ERROR
    U_ERROR_END
};

constexpr int32_t U_ERROR_MAX = U_ERROR_END - 1;
static_assert(U_ERROR_MAX == 462, "the error list must hold exactly 462 names");
static_assert(ERR_ALL_BAD_DATA == 27 && ERR_NO_MEM == 320 && ERR_ZOOM_TIMEOUT == 462);

// Text of an error code: "NO_ERROR" for 0, the name for 1..462 and
// "invalid error number N" otherwise. The text lives in one static 512-byte
// buffer that the next call overwrites; copy it before asking again.
const char *u_error_name(int32_t code);

// The same text from the constant table, without the shared buffer: safe on
// any thread. Null for a code outside 0..462.
const char *u_error_text(int32_t code);

// ---------------------------------------------------------------------------
// Hooks. Plain writable globals, read at each use. All library memory is
// taken through u_malloc_fn and returned through u_free_fn; diagnostics go
// through u_log_fn. Initial values: the runtime's allocator and u_log_stderr.

static_assert(sizeof(std::size_t) == 8, "the library is built for 64-bit targets");

extern void *(*u_malloc_fn)(std::size_t bytes);
extern void *(*u_realloc_fn)(void *block, std::size_t bytes);
extern void *(*u_calloc_fn)(std::size_t count, std::size_t size);
extern void (*u_free_fn)(void *block);
extern int (*u_log_fn)(const char *fmt, ...);

// ---------------------------------------------------------------------------
// Console printers: format, write, then flush the same stream. Each yields the
// flush's result (0 on success).

int u_log_stderr(const char *fmt, ...) U_PRINTF_FORMAT(1, 2);
int u_log_stdout(const char *fmt, ...) U_PRINTF_FORMAT(1, 2);
int u_log_stream(std::FILE *stream, const char *fmt, ...) U_PRINTF_FORMAT(2, 3);

// Shows `prompt_fmt` (when not null) on standard output with the default
// letter ('y' when *answer is true, 'n' otherwise) as its one %c argument,
// flushes, and reads one line of standard input. Yields true when the line
// begins with y, Y or 1 (answer set true) or n, N or 0 (answer set false);
// otherwise, at the end of input or on an empty line yields false and leaves
// *answer as it was.
bool u_ask_yes_no(const char *prompt_fmt, bool *answer);

// ---------------------------------------------------------------------------
// Text helpers.

// Removes leading and trailing blanks (space, tab, line feed; not carriage
// return) in place; yields the number of characters removed.
int32_t u_trim(char *text);

// Reverses the bytes of one 2-, 4- or 8-byte item in place. Any other size is
// a programming error: it is logged through u_log_fn and ends the process.
void u_swap_bytes(void *item, int32_t n);

// ---------------------------------------------------------------------------
// Platform layer (support/platform.cpp holds every platform difference).
//
// Paths are narrow texts, or UTF-16 texts behind a leading byte-order mark:
// when the first two bytes, read as one 16-bit unit in machine order, are
// 0xFEFF or 0xFFFE, the path is the NUL-terminated 16-bit string after them.

// True when a path begins with the byte-order mark of the rule above. Names
// that arrive as narrow texts (command line, list files) must not: their
// single NUL cannot end a 16-bit string.
bool u_path_has_wide_mark(const char *path);

// Opens a path by the rule above with a C mode string ("rb", "wb", "r", "w").
std::FILE *u_fopen_path(const char *path, const char *mode);

// True when the path names an existing regular file (links followed).
bool u_is_regular_file(const char *path);

// Writes the local calendar time of `seconds` (since 1970-01-01 UTC) in the
// 24-character ctime form followed by a line end ("Thu Jan  1 00:00:00 1970\n")
// into buf, which holds at least U_CTIME_BUF bytes. A time that cannot be
// shown (negative, or out of the platform's range) gives "(unknown)\n".
constexpr std::size_t U_CTIME_BUF = 64;
void u_ctime_text(int64_t seconds, char *buf);
