// Text trimming and byte-order reversal.
#include "support/support_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

} // namespace

int32_t u_trim(char *text) {
    const std::size_t length = std::strlen(text);
    std::size_t first = 0;
    while (first < length && is_blank(text[first])) {
        ++first;
    }
    std::size_t end = length; // one past the last kept character
    while (end > first && is_blank(text[end - 1])) {
        --end;
    }
    const std::size_t kept = end - first;
    std::memmove(text, text + first, kept);
    text[kept] = '\0';
    return static_cast<int32_t>(length - kept);
}

void u_swap_bytes(void *item, int32_t n) {
    auto *p = static_cast<unsigned char *>(item);
    switch (n) {
    case 2:
    case 4:
    case 8:
        for (int32_t i = 0, j = n - 1; i < j; ++i, --j) {
            const unsigned char t = p[i];
            p[i] = p[j];
            p[j] = t;
        }
        return;
    default:
        u_log_fn("u_swap_bytes: n=%d\n", n);
        std::exit(1);
    }
}
