// Opening, checking and batching the inputs of the RSS run.
#include "rss/rss_inputs.h"

#include "datafile/header_image.h"
#include "maps/maps.h"
#include "support/platform_internal.h"
#include "support/support.h"

#include <algorithm>
#include <climits>

namespace {

constexpr valid_extent_t NO_VALID_DATA = {-1, -1, INT32_MAX, -1};

bool window_within(const window_t &w, const window_t &frame) {
    const int32_t relation = wn_compare(&w, &frame);
    return relation == WN_EQUAL || relation == WN_INSIDE;
}

void keep_attributes(member_t &m, const df_hdr_t &h) {
    m.time_stamp = h.TimeStamp;
    m.camera_width = h.CameraWidth;
    m.camera_height = h.CameraHeight;
    m.pixel_width = h.PixelWidth;
    m.pixel_height = h.PixelHeight;
    m.camera_res = h.CameraRes;
    m.units = rss_input_units_t{h.IntfScaleFactor, h.ObliquityFactor, h.WavelengthIn, h.PhaseRes};
}

void close_stream(rss_inputs_t *in, std::FILE **stream) {
    if (*stream != nullptr) {
        std::fclose(*stream);
        *stream = nullptr;
        --in->open_files;
    }
}

// Opens the member's file, reads its header and decides its role. Touches
// nothing but the member: the members of the next batch are opened so on
// both threads while the batch before is folded.
void open_member(member_t &m, const rss_frame_t &frame) {
    m.stream = u_fopen_path(m.name, "rb");
    if (m.stream == nullptr) {
        m.read_code = ERR_CANT_OPEN_FILE;
        return;
    }
    // The file is read in large pieces at explicit offsets, the header in one
    // read of as much as the longest header; a stream buffer would only add
    // a copy and memory.
    std::setvbuf(m.stream, nullptr, _IONBF, 0);
    unsigned char head[DF_LONG_HEADER];
    df_info_t info;
    df_hdr_t hdr;
    const std::size_t n = u_read_some_at(m.stream, head, sizeof head, 0);
    m.read_code = df_phase_head_of(head, n, &info, &hdr, &m.block);
    if (m.read_code != 0) {
        return;
    }
    if (m.block.present) {
        const window_t &w = m.block.window;
        u_advise_reading(m.stream, m.block.offset + int64_t{4} * w.width * w.height);
    }
    keep_attributes(m, hdr);
    // The check looks at the phase window only when the map holds data; this
    // stand-in holds none but says whether the file has a block.
    int32_t stand_in = 0;
    const int_map_t phase = {0, m.block.window, m.block.present ? &stand_in : nullptr};
    m.check_code = df_check_attr(&hdr, nullptr, &phase, true, m.check_text);
    if (!m.block.present) {
        return;
    }
    m.role = m.check_code == 0 ? ROLE_FOLD : ROLE_READ_WHOLE;
    if (m.role != ROLE_FOLD || m.number == 1) {
        return;
    }
    if (m.camera_width != frame.camera_width || m.camera_height != frame.camera_height) {
        m.frame = FRAME_OTHER_SIZE;
    } else if (m.camera_res != frame.camera_res) { // exact; a NaN never matches
        m.frame = FRAME_OTHER_RES;
    }
}

void start_member(member_t &m, const rss_inputs_t &in, int32_t index) {
    m = member_t{};
    m.number = index + 1;
    m.name = in.names[index];
    m.role = ROLE_UNREAD;
    m.valid = NO_VALID_DATA;
}

} // namespace

int32_t inputs_ahead_count(const rss_inputs_t &in, const rss_batch_t &b) {
    const bool full = b.count == std::clamp(in.batch_max, 1, RSS_BATCH_MAX);
    if (!full || b.folded < b.count) {
        return 0; // the run ends with this batch, or its next batch starts with a retry
    }
    return std::min(b.count, in.count - in.next);
}

void inputs_open_ahead(const rss_inputs_t &in, const rss_frame_t &frame, member_t *ahead,
                       int32_t index) {
    member_t &m = ahead[index];
    start_member(m, in, in.next + index);
    open_member(m, frame);
}

