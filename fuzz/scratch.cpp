#include "fuzz/scratch.h"

#include "common/process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

// Folders made so far, removed at exit.
std::vector<std::filesystem::path> &made_dirs() {
    static auto *dirs = new std::vector<std::filesystem::path>;
    return *dirs;
}

void remove_made_dirs() {
    for (const std::filesystem::path &dir : made_dirs()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "scratch: %s\n", what.c_str());
    std::abort();
}

// Opens `path` for writing from its start. An existing file is written over
// in place rather than emptied first: emptying costs ten times as much as
// writing a small file, and the targets write several per input.
std::FILE *open_in_place(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) {
        f = std::fopen(path.c_str(), "wb");
    }
    if (f == nullptr) {
        fail("cannot write " + path);
    }
    return f;
}

// Closes a file opened by open_in_place and cuts it where the writing ended.
void close_in_place(const std::string &path, std::FILE *f) {
    const long length = std::ftell(f);
    if (length < 0 || std::fclose(f) != 0) {
        fail("cannot write " + path);
    }
    std::error_code error;
    if (std::filesystem::file_size(path, error) > static_cast<std::uintmax_t>(length)) {
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(length), error);
    }
    if (error) {
        fail("cannot write " + path);
    }
}

} // namespace

std::string scratch_make_dir() {
    if (made_dirs().empty()) {
        std::atexit(remove_made_dirs);
    }
    std::filesystem::path dir = make_temp_dir();
    made_dirs().push_back(dir);
    return dir.string();
}

void scratch_write(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::FILE *f = open_in_place(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        fail("cannot write " + path);
    }
    close_in_place(path, f);
}

int32_t scratch_df_bytes(const df_info_t *info, const df_hdr_t *hdr, const intens_map_t *intens,
                         const int_map_t *phase, std::vector<uint8_t> *bytes) {
    // The writer appends to its stream, so one file serves every call: each
    // call appends and reads back what it appended. The file is emptied only
    // when it has grown large.
    static const std::string path = scratch_make_dir() + "/written.dat";
    constexpr long EMPTIED_BEYOND = long{1} << 20;
    std::FILE *f = std::fopen(path.c_str(), "a+b");
    if (f != nullptr && std::fseek(f, 0, SEEK_END) == 0 && std::ftell(f) > EMPTIED_BEYOND) {
        std::fclose(f);
        f = std::fopen(path.c_str(), "w+b");
    }
    if (f == nullptr || std::fseek(f, 0, SEEK_END) != 0) {
        fail("cannot write " + path);
    }
    const long start = std::ftell(f);
    const int32_t rc = df_write_stream(f, info, hdr, intens, phase);
    const long end = std::fflush(f) == 0 ? std::ftell(f) : -1;
    if (start < 0 || end < start || std::fseek(f, start, SEEK_SET) != 0) {
        fail("cannot write " + path);
    }
    bytes->resize(static_cast<std::size_t>(end - start));
    if (std::fread(bytes->data(), 1, bytes->size(), f) != bytes->size()) {
        fail("cannot read back " + path);
    }
    std::fclose(f);
    return rc;
}
