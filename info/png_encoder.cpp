// PNG encoding: the stb_image_write library lays out the file (filters,
// chunks) and zlib compresses it, several times faster than the library's
// own compressor. This is the only file that holds the library's
// implementation; its memory comes through the library hooks and its output
// goes to the caller's output file.
#include "info/info.h"

#include <climits>
#include <cstdlib>
#include <zlib.h>

namespace {

// zlib's fastest level: large maps are drawn well within a second; the
// default level saves about a third of the size (on a 4096 x 3000 map with
// noise) for half as much time again.
unsigned char *deflate_block(unsigned char *data, int length, int *out_length, int /*quality*/) {
    const uLong bound = compressBound(static_cast<uLong>(length));
    if (bound > INT_MAX) {
        return nullptr;
    }
    auto *out = static_cast<unsigned char *>(u_malloc_fn(bound));
    uLongf size = bound;
    if (out == nullptr ||
        compress2(out, &size, data, static_cast<uLong>(length), Z_BEST_SPEED) != Z_OK) {
        u_free_fn(out);
        return nullptr;
    }
    *out_length = static_cast<int>(size);
    return out;
}

unsigned int chunk_crc(const unsigned char *data, int length) {
    return static_cast<unsigned int>(crc32(0L, data, static_cast<uInt>(length)));
}

} // namespace

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#define STBIW_MALLOC(bytes) u_malloc_fn(bytes)
#define STBIW_REALLOC(block, bytes) u_realloc_fn(block, bytes)
#define STBIW_FREE(block) u_free_fn(block)
#define STBIW_ZLIB_COMPRESS deflate_block
#define STBIW_CRC32 chunk_crc
#include <stb_image_write.h>

namespace {

void to_output(void *context, void *data, int size) {
    out_file_write(static_cast<out_file_t *>(context), data,
                   size > 0 ? static_cast<std::size_t>(size) : 0);
}

} // namespace

bool info_png_encode(const uint8_t *rgba, int width, int height, out_file_t *out) {
    stbi_write_force_png_filter = 1;
    return stbi_write_png_to_func(to_output, out, width, height, 4, rgba, width * 4) != 0;
}
