// The RSS run: reads every input's phase map, re-expresses it in the output's
// units, adds the squares pixel by pixel over the camera frame, takes the
// root, trims the result to its valid data and writes it as a data file.
//
// The run streams its inputs instead of holding them whole. Inputs are taken
// in batches whose files are open together. The camera frame is cut into
// bands of rows small enough for a band's part of the sum to stay in cache,
// and every input of a batch is folded into a band before the band is left.
// Two workers (the run's thread and a helper thread) take bands in turn, each
// reading the band's rows of every input through streams of its own and
// folding them, so that data read by one processor is folded by the same
// one. When all inputs fit in one batch, each worker holds only the sum of
// its current band and turns it into result counts as soon as the last input
// is folded into it; otherwise the sum covers the camera frame and is swept
// once per batch. The pixel arithmetic is that of the map operations
// (tool/rss_fold.h), so the result is bit-identical to running them input by
// input.
//
// The output file is written while the inputs are still being folded, as
// soon as the columns of the trimmed result are certain (they lie within
// every input's window); its header follows at the end. When that never
// happens, or writing fails, the result is written whole at the end by the
// library's writer, exactly as an input-by-input run writes it.
//
// Messages and report lines come out exactly as an input-by-input run writes
// them: a batch's lines are written once it is folded in full, input by
// input, and the first failure in input order ends the run.
#include "tool/tool.h"

#include "datafile/datafile.h"
#include "maps/maps.h"
#include "support/support.h"
#include "tool/helper_thread.h"
#include "tool/rss_fold.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

// A band's sum (256 KiB) stays in the second-level cache while every input
// of the batch is folded into it.
rss_tuning_t g_rss_tuning = {256 * 1024, RSS_BATCH_MAX, true};

namespace {

// Result code of a failure whose message has already been written.
constexpr int32_t ALREADY_REPORTED = -1;

// Scaling is skipped for factors this close to 1.
constexpr double UNIT_FACTOR_TOLERANCE = 1e-10;

constexpr std::size_t TEXT_BUF = 512;
constexpr std::size_t COMMENT_MAX = sizeof(df_hdr_t::comment) - 1;

constexpr int32_t NO_FAILURE = INT32_MAX;

// A worker's buffer: one input's counts for a band, rows of an input read
// only to be scanned, or result rows on their way to the output file. It
// holds at least one row of the widest window.
constexpr std::size_t PIECE_BYTES = 128 * 1024;
static_assert(PIECE_BYTES >= 32767 * 4);

constexpr int32_t MAIN = 0;   // the run's own thread
constexpr int32_t HELPER = 1; // the helper thread

// Finished bands whose counts can wait, in a single pass, for the run's
// thread to take them in order.
constexpr int32_t SLOTS = 16;

// Phase counts per fringe of a phase resolution code.
double counts_per_fringe(int32_t phase_res) {
    switch (phase_res) {
    case 0:
        return 4096.0;
    case 1:
        return 32768.0;
    default:
        return 131072.0;
    }
}

const char *phase_res_word(int32_t phase_res) {
    switch (phase_res) {
    case 0:
        return "Normal";
    case 1:
        return "High";
    default:
        return "Super";
    }
}

// What an input does in its batch.
enum member_role : uint8_t {
    ROLE_FOLD, // read band by band and folded into the sum
    ROLE_SCAN, // read whole but not folded: it fails, and its data decides how
    ROLE_NONE, // fails before its data matters; nothing is read
};

// An input against the first input's camera frame.
enum frame_match : uint8_t {
    FRAME_SAME,
    FRAME_OTHER_SIZE, // CameraWidth or CameraHeight differs
    FRAME_OTHER_RES,  // CameraRes differs
};

// One input of a batch: what its header said, what its data showed, and the
// attributes its report lines and the output record need.
struct member_t {
    int32_t number; // from 1
    const char *name;
    std::FILE *stream; // the run's thread reads through it, open until the batch ends
    std::FILE *second; // the helper's, positioned at the phase block; or null
    member_role role;
    bool overflow;      // scaling, squaring or adding overflowed
    int32_t read_code;  // what reading the whole file gives
    int32_t check_code; // attribute check
    bool has_phase;     // the file has a phase block
    window_t window;    // phase window
    frame_match frame;  // against the first input (later inputs)
    bool placed;        // the window lies in the camera frame
    fold_params_t fold; // for ROLE_FOLD
    // Valid data, in rows and columns of the window; top < 0: none.
    int32_t top;
    int32_t bottom;
    int32_t left;
    int32_t right;
    int32_t time_stamp;
    int16_t camera_width;
    int16_t camera_height;
    int16_t phase_res;
    float pixel_width;
    float pixel_height;
    float camera_res;
    float scale_factor; // IntfScaleFactor
    float wavelength;   // WavelengthIn
    float obliquity;    // ObliquityFactor
    char check_text[DF_CHECK_MSG_SIZE];
};

// What one worker found in one input's data so far.
struct member_work_t {
    int32_t read_code; // ERR_CORRUPT_DATA_FILE once a piece could not be read
    bool overflow;
    int32_t row_at; // window row the worker's stream stands at
    int32_t top;    // valid data, as in member_t
    int32_t bottom;
    int32_t left;
    int32_t right;
};

struct batch_t {
    member_t members[RSS_BATCH_MAX];
    member_work_t work[2][RSS_BATCH_MAX]; // [worker][member]
    int32_t count;
    int32_t folded;   // members with ROLE_FOLD
    bool final;       // its last member is the last input, folded
    bool two_workers; // the helper takes bands too
    std::atomic<int32_t> next_band;
    std::atomic<int32_t> end; // members from here on no longer matter: an earlier one fails
};

// What the first input fixes for the whole run: the camera frame, the
// lateral resolution and the output units.
struct frame_t {
    int16_t camera_width;
    int16_t camera_height;
    float pixel_width;
    float pixel_height;
    float camera_res;
    float scale_factor; // IntfScaleFactor
    float wavelength;   // WavelengthIn
};

// The output file written ahead of the end.
struct output_t {
    std::FILE *file;    // open while rows are written ahead
    bool opened;        // written ahead of the end: a failing run empties it again
    bool active;        // rows are being written ahead
    bool broken;        // not written ahead after all: the result is written whole at the end
    bool failed;        // writing failed after rows were written ahead: the run fails
    bool settled;       // the result is being written: the file stays as that leaves it
    int32_t next_row;   // next camera row to write
    std::size_t header; // bytes kept free for the header
};

struct rss_state_t {
    frame_t first;
    int32_t out_phase_res;
    double out_counts; // counts per fringe of the output
    int64_t latest_time;

