// Error code names.
#include "support/support.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace {

// Entry 0 is never shown (code 0 has its own text); entry N is code N.
constexpr std::array<std::string_view, U_ERROR_END> error_names = {
    "",
#define U_ERROR(name) #name,
#include "support/error_list.inc"
#undef U_ERROR
};

char error_text[512];

struct meaning_t {
    int32_t code;
    const char *text;
};

// What the codes of this library's operations mean to a user.
constexpr meaning_t MEANINGS[] = {
    {U_SUCCESS, "success"},
    {ERR_ALL_BAD_DATA, "no pixel of the phase map holds data"},
    {ERR_CANT_CREATE_FILE, "the file cannot be created there"},
    {ERR_CANT_OPEN_FILE, "the file does not exist, is no regular file, or cannot be read"},
    {ERR_CANT_WRITE_FILE, "writing failed (disk full?); the file was not written"},
    {ERR_CORRUPT_DATA_FILE, "a data block is cut short or cannot be read"},
    {ERR_DATASET_DIM_TOO_LARGE, "a map's size in the header is broken or too large"},
    {ERR_FILE_READ_ONLY, "the file is a data file, which an export never replaces"},
    {ERR_FP_OVERFLOW, "a value is too large after rescaling"},
    {ERR_IMPROPER_WINDOW, "the camera frame or a map's window is wrong"},
    {ERR_INVALID_PARAM, "invalid value"},
    {ERR_NO_DATA, "the file holds no phase map"},
    {ERR_NO_MEM, "out of memory"},
    {ERR_NOT_A_DATA_FILE, "not a data file (unknown magic number)"},
    {ERR_PARAM_OUT_OF_RANGE, "a data block without elements, or an attribute out of range"},
    {ERR_PREMATURE_EOF, "the file ends inside its header"},
    {ERR_WINDOWS_DISJOINT, "two maps to be combined share no pixel"},
    {ERR_WINDOWS_MISMATCHED, "two maps that must cover the same window do not"},
};

} // namespace

const char *u_error_meaning(int32_t code) {
    for (const meaning_t &m : MEANINGS) {
        if (m.code == code) {
            return m.text;
        }
    }
    return nullptr;
}

const char *u_error_text(int32_t code) {
    if (code == 0) {
        return "NO_ERROR";
    }
    // The names come from string literals: each ends with its zero.
    return code < 1 || code > U_ERROR_MAX ? nullptr
                                          : error_names[static_cast<std::size_t>(code)].data();
}

const char *u_error_name(int32_t code) {
    if (code == 0) {
        std::snprintf(error_text, sizeof error_text, "NO_ERROR");
    } else if (code < 1 || code > U_ERROR_MAX) {
        std::snprintf(error_text, sizeof error_text, "invalid error number %d", code);
    } else {
        const std::string_view name = error_names[static_cast<std::size_t>(code)];
        std::snprintf(error_text, sizeof error_text, "%.*s", static_cast<int>(name.size()),
                      name.data());
    }
    return error_text;
}