void inputs_open_batch(rss_inputs_t *in, rss_batch_t *b, rss_frame_t *frame, member_t *ahead,
                       int32_t ahead_count) {
    b->count = 0;
    b->folded = 0;
    const int32_t batch_max = std::clamp(in->batch_max, 1, RSS_BATCH_MAX);
    int32_t used = 0; // of the members opened ahead
    while (in->next < in->count) {
        member_t &m = b->members[b->count];
        if (used < ahead_count && ahead[used].stream != nullptr) {
            m = ahead[used];
            ahead[used++].stream = nullptr;
        } else {
            // Opened now, also when opening ahead failed: with the batch
            // before closed, a lack of file handles no longer counts.
            used += used < ahead_count ? 1 : 0;
            start_member(m, *in, in->next);
            open_member(m, *frame);
        }
        if (m.stream == nullptr && in->open_files > 0) {
            break; // tried again, alone, in the next batch
        }
        in->open_files += m.stream != nullptr ? 1 : 0;
        for (member_work_t(&work)[RSS_BATCH_MAX] : b->work) {
            work[b->count] = member_work_t{0, false, NO_VALID_DATA};
        }
        ++b->count;
        ++in->next;

        if (m.role == ROLE_FOLD && m.number == 1) {
            // The first input fixes the frame and, unless the run's setting
            // did, the output phase resolution.
            const int32_t res =
                frame->out_phase_res != -1 ? frame->out_phase_res : m.units.phase_res;
            *frame = {m.camera_width, m.camera_height,      m.pixel_width,      m.pixel_height,
                      m.camera_res,   m.units.scale_factor, m.units.wavelength, res};
        }
        if (m.role == ROLE_FOLD) {
            m.placed = window_within(m.block.window,
                                     window_t{0, 0, frame->camera_width, frame->camera_height});
            if (m.frame != FRAME_SAME || !m.placed) {
                m.role = ROLE_READ_WHOLE;
            }
        }
        if (m.role == ROLE_UNREAD) {
            close_stream(in, &m.stream);
        }
        if (m.role != ROLE_FOLD) {
            break; // nothing after an input that is not folded matters: it fails
        }
        ++b->folded;
        const double weight = in->weights != nullptr ? in->weights[m.number - 1] : 1.0;
        const double factor = unit_factor(*frame, m.units) * weight;
        m.fold = fold_params_t{factor, unit_factor_applies(factor), m.number == 1};
        if (b->count >= batch_max) {
            break;
        }
    }
    inputs_close_ahead(ahead, ahead_count);
}

void inputs_close_ahead(member_t *ahead, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (ahead[i].stream != nullptr) {
            std::fclose(ahead[i].stream);
            ahead[i].stream = nullptr;
        }
    }
}

void member_find_valid(member_work_t *w, const unsigned char *counts, int32_t width,
                       int32_t first_row, int32_t rows) {
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(width);
    for (int32_t r = 0; r < rows; ++r) {
        if (row_valid_extent(counts + r * row_bytes, width, &w->valid.left, &w->valid.right)) {
            if (w->valid.top < 0) {
                w->valid.top = first_row + r;
            }
            w->valid.bottom = first_row + r;
        }
    }
}

void inputs_read_last_whole(rss_batch_t *b, int32_t failed, unsigned char *piece) {
    const int32_t index = b->count - 1;
    if (index < 0 || index > failed || b->members[index].role != ROLE_READ_WHOLE) {
        return;
    }
    const member_t &m = b->members[index];
    member_work_t &w = b->work[RSS_MAIN][index];
    const window_t &window = m.block.window;
    const int32_t per_piece =
        static_cast<int32_t>(RSS_PIECE_BYTES / (4 * static_cast<std::size_t>(window.width)));
    for (int32_t row = 0; row < window.height && w.read_code == 0; row += per_piece) {
        const int32_t rows = std::min(per_piece, window.height - row);
        w.read_code = df_read_phase_at(m.stream, &m.block, int64_t{row} * window.width, piece,
                                       static_cast<std::size_t>(rows) * window.width);
        if (w.read_code == 0) {
            member_find_valid(&w, piece, window.width, row, rows);
        }
    }
}

void inputs_merge_work(rss_batch_t *b) {
    for (int32_t i = 0; i < b->count; ++i) {
        member_t &m = b->members[i];
        for (const member_work_t(&work)[RSS_BATCH_MAX] : b->work) {
            const member_work_t &w = work[i];
            if (m.read_code == 0) {
                m.read_code = w.read_code;
            }
            m.overflow |= w.overflow;
            if (w.valid.top >= 0) {
                m.valid.top = m.valid.top < 0 ? w.valid.top : std::min(m.valid.top, w.valid.top);
                m.valid.bottom = std::max(m.valid.bottom, w.valid.bottom);
                m.valid.left = std::min(m.valid.left, w.valid.left);
                m.valid.right = std::max(m.valid.right, w.valid.right);
            }
        }
    }
}

void inputs_close_batch(rss_inputs_t *in, rss_batch_t *b) {
    for (int32_t i = 0; i < b->count; ++i) {
        close_stream(in, &b->members[i].stream);
    }
}
