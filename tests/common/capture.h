// Captures what the code under test writes to standard output and standard
// error in this process (both at once), at the descriptor level, so that
// printf, fprintf(stderr) and direct writes are all caught.
#pragma once

#include <string>

struct console_text_t {
    std::string out;
    std::string err;
};

// Starts capturing both streams. Calls do not nest.
void console_capture_begin();

// Stops capturing and yields what was written since console_capture_begin.
console_text_t console_capture_end();
