/* Data files: the binary measurement file (a big-endian header of 834 or 4096
   bytes, an optional intensity block and an optional phase block), its
   reader and writer, the plausibility checks on its attributes, and files
   written whole or not at all. A C header: it compiles as C11 and as C++,
   with C linkage. */
#ifndef KELVORIN_DATAFILE_H
#define KELVORIN_DATAFILE_H

#include "maps/maps.h"
#include "support/support.h"

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Magic numbers (first four bytes, big-endian) and their header formats.
#define DF_MAGIC_1 ((uint32_t)0x881B036Fu) // format 1, 834-byte header
#define DF_MAGIC_2 ((uint32_t)0x881B0370u) // format 2, 834 bytes, PhaseRes >= 2
#define DF_MAGIC_3 ((uint32_t)0x881B0371u) // format 3, 4096-byte header
#define DF_SHORT_HEADER ((size_t)834)
#define DF_LONG_HEADER ((size_t)4096)
#define DF_IMAGE_SIZE ((size_t)4116) // header in machine order with alignment gaps

// The 38 header bytes at file offsets 10 to 47, carried but not interpreted.
typedef struct df_info_t {
    uint16_t f10;    // file offset 10
    uint8_t f12[30]; // file offsets 12..41
    uint16_t f42[3]; // file offsets 42..47
} df_info_t;
U_STATIC_ASSERT(sizeof(df_info_t) == 38, "df_info_t holds the 38 carried header bytes");

// The attribute record: every header field from file offset 76 to 4095 in
// file order and machine byte order, each 32-bit item 4-byte aligned. It is
// bytes 80 to 4115 of the header image. Unnamed fields carry their file
// offset in their name. After reading an 834-byte header, everything from
// file offset 834 on is zero.
typedef struct df_hdr_t {
    int32_t TimeStamp;     // file offset 76; time stamp, seconds since 1970-01-01 00:00 UTC
    char comment[82];      // file offset 80; NUL-terminated text of up to 81 characters
    uint16_t f162;         // file offset 162
    float IntfScaleFactor; // file offset 164; interferometric scale factor
    float WavelengthIn;    // file offset 168; wavelength in metres
    uint32_t f172;         // file offset 172
    float ObliquityFactor; // file offset 176; obliquity factor
    uint32_t f180;         // file offset 180
    float CameraRes;       // file offset 184; lateral resolution, metres per camera pixel
    uint16_t f188[5];      // file offset 188
    uint8_t gap_198[2];    // alignment gap of the header image
    uint32_t f198;         // file offset 198
    uint16_t f202;         // file offset 202
    uint8_t gap_204[2];    // alignment gap of the header image
    uint32_t f204;         // file offset 204
    uint8_t f208[2];       // file offset 208
    uint8_t gap_210[2];    // alignment gap of the header image
    uint32_t f210[2];      // file offset 210
    int16_t PhaseRes;      // file offset 218; phase resolution: 0 Normal, 1 High, 2 Super
    uint8_t gap_220[2];    // alignment gap of the header image
    uint32_t f220;         // file offset 220
    uint16_t f224;         // file offset 224
    uint8_t gap_226[2];    // alignment gap of the header image
    uint32_t f226;         // file offset 226
    uint16_t f230[2];      // file offset 230
    int16_t CameraWidth;   // file offset 234; camera frame width in pixels
    int16_t CameraHeight;  // file offset 236; camera frame height in pixels
    uint16_t f238[4];      // file offset 238
    uint8_t f246[52];      // file offset 246
    uint16_t f298[3];      // file offset 298
    uint8_t f304[56];      // file offset 304
    uint8_t gap_360[2];    // alignment gap of the header image
    uint32_t f360;         // file offset 360
    uint16_t f364[2];      // file offset 364
    uint32_t f368;         // file offset 368
    uint16_t f372[2];      // file offset 372
    uint32_t f376[2];      // file offset 376
    uint16_t f384;         // file offset 384
    uint8_t gap_386[2];    // alignment gap of the header image
    uint32_t f386[3];      // file offset 386
    uint8_t f398[8];       // file offset 398
    uint16_t f406;         // file offset 406
    uint8_t f408[20];      // file offset 408
    uint16_t f428;         // file offset 428
    uint32_t f430[14];     // file offset 430
    float PixelWidth;      // file offset 486; pixel width in metres
    float PixelHeight;     // file offset 490; pixel height in metres
    uint32_t f494[2];      // file offset 494
    uint8_t f502[232];     // file offset 502
    uint16_t f734;         // file offset 734
    uint8_t f736[80];      // file offset 736
    uint16_t f816;         // file offset 816
    uint8_t f818[20];      // file offset 818; bytes 834..837 exist only in the 4096-byte header
    uint16_t f838[2];      // file offset 838; from here on: 4096-byte header only
    uint32_t f842[7];      // file offset 842
    uint8_t f870[28];      // file offset 870
    uint16_t
        format_marker; // file offset 898; 3 after reading a 4096-byte header; kept in machine order
    uint16_t f900[2];  // file offset 900
    uint8_t f904[30];  // file offset 904
    uint32_t f934;     // file offset 934
    uint8_t f938[60];  // file offset 938
    uint32_t f998[10]; // file offset 998
    uint8_t f1038[88]; // file offset 1038
    uint32_t f1126[23];  // file offset 1126
    uint8_t f1218[32];   // file offset 1218
    uint32_t f1250[3];   // file offset 1250
    uint8_t f1262[2];    // file offset 1262
    uint16_t f1264;      // file offset 1264
    uint32_t f1266[14];  // file offset 1266
    uint8_t f1322[2];    // file offset 1322
    uint16_t f1324;      // file offset 1324
    uint32_t f1326[14];  // file offset 1326
    uint8_t f1382[2];    // file offset 1382
    uint16_t f1384;      // file offset 1384
    uint32_t f1386[14];  // file offset 1386
    uint8_t f1442[4];    // file offset 1442
    uint32_t f1446[2];   // file offset 1446
    uint8_t f1454[2642]; // file offset 1454
    uint8_t tail_pad[2]; // end of the header image, always zero
} df_hdr_t;
U_STATIC_ASSERT(sizeof(df_hdr_t) == 4036, "df_hdr_t is bytes 80 to 4115 of the header image");
U_STATIC_ASSERT(offsetof(df_hdr_t, TimeStamp) == 0, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, comment) == 4, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, IntfScaleFactor) == 88, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, WavelengthIn) == 92, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, ObliquityFactor) == 100, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, CameraRes) == 108, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, PhaseRes) == 148, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, CameraWidth) == 168, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, CameraHeight) == 170, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, PixelWidth) == 424, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, PixelHeight) == 428, "df_hdr_t layout");
U_STATIC_ASSERT(offsetof(df_hdr_t, format_marker) == 836, "df_hdr_t layout");

