// The platform layer: paths behind a byte-order mark, the regular-file test,
// file identity and calendar time. The same expectations hold on every
// platform; each test runs in a fresh temporary folder.
#include "common/fault_alloc.h"
#include "common/process.h"
#include "support/platform_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A path in the library's wide form: a mark, then 16-bit units in machine
// order, then a 16-bit NUL.
std::string wide_path(const std::u16string &path, char16_t mark = 0xFEFF) {
    std::string bytes(reinterpret_cast<const char *>(&mark), 2);
    bytes.append(reinterpret_cast<const char *>(path.data()), 2 * path.size());
    bytes.append(2, '\0');
    return bytes;
}

class Platform : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string narrow(const std::string &name) const { return (dir_ / name).string(); }

    std::u16string wide(const std::u16string &name) const {
        return (dir_ / std::filesystem::path(name)).u16string();
    }

    void write(const std::string &name, const std::string &content) const {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }

    std::filesystem::path dir_;
};

TEST_F(Platform, WidePathOpensTheFileOfThatName) {
    // A folder and a file whose names are not plain ASCII.
    const std::u16string folder = u"d\u00e9j\u00e0";
    const std::u16string file = u"f\u4e2d\u00df.dat";
    std::filesystem::create_directory(dir_ / std::filesystem::path(folder));
    const std::u16string full = wide(folder + u"/" + file);

    std::FILE *f = u_fopen_path(wide_path(full).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("written", f);
    std::fclose(f);
    EXPECT_TRUE(std::filesystem::exists(dir_ / std::filesystem::path(folder) /
                                        std::filesystem::path(file)));

    // The mark in the other byte order names the same path.
    f = u_fopen_path(wide_path(full, 0xFFFE).c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, f), 7u);
    std::fclose(f);
    EXPECT_STREQ(text, "written");

    EXPECT_EQ(u_fopen_path(wide_path(wide(u"missing.dat")).c_str(), "rb"), nullptr);
    EXPECT_EQ(u_fopen_path(nullptr, "rb"), nullptr);
}

TEST_F(Platform, OnlyExistingRegularFilesPassTheFileTest) {
    write("file.dat", "x");
    std::filesystem::create_directory(dir_ / "folder.dat");
    EXPECT_TRUE(u_is_regular_file(narrow("file.dat").c_str()));
    EXPECT_TRUE(u_is_regular_file(wide_path(wide(u"file.dat")).c_str()));
    EXPECT_FALSE(u_is_regular_file(narrow("folder.dat").c_str()));
    EXPECT_FALSE(u_is_regular_file(wide_path(wide(u"folder.dat")).c_str()));
    EXPECT_FALSE(u_is_regular_file(narrow("missing.dat").c_str()));
    EXPECT_FALSE(u_is_regular_file(wide_path(wide(u"missing.dat")).c_str()));
    EXPECT_FALSE(u_is_regular_file(""));
    EXPECT_FALSE(u_is_regular_file(wide_path(u"").c_str()));
    EXPECT_FALSE(u_is_regular_file(nullptr));
}

TEST_F(Platform, IdentityTellsWhetherTwoPathsNameOneFile) {
    write("a.dat", "a");
    write("b.dat", "b");
    u_file_id_t a{}, a_again{}, a_wide{}, b{};
    ASSERT_TRUE(u_file_identity(narrow("a.dat").c_str(), &a));
    // Another spelling of the same path.
    ASSERT_TRUE(u_file_identity((dir_ / "." / "a.dat").string().c_str(), &a_again));
    ASSERT_TRUE(u_file_identity(wide_path(wide(u"a.dat")).c_str(), &a_wide));
    ASSERT_TRUE(u_file_identity(narrow("b.dat").c_str(), &b));
    EXPECT_TRUE(u_same_file_id(&a, &a_again));
    EXPECT_TRUE(u_same_file_id(&a, &a_wide));
    EXPECT_FALSE(u_same_file_id(&a, &b));

    // A file replaced by another of the same name is another file.
    std::filesystem::rename(dir_ / "b.dat", dir_ / "c.dat");
    write("b.dat", "new b");
    u_file_id_t new_b{};
    ASSERT_TRUE(u_file_identity(narrow("b.dat").c_str(), &new_b));
    EXPECT_FALSE(u_same_file_id(&b, &new_b));

    u_file_id_t untouched{1, 2, 3};
    EXPECT_FALSE(u_file_identity(narrow("missing.dat").c_str(), &untouched));
    EXPECT_FALSE(u_file_identity("", &untouched));
    EXPECT_EQ(untouched.volume, 1u);
    EXPECT_EQ(untouched.index_low, 3u);
}

TEST_F(Platform, WidePathsFailCleanlyWithoutMemory) {
    write("a.dat", "a");
    const std::string path = wide_path(wide(u"a.dat"));
    {
        fault_alloc_scope refuse_first(1);
        EXPECT_EQ(u_fopen_path(path.c_str(), "rb"), nullptr);
    }
    {
        fault_alloc_scope refuse_first(1);
        EXPECT_FALSE(u_is_regular_file(path.c_str()));
    }
    {
        fault_alloc_scope refuse_first(1);
        u_file_id_t id{};
        EXPECT_FALSE(u_file_identity(path.c_str(), &id));
        EXPECT_EQ(fault_alloc_stats().allocations, 1);
    }
    // With memory, the same path works and gives its block back.
    fault_alloc_scope enough;
    std::FILE *f = u_fopen_path(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(u_is_regular_file(path.c_str()));
    EXPECT_EQ(fault_alloc_stats().live, 0);
}

// The tests run with TZ=UTC.
TEST(LargePages, BlocksOfEverySizeWorkWithTheRuntimesFreeAndRealloc) {
    for (const std::size_t bytes :
         {std::size_t{1}, std::size_t{4} << 20, (std::size_t{9} << 20) + 3}) {
        auto *block = static_cast<unsigned char *>(u_malloc_large_pages(bytes));
        ASSERT_NE(block, nullptr);
        std::memset(block, 0xa5, bytes);
        block = static_cast<unsigned char *>(std::realloc(block, bytes + 100));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[bytes - 1], 0xa5);
        std::free(block);
    }
}

TEST(CalendarTime, FixedCtimeFormInUtc) {
    const struct {
        int64_t seconds;
        const char *text;
    } cases[] = {{0, "Thu Jan  1 00:00:00 1970\n"},
                 {59, "Thu Jan  1 00:00:59 1970\n"},
                 {951782400, "Tue Feb 29 00:00:00 2000\n"},
                 {1750000000, "Sun Jun 15 15:06:40 2025\n"},
                 {INT32_MAX, "Tue Jan 19 03:14:07 2038\n"},
                 {-1, "(unknown)\n"},
                 {INT32_MIN, "(unknown)\n"}};
    for (const auto &c : cases) {
        char buf[U_CTIME_BUF];
        std::memset(buf, 'x', sizeof buf);
        u_ctime_text(c.seconds, buf);
        EXPECT_STREQ(buf, c.text) << c.seconds;
    }
}

} // namespace
