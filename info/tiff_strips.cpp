// The strips of the float TIFF file: rows of 32-bit float heights, each strip
// compressed on its own, so that the two halves of the map can be compressed
// side by side on two threads. A strip's bytes depend only on its rows, never
// on which thread made them, so the file is the same either way.
#include "info/deflate.h"
#include "info/info.h"

#include <exception>
#include <thread>

namespace {

// About 256 KiB of heights per strip: readers take a strip at a time, and
// zlib's window (32 KiB) sees plenty of each.
constexpr std::size_t STRIP_BYTES = 256 * 1024;
// Below this many bytes of heights one thread does it all.
constexpr std::size_t TWO_THREADS_FROM = 4 * STRIP_BYTES;
// Heights of a large map are Huffman-coded only: zlib's search for repeated
// strings takes twice the time on float heights. On 4096 x 3000 maps that
// is 42.5 MB instead of 29 MB for noise (49 MB raw), and 43 MB instead of
// 37 MB for a smooth surface, in half the time. Smaller maps, where the time
// does not count, take the search.
constexpr std::size_t SEARCH_UP_TO = std::size_t{4} << 20;
// Strip offsets and sizes are 32-bit: the strips and the file's head must
// stay below 4 GiB. The head takes far less than this.
constexpr uint64_t MAX_STRIPS_BYTES = 0xFFFFFFFFull - (1u << 24);

// The strips [first, end) of the map, and where and how they are compressed.
// Each half's stream, row buffer and output block are its own; the map is
// only read.
struct half_t {
    const int_map_t *map;
    double per_count;
    int32_t rows_per_strip;
    int32_t first, end;
    z_stream z;
    bool has_stream;
    uint8_t *rows; // one strip of float heights
    uint8_t *out;
    std::size_t capacity;
    std::size_t used;
    uint32_t *sizes; // of every strip of the map
    bool ok;
};

// Compresses the half's strips, one zlib stream each. Allocates nothing.
void compress_half(half_t *h) {
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(h->map->window.width);
    const int32_t height = h->map->window.height;
    h->ok = true;
    for (int32_t s = h->first; s < h->end && h->ok; ++s) {
        const int32_t top = s * h->rows_per_strip;
        const int32_t rows = top + h->rows_per_strip <= height ? h->rows_per_strip : height - top;
        for (int32_t r = 0; r < rows; ++r) {
            info_float_row(h->map, top + r, h->per_count, h->rows + row_bytes * r);
        }
        deflateReset(&h->z);
        h->z.next_in = h->rows;
        h->z.avail_in = static_cast<uInt>(row_bytes * rows);
        h->z.next_out = h->out + h->used;
        h->z.avail_out = static_cast<uInt>(h->capacity - h->used);
        h->ok = deflate(&h->z, Z_FINISH) == Z_STREAM_END;
        h->sizes[s] = static_cast<uint32_t>(h->z.total_out);
        h->used += h->z.total_out;
    }
}

// The stream of a half and the room its strips can take; false when memory
// runs out.
bool start_half(half_t *h, std::size_t strip_bytes, int strategy) {
    h->has_stream = info_deflate_start(&h->z, strategy);
    if (h->has_stream) {
        const std::size_t bound = deflateBound(&h->z, static_cast<uLong>(strip_bytes));
        h->capacity = bound * static_cast<std::size_t>(h->end - h->first);
    }
    return h->has_stream;
}

// The row buffer and output block of a half; false when memory runs out.
bool allocate_half(half_t *h, std::size_t strip_bytes) {
    h->rows = static_cast<uint8_t *>(u_malloc_fn(strip_bytes));
    h->out = static_cast<uint8_t *>(u_malloc_fn(h->capacity > 0 ? h->capacity : 1));
    return h->rows != nullptr && h->out != nullptr;
}

// Runs both halves, the second on a thread of its own when one can be had.
void compress_halves(half_t *halves, bool two_threads) {
    std::thread helper;
    if (two_threads) {
        try {
            helper = std::thread(compress_half, &halves[1]);
        } catch (...) {
            // No thread: this one does both halves.
        }
    }
    compress_half(&halves[0]);
    if (helper.joinable()) {
        try {
            helper.join();
            return;
        } catch (...) {
            std::terminate(); // the helper still runs on the half's buffers
        }
    }
    compress_half(&halves[1]);
}

} // namespace

int32_t info_deflate_strips(const int_map_t *map, double per_count, info_strips_t *strips) {
    *strips = info_strips_t{};
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(map->window.width);
    const int32_t height = map->window.height;
    if (row_bytes == 0 || height <= 0) {
        return ERR_ALL_BAD_DATA;
    }
    const std::size_t rows = STRIP_BYTES / row_bytes;
    strips->rows_per_strip = rows == 0                                 ? 1
                             : rows < static_cast<std::size_t>(height) ? static_cast<int32_t>(rows)
                                                                       : height;
    strips->count = (height + strips->rows_per_strip - 1) / strips->rows_per_strip;
    const std::size_t strip_bytes = row_bytes * static_cast<std::size_t>(strips->rows_per_strip);
    strips->sizes = static_cast<uint32_t *>(
        u_malloc_fn(sizeof(uint32_t) * static_cast<std::size_t>(strips->count)));
    if (strips->sizes == nullptr) {
        return ERR_NO_MEM;
    }
    const std::size_t all_bytes = row_bytes * static_cast<std::size_t>(height);
    const int strategy = all_bytes <= SEARCH_UP_TO ? Z_DEFAULT_STRATEGY : Z_HUFFMAN_ONLY;
    const int32_t middle = strips->count / 2;
    half_t halves[2] = {
        {map,
         per_count,
         strips->rows_per_strip,
         0,
         middle,
         {},
         false,
         nullptr,
         nullptr,
         0,
         0,
         strips->sizes,
         false},
        {map,
         per_count,
         strips->rows_per_strip,
         middle,
         strips->count,
         {},
         false,
         nullptr,
         nullptr,
         0,
         0,
         strips->sizes,
         false},
    };
    // Memory and streams are taken here, so that the helper thread never
    // reaches the memory hooks.
    int32_t code = start_half(&halves[0], strip_bytes, strategy) &&
                           start_half(&halves[1], strip_bytes, strategy)
                       ? 0
                       : ERR_NO_MEM;
    if (code == 0 && uint64_t{halves[0].capacity} + halves[1].capacity > MAX_STRIPS_BYTES) {
        code = ERR_DATASET_DIM_TOO_LARGE;
    }
    if (code == 0 &&
        !(allocate_half(&halves[0], strip_bytes) && allocate_half(&halves[1], strip_bytes))) {
        code = ERR_NO_MEM;
    }
    if (code == 0) {
        compress_halves(halves, all_bytes >= TWO_THREADS_FROM);
        code = halves[0].ok && halves[1].ok ? 0 : ERR_NO_MEM;
    }
    for (int i = 0; i < 2; ++i) {
        if (halves[i].has_stream) {
            deflateEnd(&halves[i].z);
        }
        u_free_fn(halves[i].rows);
        strips->half[i] = halves[i].out;
        strips->half_size[i] = halves[i].used;
    }
    if (code != 0) {
        info_strips_free(strips);
    }
    return code;
}

void info_strips_free(info_strips_t *strips) {
    u_free_fn(strips->half[0]);
    u_free_fn(strips->half[1]);
    u_free_fn(strips->sizes);
    *strips = info_strips_t{};
}