// ---------------------------------------------------------------------------
// Reading and writing. Each piece is optional: null means not wanted when
// reading and not present when writing. Paths follow the byte-order-mark rule
// of u_fopen_path.

// Reads a whole data file. ERR_CANT_OPEN_FILE when it cannot be opened (given
// maps are then released as on any failed read), else the result of
// df_read_stream.
U_NODISCARD KELVORIN_API int32_t df_read(const char *path, df_info_t *info, df_hdr_t *hdr,
                                         intens_map_t *intens, int_map_t *phase);

// Creates or truncates the file and writes the data file into it, in the
// format df_write_format(hdr) names. ERR_CANT_CREATE_FILE when it cannot be
// created; ERR_CANT_WRITE_FILE when writing, flushing or closing fails. The
// file is closed and kept in any case.
U_NODISCARD KELVORIN_API int32_t df_write(const char *path, const df_info_t *info,
                                          const df_hdr_t *hdr, const intens_map_t *intens,
                                          const int_map_t *phase);

// Reads a data file from a seekable binary stream positioned at its start.
// Given maps must be valid records (initialised or holding a matrix): any
// matrix they hold is released before they are filled, and on any failure
// they are left released. info and hdr keep what was copied into them before
// a failure. An intensity block shorter than its map leaves the rest of the
// map zero; one longer than its map is ERR_CORRUPT_DATA_FILE.
// Codes: ERR_PREMATURE_EOF, ERR_NOT_A_DATA_FILE, ERR_DATASET_DIM_TOO_LARGE,
// ERR_PARAM_OUT_OF_RANGE, ERR_NO_MEM, ERR_CORRUPT_DATA_FILE.
U_NODISCARD KELVORIN_API int32_t df_read_stream(FILE *stream, df_info_t *info, df_hdr_t *hdr,
                                                intens_map_t *intens, int_map_t *phase);

