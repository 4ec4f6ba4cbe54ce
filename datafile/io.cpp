// Reading and writing data files: header, intensity block, phase block.
#include "datafile/header_image.h"

#include <climits>

namespace {

constexpr std::size_t INTENS_CHUNK = 32768; // values per write through one 64 KiB buffer

// Empties a map the caller hands in, releasing any matrix it still holds so
// that reusing a map across reads does not leak.
void clear_map(intens_map_t *map) {
    intens_map_free(map);
    *map = intens_map_t{};
}

void clear_map(int_map_t *map) {
    int_map_free(map);
    *map = int_map_t{};
}

// A width or height above 32767 as an unsigned 16-bit number is negative as
// a signed one.
bool dims_too_large(const window_t &w) {
    return w.width < 0 || w.height < 0;
}

int32_t read_intens_block(std::FILE *stream, int32_t block_bytes, intens_map_t *map) {
    if (const int32_t rc = intens_map_alloc(map); rc != 0) {
        return rc;
    }
    // The block must not run beyond the map its descriptor describes.
    const std::size_t values = static_cast<uint32_t>(block_bytes) / 2;
    if (values > map->size) {
        return ERR_CORRUPT_DATA_FILE;
    }
    if (std::fread(map->matrix, sizeof(uint16_t), values, stream) != values) {
        return ERR_CORRUPT_DATA_FILE;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(map->matrix);
    for (std::size_t i = 0; i < values; ++i) {
        df_be16_to_host(bytes + 2 * i);
    }
    // A short block leaves the rest of the planes defined rather than holding
    // whatever the allocator left there.
    std::memset(map->matrix + values, 0, (map->size - values) * sizeof(uint16_t));
    // Keep the phase block where the layout puts it: after all block_bytes.
    if (block_bytes % 2 != 0) {
        std::fseek(stream, 1, SEEK_CUR);
    }
    return 0;
}

int32_t read_phase_block(std::FILE *stream, int_map_t *map) {
    if (const int32_t rc = int_map_alloc(map); rc != 0) {
        return rc;
    }
    // Both dimensions lie in 1..32767 here, so the product fits.
    const std::size_t values =
        static_cast<std::size_t>(map->window.width) * static_cast<std::size_t>(map->window.height);
    if (std::fread(map->matrix, sizeof(int32_t), values, stream) != values ||
        std::ferror(stream) != 0) {
        return ERR_CORRUPT_DATA_FILE;
    }
    df_swap32_block(reinterpret_cast<uint32_t *>(map->matrix), values);
    return 0;
}

void set_format(uint32_t magic, df_format_t *format) {
    format->magic = magic;
    format->header_format = magic == DF_MAGIC_3 ? 3 : magic == DF_MAGIC_2 ? 2 : 1;
    format->header_bytes = static_cast<int32_t>(df_header_length(magic));
}

int32_t read_pieces(std::FILE *stream, df_format_t *format, df_info_t *info, df_hdr_t *hdr,
                    intens_map_t *intens, int_map_t *phase) {
    df_image_t image;
    if (const int32_t code = df_read_header_image(stream, &image); code != 0) {
        // The magic number alone is known, still as stored, when the rest
        // of the header is missing.
        const uint32_t magic = df_load_be32(reinterpret_cast<const unsigned char *>(&image));
        if (code == ERR_PREMATURE_EOF && format != nullptr && df_header_length(magic) != 0) {
            set_format(magic, format);
        }
        return code;
    }
    const df_image_head_t &head = image.head;
    if (format != nullptr) {
        set_format(head.magic, format);
    }

    if (info != nullptr) {
        *info = head.info;
    }
    if (intens != nullptr) {
        clear_map(intens);
        if (head.intens_bytes > 0) {
            if (dims_too_large(head.intens_window)) {
                return ERR_DATASET_DIM_TOO_LARGE;
            }
            intens->window = head.intens_window;
            intens->n_buckets = head.n_buckets;
            intens->range = head.range;
        }
    }
    if (phase != nullptr) {
        clear_map(phase);
        if (head.phase_bytes > 0) {
            if (dims_too_large(head.phase_window)) {
                return ERR_DATASET_DIM_TOO_LARGE;
            }
            phase->window = head.phase_window;
        }
    }
    if (hdr != nullptr) {
        *hdr = image.hdr;
        if (df_header_length(head.magic) == DF_LONG_HEADER) {
            hdr->format_marker = 3;
        }
    }

    if (head.intens_bytes > 0) {
        if (intens != nullptr) {
            if (const int32_t rc = read_intens_block(stream, head.intens_bytes, intens); rc != 0) {
                return rc;
            }
        } else {
            std::fseek(stream, head.intens_bytes, SEEK_CUR);
        }
    }
    // The phase block is read by its window's element count; its byte count
    // only says whether it is there.
    if (head.phase_bytes > 0) {
        if (phase != nullptr) {
            if (const int32_t rc = read_phase_block(stream, phase); rc != 0) {
                return rc;
            }
        } else {
            std::fseek(stream, head.phase_bytes, SEEK_CUR);
        }
    }
    return 0;
}

void release_maps(intens_map_t *intens, int_map_t *phase) {
    if (intens != nullptr) {
        intens_map_free(intens);
    }
    if (phase != nullptr) {
        int_map_free(phase);
    }
}

// Element count of a block to be written, or -1 when a dimension is negative
// or its byte count (`item_bytes` per element) would not fit the file's signed
// 32-bit field.
int64_t block_values(int64_t planes, const window_t &w, int64_t item_bytes) {
    if (planes < 0 || w.width < 0 || w.height < 0) {
        return -1;
    }
    const int64_t values = planes * w.width * w.height;
    return values * item_bytes > INT32_MAX ? -1 : values;
}

int32_t write_intens_block(std::FILE *stream, const intens_map_t *map, std::size_t values) {
    auto *buffer = static_cast<unsigned char *>(u_malloc_fn(INTENS_CHUNK * sizeof(uint16_t)));
    if (buffer == nullptr) {
        return ERR_NO_MEM;
    }
    int32_t rc = 0;
    for (std::size_t done = 0; done < values;) {
        const std::size_t n = values - done < INTENS_CHUNK ? values - done : INTENS_CHUNK;
        for (std::size_t i = 0; i < n; ++i) {
            df_store_be16(buffer + 2 * i, map->matrix[done + i]);
        }
        if (std::fwrite(buffer, sizeof(uint16_t), n, stream) != n) {
            rc = ERR_CANT_WRITE_FILE;
            break;
        }
        done += n;
    }
    u_free_fn(buffer);
    return rc;
}

int32_t write_phase_block(std::FILE *stream, const int_map_t *map, std::size_t values) {
    auto *buffer = static_cast<uint32_t *>(u_malloc_fn(values * sizeof(int32_t)));
    if (buffer == nullptr) {
        return ERR_NO_MEM;
    }
    std::memcpy(buffer, map->matrix, values * sizeof(int32_t));
    df_swap32_block(buffer, values);
    const bool whole = std::fwrite(buffer, sizeof(int32_t), values, stream) == values;
    u_free_fn(buffer);
    return whole ? 0 : ERR_CANT_WRITE_FILE;
}

} // namespace

int32_t df_read_stream_with_format(std::FILE *stream, df_format_t *format, df_info_t *info,
                                   df_hdr_t *hdr, intens_map_t *intens, int_map_t *phase) {
    if (format != nullptr) {
        *format = df_format_t{};
    }
    const int32_t rc = read_pieces(stream, format, info, hdr, intens, phase);
    if (rc != 0) {
        release_maps(intens, phase);
    }
    return rc;
}

int32_t df_read_stream(std::FILE *stream, df_info_t *info, df_hdr_t *hdr, intens_map_t *intens,
                       int_map_t *phase) {
    return df_read_stream_with_format(stream, nullptr, info, hdr, intens, phase);
}

int32_t df_read_with_format(const char *path, df_format_t *format, df_info_t *info, df_hdr_t *hdr,
                            intens_map_t *intens, int_map_t *phase) {
    if (format != nullptr) {
        *format = df_format_t{};
    }
    std::FILE *stream = u_fopen_path(path, "rb");
    if (stream == nullptr) {
        release_maps(intens, phase);
        return ERR_CANT_OPEN_FILE;
    }
    const int32_t rc = df_read_stream_with_format(stream, format, info, hdr, intens, phase);
    std::fclose(stream); // read-only: nothing to lose on close
    return rc;
}

int32_t df_read(const char *path, df_info_t *info, df_hdr_t *hdr, intens_map_t *intens,
                int_map_t *phase) {
    return df_read_with_format(path, nullptr, info, hdr, intens, phase);
}

int32_t df_write_stream(std::FILE *stream, const df_info_t *info, const df_hdr_t *hdr,
                        const intens_map_t *intens, const int_map_t *phase) {
    if (intens != nullptr && intens->matrix == nullptr) {
        intens = nullptr;
    }
    if (phase != nullptr && phase->matrix == nullptr) {
        phase = nullptr;
    }
    if (intens == nullptr && phase == nullptr) {
        return ERR_INVALID_PARAM;
    }
    // Both byte counts are checked before anything is written. A window that
    // needs more elements than the map holds would be read beyond its matrix.
    int64_t intens_values = 0;
    int64_t phase_values = 0;
    if (intens != nullptr) {
        intens_values = block_values(intens->n_buckets, intens->window, sizeof(uint16_t));
        if (intens_values < 0) {
            return ERR_DATASET_DIM_TOO_LARGE;
        }
        if (intens_values > intens->size) {
            return ERR_INVALID_PARAM;
        }
    }
    if (phase != nullptr) {
        phase_values = block_values(1, phase->window, sizeof(int32_t));
        if (phase_values < 0) {
            return ERR_DATASET_DIM_TOO_LARGE;
        }
        if (phase_values > phase->size) {
            return ERR_INVALID_PARAM;
        }
    }
    if (std::fseek(stream, 0, SEEK_END) != 0) {
        return ERR_CANT_WRITE_FILE;
    }

    df_image_t image{};
    df_image_head_t &head = image.head;
    head.magic = df_choose_magic(hdr);
    head.header_format = static_cast<uint16_t>(df_write_format(hdr));
    const std::size_t length = df_header_length(head.magic);
    head.header_size = static_cast<uint32_t>(length);
    if (info != nullptr) {
        head.info = *info;
    }
    if (intens != nullptr) {
        head.intens_window = intens->window;
        head.n_buckets = intens->n_buckets;
        head.range = intens->range;
        head.intens_bytes = static_cast<int32_t>(intens_values * 2);
    }
    if (phase != nullptr) {
        head.phase_window = phase->window;
        head.phase_bytes = static_cast<int32_t>(phase_values * 4);
    }
    if (hdr != nullptr) {
        image.hdr = *hdr;
    }
    df_image_to_file(&image);
    if (std::fwrite(&image, 1, length, stream) != length) {
        return ERR_CANT_WRITE_FILE;
    }

    if (intens_values > 0) {
        const int32_t rc =
            write_intens_block(stream, intens, static_cast<std::size_t>(intens_values));
        if (rc != 0) {
            return rc;
        }
    }
    if (phase_values > 0) {
        const int32_t rc = write_phase_block(stream, phase, static_cast<std::size_t>(phase_values));
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

int32_t df_write(const char *path, const df_info_t *info, const df_hdr_t *hdr,
                 const intens_map_t *intens, const int_map_t *phase) {
    std::FILE *stream = u_fopen_path(path, "wb");
    if (stream == nullptr) {
        return ERR_CANT_CREATE_FILE;
    }
    int32_t rc = df_write_stream(stream, info, hdr, intens, phase);
    // Buffered data reaches the file only here; a failure now is a failed write.
    const bool flushed = std::fflush(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    if (rc == 0 && !(flushed && closed)) {
        rc = ERR_CANT_WRITE_FILE;
    }
    return rc;
}
