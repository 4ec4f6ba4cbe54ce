// Header formats and the conversion between the file's header bytes and the
// header image.
#include "datafile/header_image.h"

namespace {

unsigned char *bytes_of(df_image_t *image) {
    return reinterpret_cast<unsigned char *>(image);
}

} // namespace

std::size_t df_header_length(uint32_t magic) {
    switch (magic) {
    case DF_MAGIC_1:
    case DF_MAGIC_2:
        return DF_SHORT_HEADER;
    case DF_MAGIC_3:
        return DF_LONG_HEADER;
    default:
        return 0;
    }
}

uint32_t df_choose_magic(const df_hdr_t *hdr) {
    if (hdr == nullptr) {
        return DF_MAGIC_1;
    }
    // Anything in the extension beyond its first four bytes needs the long
    // header; format_marker lies in that range, so a record read from a long
    // header keeps it.
    const auto *p = reinterpret_cast<const unsigned char *>(hdr);
    constexpr std::size_t from = df_image_offset(838) - offsetof(df_image_t, hdr);
    constexpr std::size_t to = df_image_offset(DF_LONG_HEADER) - offsetof(df_image_t, hdr);
    for (std::size_t i = from; i < to; ++i) {
        if (p[i] != 0) {
            return DF_MAGIC_3;
        }
    }
    return hdr->PhaseRes >= 2 ? DF_MAGIC_2 : DF_MAGIC_1;
}

int32_t df_write_format(const df_hdr_t *hdr) {
    const uint32_t magic = df_choose_magic(hdr);
    return magic == DF_MAGIC_3 ? 3 : magic == DF_MAGIC_2 ? 2 : 1;
}

int32_t df_counts_per_fringe(int32_t phase_res) {
    return phase_res == 0 ? 4096 : phase_res == 1 ? 32768 : 131072;
}

const char *df_phase_res_name(int32_t phase_res) {
    return phase_res == 0 ? "Normal" : phase_res == 1 ? "High" : "Super";
}

double df_metres_per_count(const df_hdr_t *hdr) {
    return static_cast<double>(hdr->IntfScaleFactor) * static_cast<double>(hdr->ObliquityFactor) *
           static_cast<double>(hdr->WavelengthIn) / df_counts_per_fringe(hdr->PhaseRes);
}

void df_image_from_file(df_image_t *image) {
    unsigned char *p = bytes_of(image);
    std::size_t end = DF_LONG_HEADER;
    std::size_t inserted = 0;
    for (const df_gap_t &g : DF_GAPS) {
        const std::size_t at = g.file_offset + inserted;
        std::memmove(p + at + g.length, p + at, end - at);
        std::memset(p + at, 0, g.length);
        end += g.length;
        inserted += g.length;
    }
    for (const df_run_t &r : DF_RUNS) {
        if (r.item_size == 1) {
            continue; // bytes stay as they are (most of the header)
        }
        unsigned char *q = p + df_image_offset(r.file_offset);
        for (std::size_t i = 0; i < r.count; ++i, q += r.item_size) {
            if (r.item_size == 2) {
                df_be16_to_host(q);
            } else if (r.item_size == 4) {
                df_be32_to_host(q);
            }
        }
    }
}

void df_image_to_file(df_image_t *image) {
    unsigned char *p = bytes_of(image);
    for (const df_run_t &r : DF_RUNS) {
        if (r.item_size == 1) {
            continue;
        }
        unsigned char *q = p + df_image_offset(r.file_offset);
        for (std::size_t i = 0; i < r.count; ++i, q += r.item_size) {
            if (r.item_size == 2) {
                df_host_to_be16(q);
            } else if (r.item_size == 4) {
                df_host_to_be32(q);
            }
        }
    }
    // With the earlier gaps gone, each gap sits at its own file offset.
    std::size_t end = DF_IMAGE_SIZE;
    for (const df_gap_t &g : DF_GAPS) {
        std::memmove(p + g.file_offset, p + g.file_offset + g.length,
                     end - g.file_offset - g.length);
        end -= g.length;
    }
}

int32_t df_read_header_image(std::FILE *stream, df_image_t *image) {
    *image = df_image_t{};
    auto *p = reinterpret_cast<unsigned char *>(image);
    if (std::fread(p, 1, 4, stream) != 4) {
        return ERR_PREMATURE_EOF;
    }
    const std::size_t length = df_header_length(df_load_be32(p));
    if (length == 0) {
        return ERR_NOT_A_DATA_FILE;
    }
    // The magic is already in place; the rest of the header follows in one read.
    if (std::fread(p + 4, 1, length - 4, stream) != length - 4) {
        return ERR_PREMATURE_EOF;
    }
    df_image_from_file(image);
    return 0;
}
