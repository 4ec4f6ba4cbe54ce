// What Kelvorin's own programs and libraries use beyond <kelvorin/support.h>.
// Not installed and not exported from the shared library: the prompt talks to
// a console, and the byte swap ends the process on a bad size, neither of
// which a program that loads the library should meet.
#pragma once

#include "support/support.h"

// Shows `prompt_fmt` (when not null) on standard output with the default
// letter ('y' when *answer is true, 'n' otherwise) as its one %c argument,
// flushes, and reads one line of standard input. Yields true when the line
// begins with y, Y or 1 (answer set true) or n, N or 0 (answer set false);
// otherwise, at the end of input or on an empty line yields false and leaves
// *answer as it was.
bool u_ask_yes_no(const char *prompt_fmt, bool *answer);

// Reverses the bytes of one 2-, 4- or 8-byte item in place. Any other size is
// a programming error: it is logged through u_log_fn and ends the process.
void u_swap_bytes(void *item, int32_t n);
