/* Library support: error codes and their names and meanings, memory and log
   hooks, console printers, small text helpers and the platform layer's
   public part. A C header: it compiles as C11 and as C++, with C linkage. */
#ifndef KELVORIN_SUPPORT_H
#define KELVORIN_SUPPORT_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* KELVORIN_API marks what the shared library exports; everything else in it
   is hidden. Programs that use kelvorin.dll define KELVORIN_DLL (the CMake
   target Kelvorin::shared does), so that its variables are imported. */
#if defined(_WIN32)
#if defined(KELVORIN_BUILDING_DLL)
#define KELVORIN_API __declspec(dllexport)
#elif defined(KELVORIN_DLL)
#define KELVORIN_API __declspec(dllimport)
#else
#define KELVORIN_API
#endif
#elif defined(__GNUC__)
#define KELVORIN_API __attribute__((visibility("default")))
#else
#define KELVORIN_API
#endif

/* U_NODISCARD: the compiler warns when an error code is dropped. */
#if defined(__cplusplus) && __cplusplus >= 201703L
#define U_NODISCARD [[nodiscard]]
#elif defined(__GNUC__)
#define U_NODISCARD __attribute__((warn_unused_result))
#else
#define U_NODISCARD
#endif

/* U_STATIC_ASSERT: layout checks, in C and C++ alike. */
#if defined(__cplusplus)
#define U_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define U_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

/* U_DEFAULTS_TO_ZERO: the fields that a record gains in later versions start
   at zero in C++ aggregate initialisation too, without a warning about the
   fields a caller written earlier leaves out. Nothing in C. */
#if defined(__cplusplus)
#define U_DEFAULTS_TO_ZERO = {}
#else
#define U_DEFAULTS_TO_ZERO
#endif

#if defined(__GNUC__)
#define U_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define U_PRINTF_FORMAT(fmt_index, first_arg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
   Error codes. Every fallible library operation returns one: 0 on success,
   1 to U_ERROR_MAX for a named condition. The numbers are fixed forever. */

enum u_error_code {
    U_SUCCESS = 0,
#define U_ERROR(name) name,
#include "support/error_list.inc"
#undef U_ERROR
    U_ERROR_END
};

enum { U_ERROR_MAX = U_ERROR_END - 1 };
U_STATIC_ASSERT(U_ERROR_MAX == 462, "the error list must hold exactly 462 names");
U_STATIC_ASSERT(ERR_ALL_BAD_DATA == 27 && ERR_NO_MEM == 320 && ERR_ZOOM_TIMEOUT == 462,
                "the error numbers are fixed");

/* Text of an error code: "NO_ERROR" for 0, the name for 1..462 and
   "invalid error number N" otherwise. The text lives in one static 512-byte
   buffer that the next call overwrites; copy it before asking again. */
KELVORIN_API const char *u_error_name(int32_t code);

/* The same text from the constant table, without the shared buffer: safe on
   any thread. Null for a code outside 0..462. */
KELVORIN_API const char *u_error_text(int32_t code);

/* What a code means to a user, as a short English phrase without a final
   stop ("the file ends inside its header"), for the codes that this
   library's operations give; null for every other code. Constant text. */
KELVORIN_API const char *u_error_meaning(int32_t code);

/* ---------------------------------------------------------------------------
   Hooks. Plain writable globals, read at each use. All library memory is
   taken through u_malloc_fn and returned through u_free_fn; diagnostics go
   through u_log_fn. Initial values: the runtime's allocator and u_log_stderr.
   A program that uses the shared library sets the shared library's hooks. */

U_STATIC_ASSERT(sizeof(size_t) == 8, "the library is built for 64-bit targets");

KELVORIN_API extern void *(*u_malloc_fn)(size_t bytes);
KELVORIN_API extern void *(*u_realloc_fn)(void *block, size_t bytes);
KELVORIN_API extern void *(*u_calloc_fn)(size_t count, size_t size);
KELVORIN_API extern void (*u_free_fn)(void *block);
KELVORIN_API extern int (*u_log_fn)(const char *fmt, ...);

/* ---------------------------------------------------------------------------
   Console printers: format, write, then flush the same stream. Each yields
   the flush's result (0 on success). */

KELVORIN_API int u_log_stderr(const char *fmt, ...) U_PRINTF_FORMAT(1, 2);
KELVORIN_API int u_log_stdout(const char *fmt, ...) U_PRINTF_FORMAT(1, 2);
KELVORIN_API int u_log_stream(FILE *stream, const char *fmt, ...) U_PRINTF_FORMAT(2, 3);

/* ---------------------------------------------------------------------------
   Text helpers. */

/* Removes leading and trailing blanks (space, tab, line feed; not carriage
   return) in place; yields the number of characters removed. */
KELVORIN_API int32_t u_trim(char *text);

/* ---------------------------------------------------------------------------
   Paths and files.

   Paths are narrow texts, or UTF-16 texts behind a leading byte-order mark:
   when the first two bytes, read as one 16-bit unit in machine order, are
   0xFEFF or 0xFFFE, the path is the NUL-terminated 16-bit string after them. */

/* True when a path begins with the byte-order mark of the rule above. Names
   that arrive as narrow texts (command line, list files) must not: their
   single NUL cannot end a 16-bit string. */
KELVORIN_API bool u_path_has_wide_mark(const char *path);

/* Opens a path by the rule above with a C mode string ("rb", "wb", "r", "w"). */
KELVORIN_API FILE *u_fopen_path(const char *path, const char *mode);

/* True when the path names an existing regular file (links followed). */
KELVORIN_API bool u_is_regular_file(const char *path);

/* Writes the local calendar time of `seconds` (since 1970-01-01 UTC) in the
   24-character ctime form followed by a line end ("Thu Jan  1 00:00:00 1970\n")
   into buf, which holds at least U_CTIME_BUF bytes. A time that cannot be
   shown (negative, or out of the platform's range) gives "(unknown)\n". */
enum { U_CTIME_BUF = 64 };
KELVORIN_API void u_ctime_text(int64_t seconds, char *buf);

#ifdef __cplusplus
}
#endif

#endif /* KELVORIN_SUPPORT_H */
