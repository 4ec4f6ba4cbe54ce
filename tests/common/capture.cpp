#include "common/capture.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdint>
#include <unistd.h>

// Present when the program is built with a sanitizer: where its reports go.
// While standard error is captured they must still reach the real one.
extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace {
int g_report_fd = -1;
}
#endif

void console_capture_begin() {
#ifndef _WIN32
    if (__sanitizer_set_report_fd != nullptr) {
        g_report_fd = dup(2);
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(g_report_fd)));
    }
#endif
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
}

console_text_t console_capture_end() {
    console_text_t text;
    text.err = ::testing::internal::GetCapturedStderr();
    text.out = ::testing::internal::GetCapturedStdout();
#ifndef _WIN32
    if (g_report_fd >= 0) {
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(2)));
        close(g_report_fd);
        g_report_fd = -1;
    }
#endif
    return text;
}
