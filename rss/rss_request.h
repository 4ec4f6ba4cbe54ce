// The request of a run: what makes it acceptable, and the identity of its
// output with its inputs.
#pragma once

#include "rss/rss.h"

#include <cstdint>

// The request's shape: an output name, 1 to RSS_MAX_INPUTS names, none
// null, a phase resolution of -1..2, and nothing in the reserve.
bool rss_request_is_valid(const rss_request_t *request);

// True when out_name names the same file as one of the inputs (links
// followed); false when it names no file yet.
bool rss_output_is_input(const char *out_name, const char *const *names, int32_t count);