    bool single_pass;         // all inputs in one batch
    dbl_map_t sum;            // in batches: the sum over the camera frame, finished rows packed in
                              // place at its front as counts
    dbl_map_t band[2];        // single pass: each worker's band of the sum
    int_map_t result;         // single pass: the counts of the rows not written ahead
    unsigned char *slots;     // single pass: SLOTS bands of counts, band b in slot b % SLOTS
    unsigned char *buffer[2]; // each worker's piece buffer
    unsigned char *ready;     // per band of the last batch: folded (and in a
                              // single pass turned into counts)
    int32_t band_rows;        // camera rows per band
    int32_t bands;            // 0 until the first input is to be folded
    std::atomic<int32_t> accepted; // bands of the last batch taken into the result
    int32_t stored_end;            // single pass: rows above are kept in the result map
    // A worker waiting for the other: the helper for a free slot, the run's
    // thread for the next band or the helper's end.
    std::mutex progress_lock;
    std::condition_variable progress;
    std::atomic<int32_t> sleepers;
    std::atomic<bool> helper_idle;
    // Columns inside every folded window: the result's valid columns lie there.
    int32_t span_left;
    int32_t span_right;
    // Valid result so far, in camera rows and columns; top < 0: none.
    int32_t result_top;
    int32_t result_bottom;
    int32_t result_left;
    int32_t result_right;
    output_t out;

    // Making the output file. It is created or emptied before any input is
    // read, or, when it exists and no input can be it, by the helper while
    // the first batch is read; its report lines wait until that is done.
    bool empty_later;          // the helper empties it with the first batch
    std::atomic<bool> emptied; // it has been created or emptied, or that failed
    bool create_failed;
    bool output_settled; // its message or report lines are written

    int32_t next_input; // index of the next input to open
    int32_t emitted;    // inputs whose lines are written, without failure
    int32_t open_files;
    batch_t batch;
    helper_thread_t helper;

