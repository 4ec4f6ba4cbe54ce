// Output files written completely or not at all: a temporary file beside the
// target takes the data and replaces the target only once it is whole.
#include "info/info.h"
#include "support/platform_internal.h"

#include <chrono>
#include <cstring>

namespace {

constexpr int NAME_TRIES = 64;

// A fresh suffix for temporary names, seeded from the clocks. A name that
// is taken is skipped, so the suffix needs to be unlikely, not unique.
uint32_t name_salt() {
    static uint32_t state = 0;
    if (state == 0) {
        const auto a = std::chrono::system_clock::now().time_since_epoch().count();
        const auto b = std::chrono::steady_clock::now().time_since_epoch().count();
        const auto mixed =
            static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15u ^ static_cast<uint64_t>(b);
        state = static_cast<uint32_t>(mixed ^ mixed >> 32) | 1u;
    }
    state ^= state << 13; // xorshift32
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

} // namespace

int32_t out_file_open(out_file_t *out, const char *target) {
    *out = out_file_t{nullptr, nullptr, target, 0};
    const std::size_t length = std::strlen(target);
    // "<target>.<8 hex digits>.tmp": beside the target, so that the rename
    // stays within one folder.
    char *temp = static_cast<char *>(u_malloc_fn(length + 16));
    if (temp == nullptr) {
        return ERR_NO_MEM;
    }
    for (int i = 0; i < NAME_TRIES; ++i) {
        std::snprintf(temp, length + 16, "%s.%08x.tmp", target, static_cast<unsigned>(name_salt()));
        u_file_id_t id;
        if (u_file_identity(temp, &id)) {
            continue; // taken: never overwrite a file we did not make
        }
        out->stream = u_fopen_path(temp, "wb");
        if (out->stream == nullptr) {
            break;
        }
        out->temp_path = temp;
        return 0;
    }
    u_free_fn(temp);
    return ERR_CANT_CREATE_FILE;
}

void out_file_write(out_file_t *out, const void *bytes, std::size_t count) {
    if (out->error == 0 && count > 0 && std::fwrite(bytes, 1, count, out->stream) != count) {
        out->error = ERR_CANT_WRITE_FILE;
    }
}

int32_t out_file_commit(out_file_t *out) {
    int32_t code = out->error;
    if (code == 0 && (std::fflush(out->stream) != 0 || std::ferror(out->stream) != 0)) {
        code = ERR_CANT_WRITE_FILE;
    }
    const bool closed = std::fclose(out->stream) == 0;
    out->stream = nullptr;
    if (code == 0 && !closed) {
        code = ERR_CANT_WRITE_FILE;
    }
    if (code == 0 && !u_replace_file(out->temp_path, out->target)) {
        code = ERR_CANT_CREATE_FILE;
    }
    if (code != 0) {
        std::remove(out->temp_path);
    }
    u_free_fn(out->temp_path);
    out->temp_path = nullptr;
    out->error = code;
    return code;
}

void out_file_abandon(out_file_t *out) {
    if (out->stream != nullptr) {
        std::fclose(out->stream);
        out->stream = nullptr;
    }
    if (out->temp_path != nullptr) {
        std::remove(out->temp_path);
        u_free_fn(out->temp_path);
        out->temp_path = nullptr;
    }
}

int32_t info_write_bytes(const char *path, const void *bytes, std::size_t count) {
    out_file_t out;
    int32_t code = out_file_open(&out, path);
    if (code == 0) {
        out_file_write(&out, bytes, count);
        code = out_file_commit(&out);
    }
    return code;
}
