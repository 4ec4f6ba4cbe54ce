/* The RSS run as a library operation: the per-pixel root of the sum of the
   squares of the height maps of several data files, written as a new data
   file. Any number of runs may go on at once in one process, each on its own
   inputs and output. A C header: it compiles as C11 and as C++, with C
   linkage. */
#ifndef KELVORIN_RSS_H
#define KELVORIN_RSS_H

#include "maps/maps.h"
#include "support/support.h"

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The uncertainty budget of a run: which input dominates the result, and
   where. V is the set of pixels valid in the result (valid in every input,
   and storable); x_ip is input i's height at pixel p in the output's units
   before rounding, and c_i its coefficient. Heights are in nm: output counts
   x IntfScaleFactor x WavelengthIn / counts per fringe of the output, in
   metres, x 1e9 (the output's ObliquityFactor is 1). */
typedef struct rss_budget_row_t {
    const char *name; /* the input's name, as the request gives it */
    double weight;    /* its coefficient c_i */
    double rms_nm;    /* sqrt(mean over V of (c_i x_ip)^2) */
    double max_nm;    /* max over V of |c_i x_ip| */
    double share;     /* sum over V of (c_i x_ip)^2 over the sum of all inputs' (0 to 1; 0 when
                         that is 0) */
    double dominant;  /* fraction of V where (c_i x_ip)^2 is the largest, the earlier input
                         winning a tie (0 to 1) */
    int64_t valid;    /* the input's own valid pixels */
} rss_budget_row_t;

typedef struct rss_budget_t {
    rss_budget_row_t *rows; /* one per input, in input order: the caller's storage */
    double rms_nm;          /* of the result over V, before rounding */
    double max_nm;
    int64_t valid; /* pixels in V */
    /* Where each input dominates, or null: an initialised map that the run
       gives the result's window (the smallest that holds V) and, at each of
       its pixels, the index (from 0) of the dominant input, INT_MAP_INVALID
       outside V. Its matrix comes from u_malloc_fn: free it with
       int_map_free. */
    int_map_t *dominance;
} rss_budget_t;

/* What to compute. Zero-initialise the whole record, then set the fields you
   use: the record keeps its size and layout in every version of the library
   with this SONAME, and places of `reserved` that later versions give a
   meaning keep today's behaviour while they are zero. */
typedef struct rss_request_t {
    const char *out_name;     /* output data file, created or emptied by the run; may be null
                                 when a budget is asked for: nothing is written then */
    int32_t phase_res;        /* -1: from the first input; 0 Normal, 1 High, 2 Super */
    bool verbose;             /* write the report lines */
    const char *const *names; /* input data files, in order */
    int32_t count;            /* 1 to RSS_MAX_INPUTS */
    /* Sensitivity coefficients, one per input (finite, >= 0), or null: all
       1. The result is then sqrt(sum of (c_i x_i)^2); for an expanded
       uncertainty multiply every coefficient by the coverage factor k. */
    const double *weights U_DEFAULTS_TO_ZERO;
    rss_budget_t *budget U_DEFAULTS_TO_ZERO; /* filled by a successful run, or null */
    void *reserved[6] U_DEFAULTS_TO_ZERO;    /* zero: anything else here is refused */
} rss_request_t;
U_STATIC_ASSERT(sizeof(void *) != 8 || sizeof(rss_request_t) == 96,
                "rss_request_t keeps its size on 64-bit targets");

/* Where the run's text goes. Null functions (or a null sink) mean silent.
   Both are called on the thread that called rss_compute, and must return
   normally: the run is built without exceptions and cannot unwind. */
typedef struct rss_sink_t {
    void *context;
    /* Report text, piece by piece: the pieces, joined, are the report. */
    void (*report)(void *context, const char *text);
    /* One error message, without a final line end. */
    void (*message)(void *context, const char *text);
} rss_sink_t;

enum { RSS_MAX_INPUTS = 10000 };

/* The failures whose message comes from no library code: name, number and
   the message's printf format (its %s is the file named). The numbers lie
   outside the library's 1..462 (u_error_text gives null for them). */
#define RSS_ERROR_LIST(X)                                                                          \
    X(RSS_ERR_OUTPUT_IS_INPUT, 1001, "Output file \"%s\" is also an input file")                   \
    X(RSS_ERR_CANNOT_CREATE_OUTPUT, 1002, "Cannot create output file \"%s\"")                      \
    X(RSS_ERR_NO_HEIGHT_DATA, 1003, "Input file \"%s\" contains no height data")                   \
    X(RSS_ERR_NO_VALID_INPUT_DATA, 1004, "Input file \"%s\" contains no valid data points")        \
    X(RSS_ERR_CAMERA_SIZE_MISMATCH, 1005,                                                          \
      "Input file \"%s\" has mismatched CameraWidth or CameraHeight")                              \
    X(RSS_ERR_CAMERA_RES_MISMATCH, 1006, "Input file \"%s\" has mismatched CameraRes")             \
    X(RSS_ERR_NO_VALID_RESULT, 1007, "RSS result map contains no valid data points")

enum rss_error_code {
#define RSS_ERROR_ENUM(name, number, format) name = number,
    RSS_ERROR_LIST(RSS_ERROR_ENUM)
#undef RSS_ERROR_ENUM
};

/* The name of any code a run can give: "RSS_ERR_..." for the codes above, the
   library's name (u_error_text) for 0..462, null otherwise. Constant text. */
KELVORIN_API const char *rss_error_name(int32_t code);

/* The message format of a code above (with one %s for the file named, or
   none), or, for any other code, its meaning (u_error_meaning); null when
   there is none. Constant text. */
KELVORIN_API const char *rss_error_format(int32_t code);

/* Computes the RSS of the request's inputs and writes it to the output file.
   Yields 0, or the code of the failure after its messages, each a call of
   `message`:
     - a code above: its message;
     - the reader's code (ERR_CORRUPT_DATA_FILE, ERR_CANT_OPEN_FILE, ...):
       `Error reading input file "<in>"`, then the code's name;
     - the attribute check's code: `Invalid attribute information in input
       file "<in>"`, a line end and the check's own text, then the code's
       name;
     - any other library code (ERR_INVALID_PARAM, ERR_NO_MEM, ERR_FP_OVERFLOW,
       ERR_IMPROPER_WINDOW, the writer's codes): the code's name.
   When the output of a failed run cannot be emptied again, a last message
   says so: `Output file "<out>" could not be emptied again: it may hold part
   of a result`.
   A request with no inputs, more than RSS_MAX_INPUTS, a null name, a phase
   resolution outside -1..2, a coefficient that is not a finite number >= 0,
   a budget without rows, neither an output nor a budget, or anything in
   `reserved` is ERR_INVALID_PARAM, and an output that is one of the inputs
   (under any name) RSS_ERR_OUTPUT_IS_INPUT; no file is touched then. Any other failure leaves
   the output empty, unless writing the result itself failed. The inputs are
   never changed. All memory comes through the memory hooks, except the
   helper thread's own record, which the C++ runtime allocates. */
U_NODISCARD KELVORIN_API int32_t rss_compute(const rss_request_t *request, const rss_sink_t *sink);

/* The checks that the kelvorin command line makes before it runs anything,
   in its order, for callers that take names from a user: at most
   RSS_MAX_INPUTS inputs ("More than 10000 input filenames") and at least one
   ("No input files specified"), both ERR_INVALID_PARAM; every input an
   existing regular file (`Cannot access input file "<in>"`,
   ERR_CANT_OPEN_FILE); an output name ("No output file specified",
   ERR_INVALID_PARAM); an output name that can be created
   (RSS_ERR_CANNOT_CREATE_OUTPUT) and is none of the inputs
   (RSS_ERR_OUTPUT_IS_INPUT). Names are narrow texts here: one that begins
   with the byte-order mark cannot be accessed or created. Yields 0, or the
   code after exactly one message through the sink. Touches no file. */
U_NODISCARD KELVORIN_API int32_t rss_check_request(const rss_request_t *request,
                                                   const rss_sink_t *sink);

#ifdef __cplusplus
}
#endif

#endif /* KELVORIN_RSS_H */
