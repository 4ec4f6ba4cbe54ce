// Error codes and their names.
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace {

TEST(ErrorNames, CodesKeepTheirNumbersAndNames) {
    struct case_t {
        int32_t code;
        int32_t number;
        const char *name;
    };
    const case_t cases[] = {{ERR_AC_CANT_AGC, 1, "ERR_AC_CANT_AGC"},
                            {ERR_ALL_BAD_DATA, 27, "ERR_ALL_BAD_DATA"},
                            {ERR_CANT_CREATE_FILE, 116, "ERR_CANT_CREATE_FILE"},
                            {ERR_CANT_OPEN_FILE, 120, "ERR_CANT_OPEN_FILE"},
                            {ERR_CANT_WRITE_FILE, 125, "ERR_CANT_WRITE_FILE"},
                            {ERR_CHIRP_NO_VAL_CAL_PIXELS, 131, "ERR_CHIRP_NO_VAL_CAL_PIXELS"},
                            {ERR_CORRUPT_DATA_FILE, 134, "ERR_CORRUPT_DATA_FILE"},
                            {ERR_DATASET_DIM_TOO_LARGE, 142, "ERR_DATASET_DIM_TOO_LARGE"},
                            {ERR_FP_OVERFLOW, 170, "ERR_FP_OVERFLOW"},
                            {ERR_IMPROPER_WINDOW, 231, "ERR_IMPROPER_WINDOW"},
                            {ERR_INVALID_PARAM, 242, "ERR_INVALID_PARAM"},
                            {ERR_MISSING_CONFIG_DATA, 317, "ERR_MISSING_CONFIG_DATA"},
                            {ERR_NO_MEM, 320, "ERR_NO_MEM"},
                            {ERR_NOT_A_DATA_FILE, 328, "ERR_NOT_A_DATA_FILE"},
                            {ERR_PARAM_OUT_OF_RANGE, 333, "ERR_PARAM_OUT_OF_RANGE"},
                            {ERR_PREMATURE_EOF, 353, "ERR_PREMATURE_EOF"},
                            {ERR_WINDOWS_DISJOINT, 445, "ERR_WINDOWS_DISJOINT"},
                            {ERR_WINDOWS_MISMATCHED, 446, "ERR_WINDOWS_MISMATCHED"},
                            {ERR_ZOOM_TIMEOUT, 462, "ERR_ZOOM_TIMEOUT"}};
    for (const case_t &c : cases) {
        EXPECT_EQ(c.code, c.number) << c.name;
        EXPECT_STREQ(u_error_name(c.number), c.name);
    }
}

TEST(ErrorNames, AllNamesAreDistinctIdentifiers) {
    std::set<std::string> seen;
    std::size_t longest = 0;
    for (int32_t code = 1; code <= U_ERROR_MAX; ++code) {
        const std::string name = u_error_name(code);
        EXPECT_EQ(name.rfind("ERR_", 0), 0u) << code;
        for (char c : name) {
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(c)) ||
                        std::isdigit(static_cast<unsigned char>(c)) || c == '_')
                << name;
        }
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        longest = std::max(longest, name.size());
    }
    EXPECT_EQ(seen.size(), 462u);
    EXPECT_EQ(longest, 45u);
}

TEST(ErrorNames, TextsOutsideTheNumbering) {
    const struct {
        int32_t code;
        const char *text;
    } cases[] = {{0, "NO_ERROR"},
                 {-1, "invalid error number -1"},
                 {463, "invalid error number 463"},
                 {INT32_MIN, "invalid error number -2147483648"},
                 {INT32_MAX, "invalid error number 2147483647"}};
    for (const auto &c : cases) {
        EXPECT_STREQ(u_error_name(c.code), c.text);
    }
}

TEST(ErrorNames, NextCallOverwritesTheSharedText) {
    const char *first = u_error_name(ERR_ALL_BAD_DATA);
    EXPECT_STREQ(first, "ERR_ALL_BAD_DATA");
    const char *second = u_error_name(-7);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "invalid error number -7");
    u_error_name(ERR_NO_MEM);
    EXPECT_STREQ(first, "ERR_NO_MEM");
}

} // namespace
