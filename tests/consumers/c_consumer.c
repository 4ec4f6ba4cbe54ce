/* A C11 program outside the project that uses the library through its public
   headers alone, linked either to the shared library or to the static
   archives:
     c_consumer DIR A.dat B.dat C.dat
   reads A.dat, checks it and writes it back to DIR/copy.dat byte for byte;
   runs the RSS of the three files into DIR/rss.dat, with its report in
   DIR/report.txt; and holds a refused run to its code, name and message.
   Comparing DIR/rss.dat and the report with the kelvorin tool's is left to
   the caller, which runs the tool. */
#include <kelvorin/datafile.h>
#include <kelvorin/maps.h>
#include <kelvorin/rss.h>
#include <kelvorin/support.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

static void check(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c_consumer: %s\n", what);
        ++failures;
    }
}

/* The whole file in a block from the library's hooks, or null. */
static unsigned char *file_bytes(const char *path, long *size) {
    FILE *f = fopen(path, "rb");
    unsigned char *bytes = NULL;
    *size = -1;
    if (f != NULL && fseek(f, 0, SEEK_END) == 0 && (*size = ftell(f)) >= 0 &&
        fseek(f, 0, SEEK_SET) == 0 && (bytes = u_malloc_fn((size_t)*size + 1)) != NULL &&
        fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
        u_free_fn(bytes);
        bytes = NULL;
    }
    if (f != NULL) {
        fclose(f);
    }
    return bytes;
}

static bool same_files(const char *a, const char *b) {
    long na, nb;
    unsigned char *x = file_bytes(a, &na), *y = file_bytes(b, &nb);
    const bool same = x != NULL && y != NULL && na == nb && memcmp(x, y, (size_t)na) == 0;
    u_free_fn(x);
    u_free_fn(y);
    return same;
}

/* What a run writes: the report joined, the last message kept. */
typedef struct text_t {
    FILE *report;
    char message[1024];
    int messages;
} text_t;

static void on_report(void *context, const char *text) {
    fputs(text, ((text_t *)context)->report);
}

static void on_message(void *context, const char *text) {
    text_t *t = context;
    snprintf(t->message, sizeof t->message, "%s", text);
    ++t->messages;
}

static void round_trip(const char *in, const char *dir) {
    char copy[4096];
    snprintf(copy, sizeof copy, "%s/copy.dat", dir);
    df_info_t info;
    df_hdr_t hdr;
    intens_map_t intens;
    int_map_t phase;
    memset(&intens, 0, sizeof intens);
    int_map_init(&phase);
    int32_t code = df_read(in, &info, &hdr, &intens, &phase);
    check(code == 0, "df_read failed");
    char reason[DF_CHECK_MSG_SIZE];
    if (code == 0) {
        code = df_check_attr(&hdr, NULL, &phase, true, reason);
        check(code == 0, "df_check_attr refused an example");
        check(df_metres_per_count(&hdr) > 0.0, "no height per count");
    }
    if (code == 0) {
        code = df_write(copy, &info, &hdr, intens.matrix != NULL ? &intens : NULL, &phase);
        check(code == 0, "df_write failed");
        check(same_files(in, copy), "the copy differs from the file read");
    }
    int_map_free(&phase);
    intens_map_free(&intens);
}

static void rss_runs(const char *dir, const char *const *inputs) {
    char out[4096], report_path[4096];
    snprintf(out, sizeof out, "%s/rss.dat", dir);
    snprintf(report_path, sizeof report_path, "%s/report.txt", dir);
    text_t text = {fopen(report_path, "wb"), "", 0};
    check(text.report != NULL, "cannot write the report");
    if (text.report == NULL) {
        return;
    }
    const rss_sink_t sink = {&text, on_report, on_message};
    rss_request_t request;
    memset(&request, 0, sizeof request);
    request.out_name = out;
    request.phase_res = -1;
    request.verbose = true;
    request.names = inputs;
    request.count = 3;
    check(rss_check_request(&request, &sink) == 0, "rss_check_request refused the examples");
    check(rss_compute(&request, &sink) == 0, "rss_compute failed on the examples");
    check(text.messages == 0, "a successful run wrote a message");
    fclose(text.report);

    /* An output that is one of the inputs: refused, nothing touched. */
    char expected[1024];
    text.report = NULL;
    request.out_name = inputs[0];
    request.verbose = false;
    const rss_sink_t quiet = {&text, NULL, on_message};
    const int32_t code = rss_compute(&request, &quiet);
    snprintf(expected, sizeof expected, rss_error_format(RSS_ERR_OUTPUT_IS_INPUT), inputs[0]);
    check(code == RSS_ERR_OUTPUT_IS_INPUT, "an output that is an input was not refused");
    check(rss_error_name(code) != NULL && strcmp(rss_error_name(code), "RSS_ERR_OUTPUT_IS_INPUT") == 0,
          "rss_error_name");
    check(text.messages == 1 && strcmp(text.message, expected) == 0, "the refusal's message");
    check(strcmp(u_error_name(ERR_NO_MEM), "ERR_NO_MEM") == 0 && u_error_meaning(ERR_NO_MEM) != NULL,
          "u_error_name or u_error_meaning");

    /* A request with anything in its reserve is refused. */
    request.out_name = out;
    request.reserved[0] = &text;
    check(rss_compute(&request, NULL) == ERR_INVALID_PARAM, "a reserve not zero was accepted");
}

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: c_consumer DIR A.dat B.dat C.dat\n");
        return 2;
    }
    const char *const inputs[3] = {argv[2], argv[3], argv[4]};
    round_trip(argv[2], argv[1]);
    rss_runs(argv[1], inputs);
    if (failures == 0) {
        printf("c_consumer: round trip, checks and RSS of 3 files through the C interface\n");
    }
    return failures == 0 ? 0 : 1;
}
