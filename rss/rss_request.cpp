// The request of a run: its checks, and the names and messages of the run's
// own codes.
#include "rss/rss_request.h"

#include "rss/rss_report.h"
#include "support/platform_internal.h"

#include <cmath>
#include <iterator>

namespace {

// The run's own codes are RSS_ERR_OUTPUT_IS_INPUT and the six after it.
#define RSS_ERROR_NAME(name, number, format) #name,
#define RSS_ERROR_FORMAT(name, number, format) format,
constexpr const char *NAMES[] = {RSS_ERROR_LIST(RSS_ERROR_NAME)};
constexpr const char *FORMATS[] = {RSS_ERROR_LIST(RSS_ERROR_FORMAT)};
static_assert(std::size(NAMES) == RSS_ERR_NO_VALID_RESULT - RSS_ERR_OUTPUT_IS_INPUT + 1);

} // namespace

const char *rss_error_name(int32_t code) {
    return report_is_own_code(code) ? NAMES[code - RSS_ERR_OUTPUT_IS_INPUT] : u_error_text(code);
}

const char *rss_error_format(int32_t code) {
    return report_is_own_code(code) ? FORMATS[code - RSS_ERR_OUTPUT_IS_INPUT]
                                    : u_error_meaning(code);
}

bool rss_request_is_valid(const rss_request_t *q) {
    if (q == nullptr || (q->out_name == nullptr && q->budget == nullptr) || q->names == nullptr ||
        q->count < 1 || q->count > RSS_MAX_INPUTS || q->phase_res < -1 || q->phase_res > 2 ||
        (q->budget != nullptr && q->budget->rows == nullptr)) {
        return false;
    }
    for (const void *place : q->reserved) {
        if (place != nullptr) {
            return false;
        }
    }
    for (int32_t i = 0; i < q->count; ++i) {
        const double c = q->weights != nullptr ? q->weights[i] : 1.0;
        if (q->names[i] == nullptr || !std::isfinite(c) || c < 0.0) {
            return false;
        }
    }
    return true;
}

bool rss_output_is_input(const char *out_name, const char *const *names, int32_t count) {
    u_file_id_t out_id;
    if (!u_file_identity(out_name, &out_id)) {
        return false; // not there yet, so it cannot be an input
    }
    for (int32_t i = 0; i < count; ++i) {
        u_file_id_t in_id;
        if (u_file_identity(names[i], &in_id) && u_same_file_id(&out_id, &in_id)) {
            return true;
        }
    }
    return false;
}

int32_t rss_check_request(const rss_request_t *q, const rss_sink_t *sink) {
    static constexpr rss_sink_t SILENT = {nullptr, nullptr, nullptr};
    sink = sink != nullptr ? sink : &SILENT;
    if (q == nullptr || (q->names == nullptr && q->count > 0)) {
        report_code(sink, ERR_INVALID_PARAM);
        return ERR_INVALID_PARAM;
    }
    if (q->count > RSS_MAX_INPUTS) {
        report_message(sink, "More than %d input filenames", static_cast<int>(RSS_MAX_INPUTS));
        return ERR_INVALID_PARAM;
    }
    if (q->count <= 0) {
        report_message(sink, "No input files specified");
        return ERR_INVALID_PARAM;
    }
    // One status call per input: is it a regular file, and is it the output?
    u_file_id_t out_id;
    const bool out_exists = q->out_name != nullptr && !u_path_has_wide_mark(q->out_name) &&
                            u_file_identity(q->out_name, &out_id);
    bool output_is_input = false;
    for (int32_t i = 0; i < q->count; ++i) {
        const char *name = q->names[i];
        u_file_id_t id;
        if (name == nullptr || u_path_has_wide_mark(name) ||
            !(out_exists ? u_regular_file_identity(name, &id) : u_is_regular_file(name))) {
            report_message(sink, "Cannot access input file \"%s\"", name != nullptr ? name : "");
            return ERR_CANT_OPEN_FILE;
        }
        output_is_input = output_is_input || (out_exists && u_same_file_id(&out_id, &id));
    }
    if (q->out_name == nullptr && q->budget == nullptr) {
        report_message(sink, "No output file specified");
        return ERR_INVALID_PARAM;
    }
    if (q->out_name != nullptr && u_path_has_wide_mark(q->out_name)) {
        report_message(sink, rss_error_format(RSS_ERR_CANNOT_CREATE_OUTPUT), q->out_name);
        return RSS_ERR_CANNOT_CREATE_OUTPUT;
    }
    if (output_is_input) {
        report_message(sink, rss_error_format(RSS_ERR_OUTPUT_IS_INPUT), q->out_name);
        return RSS_ERR_OUTPUT_IS_INPUT;
    }
    return 0;
}
