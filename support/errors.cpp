// Error code names.
#include "support/support.h"

#include <array>
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

} // namespace

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
