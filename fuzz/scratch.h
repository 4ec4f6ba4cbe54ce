// Files for the fuzz targets, the same on every platform: a private folder,
// whole files written and read, and the bytes the library writes for a data
// file (made through a file, as no platform-neutral memory stream exists).
#pragma once

#include "datafile/datafile.h"

#include <cstdint>
#include <string>
#include <vector>

// A new empty folder under the system's temporary folder, removed with its
// contents when the program ends. Aborts when it cannot be made.
std::string scratch_make_dir();

// Writes `bytes` as the whole of `path` (an existing file is written over in
// place, which is cheaper than emptying it); aborts when it cannot.
void scratch_write(const std::string &path, const std::vector<uint8_t> &bytes);

// What df_write_stream writes for the given pieces (through a file of its
// own). Yields df_write_stream's code.
int32_t scratch_df_bytes(const df_info_t *info, const df_hdr_t *hdr, const intens_map_t *intens,
                         const int_map_t *phase, std::vector<uint8_t> *bytes);
