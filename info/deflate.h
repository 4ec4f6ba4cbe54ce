// zlib streams of kelvorin-info's encoders, their memory from the library
// hooks.
#pragma once

#include <zlib.h>

// A compressor at zlib's fastest level with the given strategy; false when
// zlib cannot start one (no memory). Released with deflateEnd.
bool info_deflate_start(z_stream *z, int strategy);
