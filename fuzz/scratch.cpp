#include "fuzz/scratch.h"

#include "common/process.h"
#include "common/run_check.h"

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
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
        std::fclose(f) != 0) {
        fail("cannot write " + path);
    }
}

int32_t scratch_df_bytes(const std::string &path, const df_info_t *info, const df_hdr_t *hdr,
                         const intens_map_t *intens, const int_map_t *phase,
                         std::vector<uint8_t> *bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        fail("cannot write " + path);
    }
    const int32_t rc = df_write_stream(f, info, hdr, intens, phase);
    if (std::fclose(f) != 0) {
        fail("cannot write " + path);
    }
    *bytes = read_file_bytes(path);
    return rc;
}
