// Files written whole or not at all: a temporary file beside the target takes
// the bytes and replaces the target only once it is whole.
#include "datafile/datafile.h"
#include "support/platform_internal.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace {

constexpr int NAME_TRIES = 64;

// A fresh suffix for temporary names, seeded from the clocks and the
// record's address. A name that is taken is skipped, so the suffix needs to
// be unlikely, not unique; several threads may ask at once.
uint32_t name_salt(const void *record) {
    static std::atomic<uint64_t> counter{0};
    const auto a = std::chrono::system_clock::now().time_since_epoch().count();
    const auto b = std::chrono::steady_clock::now().time_since_epoch().count();
    uint64_t x = static_cast<uint64_t>(a) * 0x9E3779B97F4A7C15u ^ static_cast<uint64_t>(b) ^
                 reinterpret_cast<uintptr_t>(record) ^
                 counter.fetch_add(0x632BE59BD9B4E019u, std::memory_order_relaxed);
    x ^= x >> 33; // splitmix64's finaliser
    x *= 0xFF51AFD7ED558CCDu;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53u;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

} // namespace

bool df_is_data_file(const char *path) {
    if (u_path_has_wide_mark(path) || !u_is_regular_file(path)) {
        return false;
    }
    std::FILE *file = u_fopen_path(path, "rb");
    if (file == nullptr) {
        return false;
    }
    unsigned char head[4];
    const bool whole = std::fread(head, 1, sizeof head, file) == sizeof head;
    std::fclose(file);
    const uint32_t magic = static_cast<uint32_t>(head[0]) << 24 |
                           static_cast<uint32_t>(head[1]) << 16 |
                           static_cast<uint32_t>(head[2]) << 8 | head[3];
    return whole && (magic == DF_MAGIC_1 || magic == DF_MAGIC_2 || magic == DF_MAGIC_3);
}

int32_t df_out_open(df_out_t *out, const char *target, int32_t kind) {
    *out = df_out_t{nullptr, nullptr, target, 0};
    if (target == nullptr || u_path_has_wide_mark(target)) {
        return ERR_CANT_CREATE_FILE;
    }
    if (kind != DF_OUT_DATA && df_is_data_file(target)) {
        return ERR_FILE_READ_ONLY;
    }
    const std::size_t length = std::strlen(target);
    // "<target>.<8 hex digits>.tmp": beside the target, so that the rename
    // stays within one folder.
    char *temp = static_cast<char *>(u_malloc_fn(length + 16));
    if (temp == nullptr) {
        return ERR_NO_MEM;
    }
    for (int i = 0; i < NAME_TRIES; ++i) {
        std::snprintf(temp, length + 16, "%s.%08x.tmp", target,
                      static_cast<unsigned>(name_salt(out)));
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

void df_out_write(df_out_t *out, const void *bytes, std::size_t count) {
    if (out->error == 0 && count > 0 && std::fwrite(bytes, 1, count, out->stream) != count) {
        out->error = ERR_CANT_WRITE_FILE;
    }
}

int32_t df_out_commit(df_out_t *out) {
    int32_t code = out->error;
    if (out->stream == nullptr) {
        return code != 0 ? code : ERR_CANT_WRITE_FILE;
    }
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

void df_out_abandon(df_out_t *out) {
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

int32_t df_out_write_file(const char *target, int32_t kind, const void *bytes, std::size_t count) {
    df_out_t out;
    int32_t code = df_out_open(&out, target, kind);
    if (code == 0) {
        df_out_write(&out, bytes, count);
        code = df_out_commit(&out);
    }
    return code;
}
