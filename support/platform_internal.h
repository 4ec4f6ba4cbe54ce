// Platform helpers for Kelvorin's own programs and libraries. They are not
// part of the installed headers: their behaviour suits the tool's run and
// kelvorin-info, and may change with them.
#pragma once

#include "support/support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Identity of an existing file: device and inode, or volume serial number and
// file index. Two paths name the same file exactly when their identities match.
struct u_file_id_t {
    uint64_t volume;
    uint64_t index_high;
    uint64_t index_low;
};

// Yields true and fills *id when the path names an existing file.
bool u_file_identity(const char *path, u_file_id_t *id);

bool u_same_file_id(const u_file_id_t *a, const u_file_id_t *b);

// u_is_regular_file and, for a regular file, u_file_identity into *id, in
// one status call where the system allows it.
bool u_regular_file_identity(const char *path, u_file_id_t *id);

// An allocator for programs whose large blocks (maps, pictures) are filled
// right after they are taken: where the system offers it, a block of 4 MiB or
// more is asked for in large memory pages, which spares most of the page
// faults of its first use; otherwise, and for smaller blocks, the runtime's
// malloc. Blocks go back through the runtime's free (and may be passed to
// its realloc), so it can stand in for u_malloc_fn.
void *u_malloc_large_pages(std::size_t bytes);

// Gives the file `from` the name `to`, replacing a file of that name, in one
// step where the file system allows it (both in one folder). Narrow paths
// only: a path with the byte-order mark yields false. False when it fails;
// `from` then keeps its name.
bool u_replace_file(const char *from, const char *to);

// Reads `bytes` bytes at byte `offset` of an open binary stream, straight
// from its file and without using or moving the stream's position, so that
// several threads may read one stream at once; fewer at the end of the file
// or when reading fails. Yields the number read. Meant for unbuffered
// streams whose own position is no longer used.
std::size_t u_read_some_at(std::FILE *stream, void *buffer, std::size_t bytes, int64_t offset);

// Tells the system that the first `bytes` bytes of an open file will be read
// from start to end, so that it reads ahead further. Only advice; nothing
// where the system takes none.
void u_advise_reading(std::FILE *stream, int64_t bytes);

// u_read_some_at that must read every byte: false when fewer are there.
bool u_read_at(std::FILE *stream, void *buffer, std::size_t bytes, int64_t offset);
