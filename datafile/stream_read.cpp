// Streaming a data file's phase block: reading the header exactly as
// df_read_stream reads it and then the block's stored values on demand, and
// forming the header that df_write_stream writes in front of a block that is
// written in pieces.
#include "datafile/header_image.h"
#include "support/platform_internal.h"

#include <climits>

namespace {

// The rest of reading a phase block's head, from the header in the image.
int32_t phase_head(const df_image_t &image, df_info_t *info, df_hdr_t *hdr,
                   df_phase_block_t *block) {
    const df_image_head_t &head = image.head;
    if (info != nullptr) {
        *info = head.info;
    }
    const bool present = head.phase_bytes > 0;
    // A width or height above 32767 as unsigned is negative as signed.
    if (present && (head.phase_window.width < 0 || head.phase_window.height < 0)) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    if (hdr != nullptr) {
        *hdr = image.hdr;
        if (df_header_length(head.magic) == DF_LONG_HEADER) {
            hdr->format_marker = 3;
        }
    }
    if (present) {
        // The element count that allocating the phase map would refuse.
        if (head.phase_window.width == 0 || head.phase_window.height == 0) {
            return ERR_PARAM_OUT_OF_RANGE;
        }
        block->window = head.phase_window;
        block->present = true;
        block->offset = static_cast<int64_t>(df_header_length(head.magic)) +
                        (head.intens_bytes > 0 ? int64_t{head.intens_bytes} : 0);
    }
    return 0;
}

} // namespace

int32_t df_read_phase_head(std::FILE *stream, df_info_t *info, df_hdr_t *hdr,
                           df_phase_block_t *block) {
    *block = df_phase_block_t{};
    df_image_t image;
    if (const int32_t code = df_read_header_image(stream, &image); code != 0) {
        return code;
    }
    // The intensity block is skipped unexamined, as the whole-file reader
    // does when no intensity map is wanted.
    if (image.head.intens_bytes > 0) {
        std::fseek(stream, image.head.intens_bytes, SEEK_CUR);
    }
    return phase_head(image, info, hdr, block);
}

int32_t df_phase_head_of(const unsigned char *bytes, std::size_t n, df_info_t *info, df_hdr_t *hdr,
                         df_phase_block_t *block) {
    *block = df_phase_block_t{};
    if (n < 4) {
        return ERR_PREMATURE_EOF;
    }
    const std::size_t length = df_header_length(df_load_be32(bytes));
    if (length == 0) {
        return ERR_NOT_A_DATA_FILE;
    }
    if (n < length) {
        return ERR_PREMATURE_EOF;
    }
    df_image_t image{};
    std::memcpy(&image, bytes, length);
    df_image_from_file(&image);
    return phase_head(image, info, hdr, block);
}

int32_t df_read_phase_at(std::FILE *stream, const df_phase_block_t *block, int64_t first, void *raw,
                         std::size_t count) {
    if (!u_read_at(stream, raw, count * sizeof(int32_t), block->offset + 4 * first)) {
        return ERR_CORRUPT_DATA_FILE;
    }
    return 0;
}

int32_t df_phase_header(const df_info_t *info, const df_hdr_t *hdr, const window_t *phase_window,
                        unsigned char *header, std::size_t *length) {
    const window_t &w = *phase_window;
    if (w.width < 0 || w.height < 0 || int64_t{4} * w.width * w.height > int64_t{INT32_MAX}) {
        return ERR_DATASET_DIM_TOO_LARGE;
    }
    df_image_t image{};
    df_image_head_t &head = image.head;
    head.magic = df_choose_magic(hdr);
    head.header_format = head.magic == DF_MAGIC_3 ? 3 : head.magic == DF_MAGIC_2 ? 2 : 1;
    *length = df_header_length(head.magic);
    head.header_size = static_cast<uint32_t>(*length);
    if (info != nullptr) {
        head.info = *info;
    }
    head.phase_window = w;
    head.phase_bytes = 4 * w.width * w.height;
    if (hdr != nullptr) {
        image.hdr = *hdr;
    }
    df_image_to_file(&image);
    std::memcpy(header, &image, *length);
    return 0;
}