// Appends a data file to a seekable binary stream. A map without a matrix
// counts as absent; with neither map ERR_INVALID_PARAM and nothing written.
// Maps with a negative dimension, or whose block would not fit a signed 32-bit
// byte count, give ERR_DATASET_DIM_TOO_LARGE, and a window needing more
// elements than the map's size ERR_INVALID_PARAM, before anything is written.
// The caller's maps are never modified. Codes: ERR_INVALID_PARAM,
// ERR_DATASET_DIM_TOO_LARGE, ERR_CANT_WRITE_FILE, ERR_NO_MEM.
U_NODISCARD KELVORIN_API int32_t df_write_stream(FILE *stream, const df_info_t *info,
                                                 const df_hdr_t *hdr, const intens_map_t *intens,
                                                 const int_map_t *phase);

// ---------------------------------------------------------------------------
// Header formats and phase resolutions.

// The format of a file as its magic number gives it: header_format 1, 2 or 3
// and the header's length, 834 or 4096 bytes.
typedef struct df_format_t {
    uint32_t magic;
    int32_t header_format;
    int32_t header_bytes;
} df_format_t;

// df_read and df_read_stream that also give the file's format. *format is
// filled once the magic number is known to be one of the three (so also for
// a read that fails later, say on a block cut short) and is all zero before.
U_NODISCARD KELVORIN_API int32_t df_read_with_format(const char *path, df_format_t *format,
                                                     df_info_t *info, df_hdr_t *hdr,
                                                     intens_map_t *intens, int_map_t *phase);
U_NODISCARD KELVORIN_API int32_t df_read_stream_with_format(FILE *stream, df_format_t *format,
                                                            df_info_t *info, df_hdr_t *hdr,
                                                            intens_map_t *intens, int_map_t *phase);

// The format df_write gives a record: 3 (4096-byte header) when any byte of
// the record from the place of file offset 838 on is non-zero, which is the
// case for every record read from a format-3 file (its format_marker is 3);
// otherwise 2 when PhaseRes is 2 or more, else 1 (834-byte header). Bytes of
// the record at file offsets 834 to 837 are written only in format 3. Without
// a record (null): 1.
KELVORIN_API int32_t df_write_format(const df_hdr_t *hdr);

// Phase counts per fringe of a phase resolution code: 0 Normal 4096, 1 High
// 32768, any other value Super 131072.
KELVORIN_API int32_t df_counts_per_fringe(int32_t phase_res);

// The name of a phase resolution code under the same rule: "Normal", "High"
// or "Super".
KELVORIN_API const char *df_phase_res_name(int32_t phase_res);

// The height in metres of one phase count of a record: IntfScaleFactor x
// ObliquityFactor x WavelengthIn / counts per fringe of its PhaseRes, each
// float widened to double, multiplied in that order. NaN when a factor is.
KELVORIN_API double df_metres_per_count(const df_hdr_t *hdr);

// ---------------------------------------------------------------------------
// Attribute checks. The message buffer, when given, holds at least
// DF_CHECK_MSG_SIZE bytes and receives a one-line English message on failure.

enum { DF_CHECK_MSG_SIZE = 57 };

// Checks `count` records (those whose selection byte is exactly 1, or all when
// selection is null), in index order, stopping at the first failure. Map i
// belongs to record i and takes part only when its array is given and it holds
// data. In non-strict mode a non-positive camera size sets both camera
// dimensions of that record to 0 instead of failing. Yields 0 when nothing
// fails (also when nothing is checked).
U_NODISCARD KELVORIN_API int32_t df_check_attr_list(df_hdr_t *hdrs, const intens_map_t *intens,
                                                    const int_map_t *phase, bool strict,
                                                    int32_t count, const uint8_t *selection,
                                                    char *msg);

// df_check_attr_list for one record without a selection.
U_NODISCARD KELVORIN_API int32_t df_check_attr(df_hdr_t *hdr, const intens_map_t *intens,
                                               const int_map_t *phase, bool strict, char *msg);

// ---------------------------------------------------------------------------
// Streaming the phase block, for readers and writers that take it in pieces
// instead of holding it whole. Together the two reading calls give the codes
// that df_read_stream(stream, info, hdr, nullptr, phase) gives for the same
// file, in the same order, except ERR_NO_MEM (no map is allocated).

