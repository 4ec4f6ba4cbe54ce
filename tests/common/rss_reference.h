// The RSS run done step by step with the map operations, one camera-sized
// pass per step and input, exactly in the order the steps are listed. Tests
// hold the library's run against it.
#pragma once

#include "rss/rss.h"

// The request's run as the tool shows it: report on standard output,
// messages ("Kelvorin", "ERROR: ...") on standard error, the output file.
// True on success.
bool rss_reference_run(const rss_request_t &request);