    df_hdr_t in_hdr; // header of the input being opened
    df_hdr_t out_hdr;
    df_info_t info; // filled by the reader, not used
    char text[TEXT_BUF];
};

// Creates or empties the output file.
void empty_output(rss_state_t &s) {
    std::FILE *out = u_fopen_path(g_settings.out_name, "w");
    s.create_failed = out == nullptr;
    if (out != nullptr) {
        std::fclose(out);
    }
    s.emptied.store(true, std::memory_order_release);
}

// Makes the output file if that has not happened yet and writes what comes
// of it: the message when it cannot be created, which ends the run, else the
// report lines of the output and its units.
int32_t settle_output(rss_state_t &s) {
    if (s.output_settled) {
        return 0;
    }
    s.output_settled = true;
    // A try made while the first inputs were open is made again now that
    // they are closed: it may only have run out of file handles.
    if (!s.emptied.load(std::memory_order_acquire) || s.create_failed) {
        empty_output(s);
    }
    const char *out_name = g_settings.out_name;
    if (s.create_failed) {
        std::fprintf(stderr, "%s\nERROR: Cannot create output file \"%s\"\n", PROGRAM_NAME,
                     out_name);
        return ALREADY_REPORTED;
    }
    if (g_settings.verbose) {
        report_quoted("RssOutFile", out_name);
        if (g_settings.phase_res != -1) {
            report_word("Output PhaseRes", phase_res_word(s.out_phase_res));
            report_fringe("Output VornRes", s.out_counts);
        }
    }
    return 0;
}

bool has_byte_order_mark(const char *path) {
    if (path[0] == '\0' || path[1] == '\0') {
        return false;
    }
    uint16_t unit;
    std::memcpy(&unit, path, sizeof unit);
    return unit == 0xFEFF || unit == 0xFFFE;
}

// True when the helper may empty the output file while the first inputs
// are read: the file exists (emptying it takes time in proportion to its
// length, creating it does not) and none of the inputs is that file. Names
// behind a byte-order mark would take memory to look at; a run with them
// empties the file first.
bool may_empty_later(const rss_state_t &s) {
    u_file_id_t out_id;
    if (!s.helper.running || !s.single_pass || has_byte_order_mark(g_settings.out_name) ||
        !u_is_regular_file(g_settings.out_name) || !u_file_identity(g_settings.out_name, &out_id)) {
        return false;
    }
    for (int32_t i = 0; i < g_inputs.count; ++i) {
        u_file_id_t in_id;
        if (has_byte_order_mark(g_inputs.names[i]) ||
            (u_file_identity(g_inputs.names[i], &in_id) && u_same_file_id(&out_id, &in_id))) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Opening inputs.

// Factor that turns the input's phase counts into output counts: the first
// input's IntfScaleFactor and WavelengthIn, an ObliquityFactor of 1 and the
// output's counts per fringe. Formed in double from the widened attributes.
double unit_factor(const rss_state_t &s, const member_t &m) {
    const double numerator =
        ((static_cast<double>(m.scale_factor) * s.out_counts) * static_cast<double>(m.obliquity)) *
        static_cast<double>(m.wavelength);
    const double denominator =
        ((counts_per_fringe(m.phase_res) * static_cast<double>(s.first.scale_factor)) * 1.0) *
        static_cast<double>(s.first.wavelength);
    return numerator / denominator;
}

bool window_within(const window_t &w, const window_t &frame) {
    const int32_t relation = wn_compare(&w, &frame);
    return relation == WN_EQUAL || relation == WN_INSIDE;
}

void keep_attributes(member_t &m, const df_hdr_t &h) {
    m.time_stamp = h.TimeStamp;
    m.camera_width = h.CameraWidth;
    m.camera_height = h.CameraHeight;
    m.phase_res = h.PhaseRes;
    m.pixel_width = h.PixelWidth;
    m.pixel_height = h.PixelHeight;
    m.camera_res = h.CameraRes;
    m.scale_factor = h.IntfScaleFactor;
    m.wavelength = h.WavelengthIn;
    m.obliquity = h.ObliquityFactor;
}

// The first input fixes the frame and the output units.
void set_up_frame(rss_state_t &s, const member_t &m) {
    s.first = frame_t{m.camera_width, m.camera_height, m.pixel_width, m.pixel_height,
                      m.camera_res,   m.scale_factor,  m.wavelength};
    if (g_settings.phase_res == -1) {
        s.out_phase_res = m.phase_res;
        s.out_counts = counts_per_fringe(m.phase_res);
    }
}

// The sum over the camera frame, for a run in batches.
int32_t allocate_full_sum(rss_state_t &s) {
    s.sum.window = window_t{0, 0, s.first.camera_width, s.first.camera_height};
    return dbl_map_alloc(&s.sum);
}

// The bands the frame is cut into and the sums and counts they need: a band
// of the sum per worker and the result counts in a single pass, the whole
// sum in batches.
int32_t allocate_storage(rss_state_t &s) {
    const int16_t width = s.first.camera_width;
    const int16_t height = s.first.camera_height;
    const std::size_t rows = std::min(g_rss_tuning.band_sum_bytes / (sizeof(double) * width),
                                      PIECE_BYTES / (sizeof(int32_t) * width));
    s.band_rows = static_cast<int32_t>(std::clamp<std::size_t>(rows, 1, height));
    s.bands = (height + s.band_rows - 1) / s.band_rows;
    s.ready = static_cast<unsigned char *>(u_malloc_fn(static_cast<std::size_t>(s.bands)));
    if (s.ready == nullptr) {
        return ERR_NO_MEM;
    }
    std::memset(s.ready, 0, static_cast<std::size_t>(s.bands));
    if (!s.single_pass) {
        return allocate_full_sum(s);
    }
    int32_t code = 0;
    for (dbl_map_t &band : s.band) {
        band.window = window_t{0, 0, width, static_cast<int16_t>(s.band_rows)};
        if (code == 0) {
            code = dbl_map_alloc(&band);
        }
    }
    s.result.window = window_t{0, 0, width, height};
    if (code == 0) {
        code = int_map_alloc(&s.result);
    }
    s.slots = static_cast<unsigned char *>(u_malloc_fn(SLOTS * PIECE_BYTES));
    return code != 0 ? code : s.slots == nullptr ? ERR_NO_MEM : 0;
}

// The single batch could not open all inputs at once: the run goes on in
// batches, over a sum of the whole frame.
int32_t switch_to_batches(rss_state_t &s) {
    s.single_pass = false;
    dbl_map_free(&s.band[0]);
    dbl_map_free(&s.band[1]);
    int_map_free(&s.result);
    u_free_fn(s.slots);
    s.slots = nullptr;
    return allocate_full_sum(s);
}

void close_stream(rss_state_t &s, std::FILE **stream) {
    if (*stream != nullptr) {
        std::fclose(*stream);
        *stream = nullptr;
        --s.open_files;
    }
}

// Opens the next input and reads its header into a new member of the batch.
// *blocked when it could not be opened while other inputs are open (perhaps
// too many open files): it is tried again first in the next batch, alone.
// *last when the batch ends with this member.
int32_t add_member(rss_state_t &s, batch_t &b, bool *blocked, bool *last) {
    *blocked = false;
    *last = false;
    member_t &m = b.members[b.count];
    m = member_t{};
    m.number = s.next_input + 1;
    m.name = g_inputs.names[s.next_input];
    m.top = -1;
    m.left = INT32_MAX;
    m.right = -1;
    m.stream = u_fopen_path(m.name, "rb");
    if (m.stream == nullptr) {
        if (s.open_files > 0) {
            *blocked = true;
            return 0;
        }
        m.read_code = ERR_CANT_OPEN_FILE;
    } else {
        ++s.open_files;
        // Blocks are read in large pieces straight into the workers'
        // buffers; a stream buffer would only add a copy and memory.
        std::setvbuf(m.stream, nullptr, _IONBF, 0);
        df_phase_block_t block;
        m.read_code = df_read_phase_head(m.stream, &s.info, &s.in_hdr, &block);
        m.has_phase = block.present;
        m.window = block.window;
    }
    b.work[MAIN][b.count] = member_work_t{0, false, 0, -1, -1, INT32_MAX, -1};
    b.work[HELPER][b.count] = b.work[MAIN][b.count];
    ++b.count;
    ++s.next_input;

    m.role = ROLE_NONE;
    if (m.read_code == 0) {
        keep_attributes(m, s.in_hdr);
        // The check looks at the phase window only when the map holds data;
        // this stand-in holds none but says whether the file has a block.
        int32_t stand_in = 0;
        const int_map_t phase = {0, m.window, m.has_phase ? &stand_in : nullptr};
        m.check_code = df_check_attr(&s.in_hdr, nullptr, &phase, true, m.check_text);
        if (m.has_phase) {
            m.role = m.check_code == 0 ? ROLE_FOLD : ROLE_SCAN;
        }
    }
    if (m.role == ROLE_FOLD) {
        if (m.number == 1) {
            set_up_frame(s, m);
        } else if (m.camera_width != s.first.camera_width ||
                   m.camera_height != s.first.camera_height) {
            m.frame = FRAME_OTHER_SIZE;
        } else if (m.camera_res != s.first.camera_res) { // exact; a NaN never matches
            m.frame = FRAME_OTHER_RES;
        }
        m.placed =
            window_within(m.window, window_t{0, 0, s.first.camera_width, s.first.camera_height});
        if (m.frame != FRAME_SAME || !m.placed) {
            m.role = ROLE_SCAN;
        }
    }
    if (m.role == ROLE_NONE) {
        close_stream(s, &m.stream);
    }
    if (m.role != ROLE_FOLD) {
        *last = true; // nothing after an input that is not folded matters: it fails
        return 0;
    }
    if (m.number == 1) {
        if (const int32_t code = allocate_storage(s); code != 0) {
            return code;
        }
    }
    ++b.folded;
    s.span_left = std::max<int32_t>(s.span_left, m.window.x);
    s.span_right = std::min<int32_t>(s.span_right, m.window.x + m.window.width - 1);
    const double factor = unit_factor(s, m);
    m.fold = fold_params_t{factor, std::fabs(factor - 1.0) > UNIT_FACTOR_TOLERANCE, m.number == 1};
    b.final = s.next_input == g_inputs.count;
    *last = b.final || b.count >= std::clamp(g_rss_tuning.batch_max, 1, RSS_BATCH_MAX);
    return 0;
}

// Gives the helper a stream of its own into every folded input, at the start
// of the phase block; it moves only forward from there, by at most the
// block's length. Without them, the run's thread takes every band.
bool open_second_streams(rss_state_t &s, batch_t &b) {
    for (int32_t i = 0; i < b.count; ++i) {
        member_t &m = b.members[i];
        if (m.role != ROLE_FOLD) {
            continue;
        }
        // Offsets stay below 2^31, which every platform's stream positions
        // reach; a name behind a byte-order mark would take memory to open.
        const long start = std::ftell(m.stream);
        const int64_t block = int64_t{4} * m.window.width * m.window.height;
        if (start < 0 || start + block > INT32_MAX || has_byte_order_mark(m.name)) {
            return false;
        }
        m.second = u_fopen_path(m.name, "rb");
        if (m.second == nullptr) {
            return false;
        }
        ++s.open_files;
        std::setvbuf(m.second, nullptr, _IONBF, 0);
        if (std::fseek(m.second, start, SEEK_SET) != 0) {
            return false;
        }
    }
    return true;
}

// Opens the next batch of inputs.
int32_t form_batch(rss_state_t &s) {
    batch_t &b = s.batch;
    b.count = 0;
    b.folded = 0;
    b.final = false;
    b.two_workers = false;
    b.next_band.store(0);
    b.end.store(NO_FAILURE);
    for (;;) {
        bool blocked = false;
        bool last = false;
        if (const int32_t code = add_member(s, b, &blocked, &last); code != 0) {
            return code;
        }
        if (blocked && s.single_pass) {
            if (const int32_t code = switch_to_batches(s); code != 0) {
                return code;
            }
        }
        if (blocked || last) {
            break;
        }
    }
    if (b.folded > 0 && s.bands > 1 && s.helper.running) {
        b.two_workers = open_second_streams(s, b);
        if (!b.two_workers) {
            for (int32_t i = 0; i < b.count; ++i) {
                close_stream(s, &b.members[i].second);
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Folding bands. Both workers run these at once, each on its own bands: the
// sum rows, counts and stream positions of a band belong to the worker that
// took it.

// Wakes a worker waiting for the other. The state it waits for changed
// before this is read, and a sleeper registers before it tests its
// condition, so either it sees the change or it is seen here.
void tell_progress(rss_state_t &s) {
    std::atomic_thread_fence(std::memory_order_seq_cst); // the change is seen before the count
    if (s.sleepers.load() != 0) {
        const std::lock_guard<std::mutex> guard(s.progress_lock);
        s.progress.notify_all();
    }
}

template <typename Ready> void wait_progress(rss_state_t &s, Ready ready) {
    std::unique_lock<std::mutex> guard(s.progress_lock);
    s.sleepers.fetch_add(1);
    s.progress.wait(guard, ready);
    s.sleepers.fetch_sub(1);
}

// A member fails (read error or overflow): later members no longer matter,
// and the last batch's bands are no longer finished.
void member_fails(rss_state_t &s, int32_t index) {
    batch_t &b = s.batch;
    int32_t end = b.end.load();
    while (index + 1 < end && !b.end.compare_exchange_weak(end, index + 1)) {
    }
    tell_progress(s);
}

// The sum of a camera row, for the worker folding its band.
double *sum_row(const rss_state_t &s, int32_t worker, int32_t row) {
    const std::size_t width = static_cast<std::size_t>(s.first.camera_width);
    if (s.single_pass) {
        return s.band[worker].matrix + static_cast<std::size_t>(row % s.band_rows) * width;
    }
    return s.sum.matrix + static_cast<std::size_t>(row) * width;
}

// The result counts of a finished camera row, in machine order: in batches
// packed at the front of the sum map, below the sums still to come; in a
// single pass in the slot of its band until the run's thread takes them,
// and kept in the result map afterwards while they are not written ahead.
// Null for a row that was not kept: it holds no valid count.
const unsigned char *counts_row(const rss_state_t &s, int32_t row) {
    const std::size_t width = static_cast<std::size_t>(s.first.camera_width);
    if (!s.single_pass) {
        return reinterpret_cast<const unsigned char *>(s.sum.matrix) + 4 * width * row;
    }
    if (row < s.stored_end) {
        return reinterpret_cast<const unsigned char *>(s.result.matrix + width * row);
    }
    const int32_t band = row / s.band_rows;
    if (band < s.accepted.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    return s.slots + (band % SLOTS) * PIECE_BYTES + 4 * width * (row % s.band_rows);
}

// Extends a worker's valid extent of a member by rows of its counts.
void scan_rows(member_work_t &w, const unsigned char *counts, int32_t width, int32_t first_row,
               int32_t rows) {
    const std::size_t row_bytes = 4 * static_cast<std::size_t>(width);
    for (int32_t r = 0; r < rows; ++r) {
        if (row_valid_extent(counts + r * row_bytes, width, &w.left, &w.right)) {
            if (w.top < 0) {
                w.top = first_row + r;
            }
            w.bottom = first_row + r;
        }
    }
}

// Folds a member's rows of a band into the sum, with the camera pixels
// outside its window marked invalid. `counts` holds window rows
// [first_row, first_row + rows). True on overflow.
bool fold_band_rows(const rss_state_t &s, int32_t worker, const member_t &m, int32_t band,
                    int32_t first_row, int32_t rows, const unsigned char *counts) {
    const int32_t width = s.first.camera_width;
    const int32_t band_top = band * s.band_rows;
    const int32_t band_end = std::min<int32_t>(band_top + s.band_rows, s.first.camera_height);
    const int32_t x = m.window.x;
    const int32_t w = m.window.width;
    bool overflow = false;
    for (int32_t row = band_top; row < band_end; ++row) {
        double *sum = sum_row(s, worker, row);
        const int32_t data_row = row - m.window.y - first_row;
        if (data_row < 0 || data_row >= rows) {
            fold_invalidate(sum, static_cast<std::size_t>(width));
            continue;
        }
        const unsigned char *raw = counts + static_cast<std::size_t>(data_row) * w * 4;
        fold_invalidate(sum, static_cast<std::size_t>(x));
        overflow |= fold_row(raw, sum + x, static_cast<std::size_t>(w), m.fold);
        fold_invalidate(sum + x + w, static_cast<std::size_t>(width - x - w));
    }
    return overflow;
}

void accept_bands(rss_state_t &s);

// The band's sums are final: root and rounding into result counts. In a
// single pass they go to the band's slot, once the band that held it before
// has been taken; false when a failure means the band is not needed.
bool finish_band(rss_state_t &s, int32_t worker, int32_t band) {
    const int32_t band_top = band * s.band_rows;
    const int32_t band_end = std::min<int32_t>(band_top + s.band_rows, s.first.camera_height);
    const std::size_t width = static_cast<std::size_t>(s.first.camera_width);
    unsigned char *counts = nullptr;
    if (!s.single_pass) {
        counts = reinterpret_cast<unsigned char *>(s.sum.matrix) + 4 * width * band_top;
    } else {
        auto slot_free = [&] {
            return s.accepted.load(std::memory_order_acquire) > band - SLOTS ||
                   s.batch.end.load() != NO_FAILURE;
        };
        // The run's thread frees slots itself, taking the bands before this
        // one as they become ready; the helper waits for it to do so.
        while (!slot_free()) {
            if (worker == MAIN) {
                accept_bands(s);
                if (slot_free()) {
                    break;
                }
                wait_progress(s, [&] {
                    const int32_t next = s.accepted.load();
                    return slot_free() ||
                           (next < s.bands &&
                            std::atomic_ref<unsigned char>(s.ready[next]).load() != 0);
                });
            } else {
                wait_progress(s, slot_free);
            }
        }
        if (s.batch.end.load() != NO_FAILURE) {
            return false;
        }
        counts = s.slots + (band % SLOTS) * PIECE_BYTES;
    }
    for (int32_t row = band_top; row < band_end; ++row) {
        finish_row(sum_row(s, worker, row), counts, width);
        counts += 4 * width;
    }
    return true;
}

// Reads and folds every member's rows of one band.
void fold_band(rss_state_t &s, int32_t worker, int32_t band) {
    batch_t &b = s.batch;
    const int32_t band_top = band * s.band_rows;
    const int32_t band_end = std::min<int32_t>(band_top + s.band_rows, s.first.camera_height);
    unsigned char *counts = s.buffer[worker];
    for (int32_t i = 0; i < b.count && i < b.end.load(); ++i) {
        const member_t &m = b.members[i];
        member_work_t &w = b.work[worker][i];
        if (m.role != ROLE_FOLD || w.read_code != 0) {
            continue;
        }
        const int32_t top = std::max<int32_t>(band_top, m.window.y);
        const int32_t rows =
            std::max(0, std::min<int32_t>(band_end, m.window.y + m.window.height) - top);
        const int32_t first_row = top - m.window.y;
        if (rows > 0) {
            std::FILE *stream = worker == MAIN ? m.stream : m.second;
            const long row_bytes = 4L * m.window.width;
            if (first_row > w.row_at &&
                std::fseek(stream, (first_row - w.row_at) * row_bytes, SEEK_CUR) != 0) {
                w.read_code = ERR_CORRUPT_DATA_FILE;
            } else {
                w.read_code = df_read_phase_raw(stream, counts,
                                                static_cast<std::size_t>(rows) * m.window.width);
            }
            w.row_at = first_row + rows;
            if (w.read_code != 0) {
                member_fails(s, i);
                continue;
            }
            scan_rows(w, counts, m.window.width, first_row, rows);
        }
        // A band without rows of the member still marks its sum invalid.
        if (!w.overflow && fold_band_rows(s, worker, m, band, first_row, rows, counts)) {
            w.overflow = true;
            member_fails(s, i);
        }
    }
    if (b.final && b.end.load() == NO_FAILURE && (!s.single_pass || finish_band(s, worker, band))) {
        std::atomic_ref<unsigned char>(s.ready[band]).store(1, std::memory_order_release);
        tell_progress(s);
    }
}

// ---------------------------------------------------------------------------
// The result, taken band by band in order on the run's thread, and written
// ahead.

// The attributes written with the result; every other field stays 0.
void fill_output_record(rss_state_t &s) {
    df_hdr_t &o = s.out_hdr;
    o.TimeStamp = static_cast<int32_t>(s.latest_time);
    o.PixelWidth = s.first.pixel_width;
    o.PixelHeight = s.first.pixel_height;
    o.CameraRes = s.first.camera_res;
    o.CameraWidth = s.first.camera_width;
    o.CameraHeight = s.first.camera_height;
    o.PhaseRes = static_cast<int16_t>(s.out_phase_res);
    o.IntfScaleFactor = s.first.scale_factor;
    o.WavelengthIn = s.first.wavelength;
    o.ObliquityFactor = 1.0f;
}

// Writes camera rows [first, end) of the result, over the columns of the
// span, to the output file in file order. False when writing fails.
bool write_rows(rss_state_t &s, int32_t first, int32_t end) {
    const std::size_t values = static_cast<std::size_t>(s.span_right - s.span_left + 1);
    const int32_t per_piece = static_cast<int32_t>(PIECE_BYTES / (4 * values));
    unsigned char *piece = s.buffer[MAIN]; // free between bands
    for (int32_t row = first; row < end;) {
        const int32_t rows = std::min(per_piece, end - row);
        for (int32_t r = 0; r < rows; ++r) {
            unsigned char *out = piece + 4 * values * r;
            if (const unsigned char *counts = counts_row(s, row + r); counts != nullptr) {
                store_be_counts(counts + 4 * s.span_left, out, values);
            } else {
                for (std::size_t i = 0; i < values; ++i) { // INT_MAP_INVALID, big-endian
                    std::memcpy(out + 4 * i, "\x7F\xFF\xFF\xF8", 4);
                }
            }
        }
        const std::size_t bytes = 4 * values * static_cast<std::size_t>(rows);
        if (std::fwrite(piece, 1, bytes, s.out.file) != bytes) {
            return false;
        }
        row += rows;
    }
    return true;
}

// Starts writing the output file ahead once the result's columns are
// certain: once valid counts have reached both edges of the span, the
// trimmed result spans exactly its columns, and every row from the first
// valid one on belongs to it. The header is written last.
void start_writing_ahead(rss_state_t &s) {
    output_t &o = s.out;
    if (o.active || o.broken || s.result_top < 0 || s.result_left != s.span_left ||
        s.result_right != s.span_right || !s.emptied.load(std::memory_order_acquire)) {
        return;
    }
    // Only a regular file can take its header last; and a name behind a
    // byte-order mark would take memory to open, which this optional path
    // must not.
    if (has_byte_order_mark(g_settings.out_name) || !u_is_regular_file(g_settings.out_name)) {
        o.broken = true;
        return;
    }
    // The header's length depends on the output record alone.
    fill_output_record(s);
    const window_t any = {0, 0, 1, 1};
    unsigned char header[DF_LONG_HEADER];
    if (df_phase_header(nullptr, &s.out_hdr, &any, header, &o.header) != 0) {
        o.broken = true;
        return;
    }
    o.file = u_fopen_path(g_settings.out_name, "wb");
    o.opened = true;
    std::memset(header, 0, o.header);
    if (o.file == nullptr) {
        o.broken = true;
        return;
    }
    std::setvbuf(o.file, nullptr, _IONBF, 0); // written in large pieces only
    if (std::fwrite(header, 1, o.header, o.file) != o.header) {
        o.broken = true; // nothing of the result written yet
        return;
    }
    o.active = true;
    o.next_row = s.result_top;
}

// Takes the bands of the last batch that are ready, in order: turns them
// into counts when the sum covers the frame (in order, since the counts are
// packed over the sums of rows above), extends the result's extent and
// writes ahead what is certain. Rows below the last valid row so far wait,
// since the result may end above them; they hold no valid count. In a
// single pass a band's counts are kept in the result map only while nothing
// is written ahead; taking a band frees its slot.
void accept_bands(rss_state_t &s) {
    const std::size_t width = static_cast<std::size_t>(s.first.camera_width);
    for (int32_t band = s.accepted.load(); band < s.bands; band = s.accepted.load()) {
        if (std::atomic_ref<unsigned char>(s.ready[band]).load(std::memory_order_acquire) == 0) {
            return;
        }
        if (!s.single_pass) {
            finish_band(s, MAIN, band);
        }
        const int32_t band_top = band * s.band_rows;
        const int32_t band_end = std::min<int32_t>(band_top + s.band_rows, s.first.camera_height);
        for (int32_t row = band_top; row < band_end; ++row) {
            if (result_valid_extent(counts_row(s, row), s.first.camera_width, &s.result_left,
                                    &s.result_right)) {
                if (s.result_top < 0) {
                    s.result_top = row;
                }
                s.result_bottom = row;
            }
        }
        start_writing_ahead(s);
        output_t &o = s.out;
        if (o.active) {
            if (!o.failed && o.next_row <= s.result_bottom) {
                o.failed = !write_rows(s, o.next_row, s.result_bottom + 1);
                o.next_row = s.result_bottom + 1;
            }
        } else if (s.single_pass) {
            std::memcpy(s.result.matrix + width * band_top, counts_row(s, band_top),
                        4 * width * static_cast<std::size_t>(band_end - band_top));
            s.stored_end = band_end;
        }
        s.accepted.store(band + 1, std::memory_order_release);
        tell_progress(s);
    }
}

// A worker's share of the bands: it takes the next band until none is left.
// The run's thread also takes the result in between.
void take_bands(rss_state_t &s, int32_t worker) {
    batch_t &b = s.batch;
    for (int32_t band = b.next_band.fetch_add(1); band < s.bands; band = b.next_band.fetch_add(1)) {
        fold_band(s, worker, band);
        if (worker == MAIN && b.final) {
            accept_bands(s);
        }
    }
}

// The helper's task for a batch: the output file first when it is left to
// the helper, then its share of the bands.
void helper_task(void *context) {
    rss_state_t &s = *static_cast<rss_state_t *>(context);
    if (!s.emptied.load(std::memory_order_acquire)) {
        empty_output(s);
    }
    if (s.batch.two_workers) {
        take_bands(s, HELPER);
    }
    s.helper_idle.store(true);
    tell_progress(s);
}

// Reads the input that is only scanned (the batch's last), row after row.
void scan_last_member(rss_state_t &s) {
    batch_t &b = s.batch;
    const int32_t index = b.count - 1;
    const member_t &m = b.members[index];
    member_work_t &w = b.work[MAIN][index];
    if (m.role != ROLE_SCAN || index >= b.end.load()) {
        return;
    }
    const int32_t per_piece =
        static_cast<int32_t>(PIECE_BYTES / (4 * static_cast<std::size_t>(m.window.width)));
    for (int32_t row = 0; row < m.window.height && w.read_code == 0; row += per_piece) {
        const int32_t rows = std::min(per_piece, m.window.height - row);
        w.read_code = df_read_phase_raw(m.stream, s.buffer[MAIN],
                                        static_cast<std::size_t>(rows) * m.window.width);
        if (w.read_code == 0) {
            scan_rows(w, s.buffer[MAIN], m.window.width, row, rows);
        }
    }
}

// What both workers found, merged into the members.
void merge_work(batch_t &b) {
    for (int32_t i = 0; i < b.count; ++i) {
        member_t &m = b.members[i];
        for (const member_work_t &w : {b.work[MAIN][i], b.work[HELPER][i]}) {
            if (m.read_code == 0) {
                m.read_code = w.read_code;
            }
            m.overflow |= w.overflow;
            if (w.top >= 0) {
                m.top = m.top < 0 ? w.top : std::min(m.top, w.top);
                m.bottom = std::max(m.bottom, w.bottom);
                m.left = std::min(m.left, w.left);
                m.right = std::max(m.right, w.right);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Report lines and messages, in input order.

void report_input(const member_t &m, const window_t &valid) {
    char time_text[U_CTIME_BUF];
    u_ctime_text(m.time_stamp, time_text);
    report_line_text("TimeStamp", time_text);
    report_int("CameraWidth", m.camera_width);
    report_int("CameraHeight", m.camera_height);
    report_um("PixelWidth", static_cast<double>(m.pixel_width) * 1e6);
    report_um("PixelHeight", static_cast<double>(m.pixel_height) * 1e6);
    report_um("CameraRes", static_cast<double>(m.camera_res) * 1e6);
    report_int("WindowX", valid.x);
    report_int("WindowY", valid.y);
    report_int("WindowWidth", valid.width);
    report_int("WindowHeight", valid.height);
    report_number("IntfScaleFactor", m.scale_factor);
    report_nm("WavelengthIn", static_cast<double>(m.wavelength) * 1e9);
    report_number("ObliquityFactor", m.obliquity);
    report_word("PhaseRes", phase_res_word(m.phase_res));
    report_fringe("VornRes", counts_per_fringe(m.phase_res));
    report_blank();
}

// Writes what an input-by-input run writes for this input, in its order,
// and yields the code that ends the run there (0: go on).
int32_t emit_member(rss_state_t &s, const member_t &m) {
    if (g_settings.verbose) {
        std::snprintf(s.text, sizeof s.text, "InFile[%04d]", static_cast<int>(m.number));
        report_blank();
        report_quoted(s.text, m.name);
    }
    if (m.read_code != 0) {
        std::fprintf(stderr, "%s\nERROR: Error reading input file \"%s\"\n", PROGRAM_NAME, m.name);
        return m.read_code;
    }
    if (m.check_code != 0) {
        std::fprintf(stderr, "%s\nERROR: Invalid attribute information in input file \"%s\"\n",
                     PROGRAM_NAME, m.name);
        std::fprintf(stderr, "%s\n", m.check_text);
        return m.check_code;
    }
    if (!m.has_phase) {
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" contains no height data\n", PROGRAM_NAME,
                     m.name);
        return ALREADY_REPORTED;
    }
    if (m.top < 0) {
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" contains no valid data points\n",
                     PROGRAM_NAME, m.name);
        return ALREADY_REPORTED;
    }
    const window_t valid = {
        static_cast<int16_t>(m.window.x + m.left), static_cast<int16_t>(m.window.y + m.top),
        static_cast<int16_t>(m.right - m.left + 1), static_cast<int16_t>(m.bottom - m.top + 1)};
    s.latest_time = std::max<int64_t>(s.latest_time, m.time_stamp);
    if (g_settings.verbose) {
        report_input(m, valid);
    }
    if (m.frame == FRAME_OTHER_SIZE) {
        std::fprintf(stderr,
                     "%s\nERROR: Input file \"%s\" has mismatched CameraWidth or CameraHeight\n",
                     PROGRAM_NAME, m.name);
        return ALREADY_REPORTED;
    }
    if (m.frame == FRAME_OTHER_RES) {
        std::fprintf(stderr, "%s\nERROR: Input file \"%s\" has mismatched CameraRes\n",
                     PROGRAM_NAME, m.name);
        return ALREADY_REPORTED;
    }
    if (!m.placed) {
        return ERR_IMPROPER_WINDOW;
    }
    return m.overflow ? ERR_FP_OVERFLOW : 0;
}

void close_batch(rss_state_t &s) {
    batch_t &b = s.batch;
    for (int32_t i = 0; i < b.count; ++i) {
        close_stream(s, &b.members[i].stream);
        close_stream(s, &b.members[i].second);
    }
}

// Reads and folds every input batch by batch, writing each batch's lines
// once it is folded in full.
int32_t fold_inputs(rss_state_t &s) {
    batch_t &b = s.batch;
    while (s.next_input < g_inputs.count) {
        if (const int32_t code = form_batch(s); code != 0) {
            return code;
        }
        const bool helped = (b.folded > 0 && b.two_workers) ||
                            (s.empty_later && !s.emptied.load(std::memory_order_acquire));
        if (helped) {
            s.helper_idle.store(false);
            helper_post(&s.helper, helper_task, &s);
        }
        if (b.folded > 0) {
            take_bands(s, MAIN);
        }
        // The helper may wait for slots that only taking bands frees.
        while (helped && b.final && !s.helper_idle.load()) {
            accept_bands(s);
            wait_progress(s, [&] {
                const int32_t next = s.accepted.load();
                return s.helper_idle.load() ||
                       (next < s.bands &&
                        std::atomic_ref<unsigned char>(s.ready[next]).load() != 0);
            });
        }
        scan_last_member(s);
        helper_wait(&s.helper);
        if (b.final) {
            accept_bands(s);
        }
        merge_work(b);
        close_batch(s);
        if (const int32_t code = settle_output(s); code != 0) {
            return code;
        }
        for (int32_t i = 0; i < b.count; ++i) {
            if (const int32_t code = emit_member(s, b.members[i]); code != 0) {
                return code;
            }
            ++s.emitted;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Writing the result.

enum ahead_result { AHEAD_DONE, AHEAD_NOT_WRITTEN, AHEAD_FAILED };

// Completes the file written ahead: the rows still missing, then the
// header. The file is closed in any case.
ahead_result complete_written_ahead(rss_state_t &s, const window_t &valid) {
    output_t &o = s.out;
    if (!o.active) {
        return AHEAD_NOT_WRITTEN;
    }
    unsigned char header[DF_LONG_HEADER];
    std::size_t length = 0;
    bool ok = !o.failed && write_rows(s, o.next_row, valid.y + valid.height) &&
              df_phase_header(nullptr, &s.out_hdr, &valid, header, &length) == 0 &&
              length == o.header && std::fseek(o.file, 0, SEEK_SET) == 0 &&
              std::fwrite(header, 1, length, o.file) == length;
    ok = std::fflush(o.file) == 0 && ok;
    ok = std::fclose(o.file) == 0 && ok;
    o.file = nullptr;
    return ok ? AHEAD_DONE : AHEAD_FAILED;
}

// Trims the result to its valid data and writes it under the output record:
// completes the file written ahead, or else writes it whole with the
// library's writer.
int32_t write_result(rss_state_t &s) {
    if (s.emitted == 0) {
        // No input, no frame: converting the empty sum fails as a
        // step-by-step run's conversion does.
        return ERR_WINDOWS_MISMATCHED;
    }
    if (s.result_top < 0) {
        std::fprintf(stderr, "%s\nERROR: RSS result map contains no valid data points\n",
                     PROGRAM_NAME);
        return ALREADY_REPORTED;
    }
    const window_t valid = {static_cast<int16_t>(s.result_left), static_cast<int16_t>(s.result_top),
                            static_cast<int16_t>(s.result_right - s.result_left + 1),
                            static_cast<int16_t>(s.result_bottom - s.result_top + 1)};
    if (g_settings.verbose) {
        report_int("RSS WindowX", valid.x);
        report_int("RSS WindowY", valid.y);
        report_int("RSS WindowWidth", valid.width);
        report_int("RSS WindowHeight", valid.height);
    }
    fill_output_record(s);
    std::snprintf(s.text, sizeof s.text, "RSS result map computed from %d input data files",
                  static_cast<int>(g_inputs.count));
    const std::size_t length = std::min(std::strlen(s.text), COMMENT_MAX);
    std::memcpy(s.out_hdr.comment, s.text, length);
    s.out_hdr.comment[length] = '\0';

    s.out.settled = true;
    const ahead_result ahead = complete_written_ahead(s, valid);
    if (ahead == AHEAD_FAILED && s.single_pass) {
        // Rows written ahead are not kept: the result cannot be written
        // whole any more, as the writer fails on a file that cannot be written.
        return ERR_CANT_WRITE_FILE;
    }
    if (ahead != AHEAD_DONE) {
        // The counts lie one camera row after another; rows move towards the
        // front only, so each lands on counts already moved.
        unsigned char *packed = s.single_pass ? reinterpret_cast<unsigned char *>(s.result.matrix)
                                              : reinterpret_cast<unsigned char *>(s.sum.matrix);
        const std::size_t row_bytes = 4 * static_cast<std::size_t>(valid.width);
        for (int32_t r = 0; r < valid.height; ++r) {
            std::memmove(packed + r * row_bytes, counts_row(s, valid.y + r) + 4 * valid.x,
                         row_bytes);
        }
        const int_map_t result = {static_cast<uint32_t>(valid.width) * valid.height, valid,
                                  reinterpret_cast<int32_t *>(packed)};
        if (const int32_t code =
                df_write(g_settings.out_name, nullptr, &s.out_hdr, nullptr, &result);
            code != 0) {
            return code;
        }
    }
    if (g_settings.verbose) {
        report_blank();
        std::printf("Wrote \"%s\"\n", g_settings.out_name);
        report_blank();
    }
    return 0;
}

// Stops the helper, closes every file, releases all memory, and names a code
// that has no message yet. A failing run leaves the output file empty, as it
// was made at the start, unless the writer itself failed.
bool finish(rss_state_t &s, int32_t code) {
    helper_wait(&s.helper);
    helper_stop(&s.helper);
    close_batch(s);
    if (code != 0 && code != ALREADY_REPORTED && settle_output(s) != 0) {
        code = ALREADY_REPORTED; // the output could not be made: that is the run's failure
    }
    if (s.out.file != nullptr) {
        std::fclose(s.out.file);
        s.out.file = nullptr;
    }
    if (code != 0 && s.out.opened && !s.out.settled) {
        if (std::FILE *emptied = u_fopen_path(g_settings.out_name, "w"); emptied != nullptr) {
            std::fclose(emptied);
        }
    }
    dbl_map_free(&s.sum);
    dbl_map_free(&s.band[0]);
    dbl_map_free(&s.band[1]);
    int_map_free(&s.result);
    u_free_fn(s.ready);
    u_free_fn(s.slots);
    u_free_fn(s.buffer[MAIN]);
    u_free_fn(s.buffer[HELPER]);
    if (code == 0) {
        return true;
    }
    if (code != ALREADY_REPORTED) {
        std::fprintf(stderr, "%s\nERROR: %s\n", PROGRAM_NAME, u_error_name(code));
    }
    return false;
}

} // namespace

bool rss_run() {
    rss_state_t s{}; // every map empty, both records zeroed
    s.span_right = INT32_MAX;
    s.result_top = -1;
    s.result_bottom = -1;
    s.result_left = INT32_MAX;
    s.result_right = -1;
    s.single_pass = g_inputs.count <= std::clamp(g_rss_tuning.batch_max, 1, RSS_BATCH_MAX);

    if (g_settings.phase_res != -1) {
        s.out_phase_res = g_settings.phase_res;
        s.out_counts = counts_per_fringe(s.out_phase_res);
    }
    if (g_rss_tuning.helper_thread) {
        helper_start(&s.helper);
    }
    s.empty_later = may_empty_later(s);
    int32_t code = s.empty_later ? 0 : settle_output(s);
    if (code == 0) {
        for (unsigned char *&buffer : s.buffer) {
            buffer = static_cast<unsigned char *>(u_malloc_fn(PIECE_BYTES));
            code = buffer == nullptr ? ERR_NO_MEM : code;
        }
    }
    if (code == 0) {
        code = fold_inputs(s);
    }
    if (code == 0) {
        code = write_result(s);
    }
    return finish(s, code);
}