// The phase block as its descriptor announces it.
typedef struct df_phase_block_t {
    window_t window; // phase window; zero when the block is absent
    bool present;    // phase_bytes > 0
    int64_t offset;  // file offset of the block's first value (when present)
} df_phase_block_t;

// Reads the header from a seekable binary stream positioned at the start of a
// data file and leaves the stream at the start of the phase block (an
// intensity block is skipped). info and hdr are filled as by df_read_stream.
// Codes: ERR_PREMATURE_EOF, ERR_NOT_A_DATA_FILE, ERR_DATASET_DIM_TOO_LARGE,
// and ERR_PARAM_OUT_OF_RANGE for a present block without elements.
U_NODISCARD KELVORIN_API int32_t df_read_phase_head(FILE *stream, df_info_t *info, df_hdr_t *hdr,
                                                    df_phase_block_t *block);

// Reads `count` phase values as stored, starting with value `first` of the
// block at block->offset, without using or moving the stream's position (a
// positioned read): several threads may read one stream this way. The stream
// is one whose header df_read_phase_head has read. ERR_CORRUPT_DATA_FILE when
// fewer values are there or reading fails.
U_NODISCARD KELVORIN_API int32_t df_read_phase_at(FILE *stream, const df_phase_block_t *block,
                                                  int64_t first, void *raw, size_t count);

// The header that df_write_stream writes for `info` and `hdr` (either may be
// null) in front of a phase block over phase_window, without intensity
// block: *length (834 or 4096) bytes into `header`, which holds
// DF_LONG_HEADER. The block that follows is width x height big-endian 32-bit
// values, row after row. ERR_DATASET_DIM_TOO_LARGE for a negative dimension
// or a block whose byte count does not fit a signed 32-bit number.
U_NODISCARD KELVORIN_API int32_t df_phase_header(const df_info_t *info, const df_hdr_t *hdr,
                                                 const window_t *phase_window,
                                                 unsigned char *header, size_t *length);

// ---------------------------------------------------------------------------
// Files written whole or not at all. The bytes go to a new temporary file
// beside the target ("<target>.<8 hex digits>.tmp", never a name that
// exists), which takes the target's name only once everything was written
// and closed; on any failure the temporary file is removed and the target is
// left as it was. Narrow paths only.

// True when the path names a regular file that begins with one of the three
// magic numbers: a data file, or the remains of one.
KELVORIN_API bool df_is_data_file(const char *path);

// What the target may be.
enum df_out_kind {
    DF_OUT_DATA = 0,  // a data file written on purpose: it may replace any file
    DF_OUT_EXPORT = 1 // anything else: it never replaces a data file
};

typedef struct df_out_t {
    FILE *stream;       // the temporary file, open for writing ("wb"), or null
    char *temp_path;    // its name (from u_malloc_fn), or null
    const char *target; // the name the file takes at the end
    int32_t error;      // first failure, 0 while all is well
} df_out_t;

// Makes the temporary file for `target`. ERR_FILE_READ_ONLY for an export
// whose target is a data file (df_is_data_file), with nothing made;
// ERR_CANT_CREATE_FILE when no temporary file can be made beside the target;
// ERR_NO_MEM. On failure *out holds nothing to release.
U_NODISCARD KELVORIN_API int32_t df_out_open(df_out_t *out, const char *target, int32_t kind);

// Appends bytes; a failure is kept in out->error (ERR_CANT_WRITE_FILE) and
// later writes do nothing. Writing to out->stream directly is allowed too.
KELVORIN_API void df_out_write(df_out_t *out, const void *bytes, size_t count);

// Flushes and closes the temporary file and gives it the target's name. On
// any failure, also an earlier one in out->error or the stream's error flag,
// the temporary file is removed and the target left as it was. Yields 0,
// the earlier failure, ERR_CANT_WRITE_FILE, or ERR_CANT_CREATE_FILE when the
// target cannot take the name. The record holds nothing afterwards.
U_NODISCARD KELVORIN_API int32_t df_out_commit(df_out_t *out);

// Closes and removes the temporary file; the target stays as it was.
KELVORIN_API void df_out_abandon(df_out_t *out);

// A whole file from bytes in memory: df_out_open, df_out_write, df_out_commit.
U_NODISCARD KELVORIN_API int32_t df_out_write_file(const char *target, int32_t kind,
                                                   const void *bytes, size_t count);

#ifdef __cplusplus
}
#endif

#endif /* KELVORIN_DATAFILE_H */
