// Files written whole or not at all: what each ending leaves behind, and the
// data files that an export never replaces.
#include "common/df_builder.h"
#include "common/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::string text_of(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(OutFile, EachEndingLeavesTheTargetWholeOrAsItWas) {
    const fs::path dir = make_temp_dir();
    const std::string data = (dir / "a.dat").string(), text = (dir / "notes.txt").string();
    ASSERT_EQ(write_test_file(data, test_header(4, 4), nullptr, true), 0);
    const std::vector<uint8_t> measured = file_bytes(data);
    std::ofstream(text) << "old";
    const struct {
        std::string target;
        int32_t kind;
        int ending; // 0 commit, 1 abandon, 2 a failed write, then commit
        int32_t code;
        const char *after; // the target's text afterwards, or null: the data file as it was
    } cases[] = {
        {text, DF_OUT_EXPORT, 0, 0, "new"},
        {text, DF_OUT_EXPORT, 1, 0, "old"},
        {text, DF_OUT_EXPORT, 2, ERR_CANT_WRITE_FILE, "old"},
        {data, DF_OUT_EXPORT, 0, ERR_FILE_READ_ONLY, nullptr}, // refused at the open
        {data, DF_OUT_DATA, 1, 0, nullptr},
        {data, DF_OUT_DATA, 0, 0, "new"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target + " kind " + std::to_string(c.kind) + " ending " +
                     std::to_string(c.ending));
        if (c.after == nullptr) {
            ASSERT_EQ(file_bytes(c.target), measured);
        }
        df_out_t out;
        int32_t code = df_out_open(&out, c.target.c_str(), c.kind);
        if (code == 0) {
            df_out_write(&out, "new", 3);
            if (c.ending == 2) {
                out.error = ERR_CANT_WRITE_FILE;
            }
            if (c.ending == 1) {
                df_out_abandon(&out);
            } else {
                code = df_out_commit(&out);
            }
        }
        EXPECT_EQ(code, c.code);
        if (c.after != nullptr) {
            EXPECT_EQ(text_of(c.target), c.after);
        } else {
            EXPECT_EQ(file_bytes(c.target), measured);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 2);
        std::ofstream(text) << "old";
    }
    fs::remove_all(dir);
}

} // namespace
