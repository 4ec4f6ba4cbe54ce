// The inputs of the RSS run, taken in batches whose files are open together:
// each input's header is read and checked when it joins a batch, and what is
// then read of it (band by band to be folded, whole, or nothing) follows
// from that.
#pragma once

#include "datafile/datafile.h"
#include "rss/rss_fold.h"
#include "rss/rss_plan.h"
#include "rss/rss_tuning.h"
#include "rss/rss_units.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What is read of an input in its batch. Whatever is read is searched for
// the input's valid data, which its report lines show.
enum member_role : uint8_t {
    ROLE_FOLD,       // read band by band and folded into the sum
    ROLE_READ_WHOLE, // read whole, not folded: it fails, and its data decides how
    ROLE_UNREAD,     // fails before its data matters
};

// An input against the first input's camera frame.
enum frame_match : uint8_t {
    FRAME_SAME,
    FRAME_OTHER_SIZE, // CameraWidth or CameraHeight differs
    FRAME_OTHER_RES,  // CameraRes differs
};

// Valid data found in an input, in rows and columns of its window; top < 0
// while none is found.
struct valid_extent_t {
    int32_t top;
    int32_t bottom;
    int32_t left;
    int32_t right;
};

// What one worker found in one input's data so far.
struct member_work_t {
    int32_t read_code; // ERR_CORRUPT_DATA_FILE once a piece could not be read
    bool overflow;     // scaling, squaring or adding overflowed
    valid_extent_t valid;
};

// One input of a batch: what its header said, what its data showed, and the
// attributes its report lines need.
struct member_t {
    int32_t number; // from 1
    const char *name;
    std::FILE *stream; // open until the batch ends; both workers read it at offsets
    member_role role;
    int32_t read_code;       // what reading the whole file gives
    int32_t check_code;      // attribute check
    df_phase_block_t block;  // the phase block, when present
    frame_match frame;       // against the first input (later inputs)
    bool placed;             // the phase window lies in the camera frame
    fold_params_t fold;      // how it is folded (ROLE_FOLD): its unit factor times its coefficient
    bool kept;               // single pass with a budget: its rows of a band are kept for it,
    std::size_t kept_at;     // at this offset of each worker's store (rss_worker_t::kept)
    bool overflow;           // merged from the workers
    valid_extent_t valid;    // merged from the workers
    rss_input_units_t units; // IntfScaleFactor, ObliquityFactor, WavelengthIn, PhaseRes
    int32_t time_stamp;
    int16_t camera_width;
    int16_t camera_height;
    float pixel_width;
    float pixel_height;
    float camera_res;
    char check_text[DF_CHECK_MSG_SIZE];
};

// Members are written by the run's thread while the batch is opened and only
// read while it is folded; work[w] belongs to worker w while folding.
struct rss_batch_t {
    member_t members[RSS_BATCH_MAX];
    member_work_t work[RSS_WORKERS][RSS_BATCH_MAX]; // [worker][member]
    int32_t count;
    int32_t folded; // members with ROLE_FOLD
};

// The input name table and the batches opened from it: the run's thread only.
struct rss_inputs_t {
    const char *const *names;
    int32_t count;
    const double *weights; // coefficient per input, or null (all 1)
    int32_t batch_max;     // inputs open at once
    int32_t next;          // index of the next input to open
    int32_t open_files;    // streams of the batch open now
};

// Opens the next batch of inputs: reads and checks each header, and fixes
// the frame with the first input (frame->out_phase_res must be set when the
// run's setting gives it, and -1 otherwise). A batch ends after the last
// input, after batch_max inputs, after an input that is not folded (nothing
// after it matters: it fails), or before an input that could not be opened
// while others were (perhaps too many open files): that one is tried again
// first in the next batch. The first ahead_count members may have been
// opened ahead (inputs_open_ahead); those the batch does not take are closed.
void inputs_open_batch(rss_inputs_t *in, rss_batch_t *b, rss_frame_t *frame, member_t *ahead,
                       int32_t ahead_count);

// How many members of the next batch may be opened while this one is
// folded: none when this batch ends the run or the next begins with a retry.
int32_t inputs_ahead_count(const rss_inputs_t &in, const rss_batch_t &b);

// Opens member `index` of the next batch into ahead[index], touching nothing
// else: either worker may do it while the batch before is folded, as long
// as the frame is fixed.
void inputs_open_ahead(const rss_inputs_t &in, const rss_frame_t &frame, member_t *ahead,
                       int32_t index);

// Closes members opened ahead and not taken.
void inputs_close_ahead(member_t *ahead, int32_t count);

// Extends what a worker found of a member's valid data by `rows` rows of
// big-endian counts, the first of which is window row first_row.
void member_find_valid(member_work_t *w, const unsigned char *counts, int32_t width,
                       int32_t first_row, int32_t rows);

// Reads the batch's last member whole when that is its role (and no earlier
// member has failed), into the work of the run's thread; `piece` holds
// RSS_PIECE_BYTES.
void inputs_read_last_whole(rss_batch_t *b, int32_t failed, unsigned char *piece);

// Merges what both workers found into the members.
void inputs_merge_work(rss_batch_t *b);

// Closes every stream of the batch.
void inputs_close_batch(rss_inputs_t *in, rss_batch_t *b);
