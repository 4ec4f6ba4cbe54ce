// The platform layer: every difference between Windows and POSIX systems
// lives here (paths behind a byte-order mark, file status and identity,
// replacing a file, large pages, calendar time, the start-up's wildcard
// expansion).
#include "support/platform_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

// True when the path starts with a UTF-16 byte-order mark in either order.
bool has_wide_mark(const char *path) {
    if (path == nullptr || path[0] == '\0' || path[1] == '\0') {
        return false;
    }
    uint16_t unit;
    std::memcpy(&unit, path, sizeof unit);
    return unit == 0xFEFF || unit == 0xFFFE;
}

// Number of 16-bit units of the wide path after the mark, without the NUL.
std::size_t wide_length(const char *path) {
    std::size_t n = 0;
    for (const char *p = path + 2;; p += 2, ++n) {
        uint16_t unit;
        std::memcpy(&unit, p, sizeof unit);
        if (unit == 0) {
            return n;
        }
    }
}

uint16_t wide_unit(const char *path, std::size_t i) {
    uint16_t unit;
    std::memcpy(&unit, path + 2 + 2 * i, sizeof unit);
    return unit;
}

// Calendar text in the fixed ctime form from broken-down time.
void format_tm(const std::tm &tm, char *buf) {
    static constexpr const char *days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) {
        std::snprintf(buf, U_CTIME_BUF, "(unknown)\n");
        return;
    }
    std::snprintf(buf, U_CTIME_BUF, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[tm.tm_wday],
                  months[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  1900 + tm.tm_year);
}

#ifdef _WIN32

// A wide path behind a mark, copied into an aligned NUL-terminated buffer
// from the allocation hook; null when memory runs out.
wchar_t *wide_copy(const char *path) {
    const std::size_t n = wide_length(path);
    auto *w = static_cast<wchar_t *>(u_malloc_fn((n + 1) * sizeof(wchar_t)));
    if (w != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            w[i] = static_cast<wchar_t>(wide_unit(path, i));
        }
        w[n] = L'\0';
    }
    return w;
}

HANDLE open_for_identity(const char *path) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (has_wide_mark(path)) {
        wchar_t *w = wide_copy(path);
        if (w == nullptr) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h =
            CreateFileW(w, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        u_free_fn(w);
        return h;
    }
    return CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

#else

// A wide path behind a mark converted to UTF-8 in a block from the allocation
// hook; null when memory runs out. Lone surrogates are encoded as themselves.
char *utf8_copy(const char *path) {
    const std::size_t n = wide_length(path);
    auto *out = static_cast<char *>(u_malloc_fn(3 * n + 1));
    if (out == nullptr) {
        return nullptr;
    }
    std::size_t o = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t c = wide_unit(path, i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
            const uint32_t low = wide_unit(path, i + 1);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out[o++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[o++] = static_cast<char>(0xC0 | (c >> 6));
            out[o++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[o++] = static_cast<char>(0xE0 | (c >> 12));
            out[o++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[o++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[o++] = static_cast<char>(0xF0 | (c >> 18));
            out[o++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[o++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[o++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out[o] = '\0';
    return out;
}

// stat() of a path by the mark rule; false when it fails.
bool stat_path(const char *path, struct stat *st) {
    if (has_wide_mark(path)) {
        char *narrow = utf8_copy(path);
        if (narrow == nullptr) {
            return false;
        }
        const bool ok = ::stat(narrow, st) == 0;
        u_free_fn(narrow);
        return ok;
    }
    return ::stat(path, st) == 0;
}

#endif

} // namespace

#ifdef _WIN32

// Asks the MinGW-w64 start-up to expand wildcard patterns in the command
// line before main runs, as the shell does elsewhere: the start-up passes
// this flag to the runtime's argument parser. The start-up object refers to
// the symbol, so the linker takes this definition from the support library
// ahead of the runtime's default (no expansion) in every program.
extern "C" {
int _dowildcard = -1;
}

std::FILE *u_fopen_path(const char *path, const char *mode) {
    if (path == nullptr) {
        return nullptr;
    }
    if (has_wide_mark(path)) {
        wchar_t wmode[8] = {};
        for (std::size_t i = 0; i + 1 < 8 && mode[i] != '\0'; ++i) {
            wmode[i] = static_cast<wchar_t>(mode[i]);
        }
        wchar_t *w = wide_copy(path);
        if (w == nullptr) {
            return nullptr;
        }
        std::FILE *f = _wfopen(w, wmode);
        u_free_fn(w);
        return f;
    }
    return std::fopen(path, mode);
}

bool u_is_regular_file(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    if (has_wide_mark(path)) {
        wchar_t *w = wide_copy(path);
        if (w == nullptr) {
            return false;
        }
        struct _stat64i32 st;
        const bool ok = _wstat64i32(w, &st) == 0;
        u_free_fn(w);
        return ok && (st.st_mode & _S_IFMT) == _S_IFREG;
    }
    struct _stat64i32 st;
    return _stat64i32(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool u_file_identity(const char *path, u_file_id_t *id) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    HANDLE h = open_for_identity(path);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok) {
        return false;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index_high = info.nFileIndexHigh;
    id->index_low = info.nFileIndexLow;
    return true;
}

bool u_regular_file_identity(const char *path, u_file_id_t *id) {
    return u_is_regular_file(path) && u_file_identity(path, id);
}

std::size_t u_read_some_at(std::FILE *stream, void *buffer, std::size_t bytes, int64_t offset) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (file == INVALID_HANDLE_VALUE || offset < 0) {
        return 0;
    }
    auto *at = static_cast<unsigned char *>(buffer);
    while (bytes > 0) {
        // The offset travels in the OVERLAPPED record, so concurrent reads
        // of one handle do not disturb each other.
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
        where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
        const DWORD want = bytes > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes);
        DWORD got = 0;
        if (ReadFile(file, at, want, &got, &where) == 0 || got == 0) {
            break;
        }
        at += got;
        bytes -= got;
        offset += got;
    }
    return static_cast<std::size_t>(at - static_cast<unsigned char *>(buffer));
}

void u_advise_reading(std::FILE *, int64_t) {}

void *u_malloc_large_pages(std::size_t bytes) {
    return std::malloc(bytes);
}

bool u_replace_file(const char *from, const char *to) {
    if (from == nullptr || to == nullptr || has_wide_mark(from) || has_wide_mark(to)) {
        return false;
    }
    // The runtime's rename refuses an existing target.
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void u_ctime_text(int64_t seconds, char *buf) {
    std::tm tm{};
    const __time64_t t = seconds;
    if (seconds < 0 || _localtime64_s(&tm, &t) != 0) {
        std::snprintf(buf, U_CTIME_BUF, "(unknown)\n");
        return;
    }
    format_tm(tm, buf);
}

#else

std::FILE *u_fopen_path(const char *path, const char *mode) {
    if (path == nullptr) {
        return nullptr;
    }
    if (has_wide_mark(path)) {
        char *narrow = utf8_copy(path);
        if (narrow == nullptr) {
            return nullptr;
        }
        std::FILE *f = std::fopen(narrow, mode);
        u_free_fn(narrow);
        return f;
    }
    return std::fopen(path, mode);
}

bool u_is_regular_file(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    struct stat st;
    return stat_path(path, &st) && S_ISREG(st.st_mode);
}

bool u_file_identity(const char *path, u_file_id_t *id) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    struct stat st;
    if (!stat_path(path, &st)) {
        return false;
    }
    id->volume = static_cast<uint64_t>(st.st_dev);
    id->index_high = 0;
    id->index_low = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool u_regular_file_identity(const char *path, u_file_id_t *id) {
    struct stat st;
    if (path == nullptr || path[0] == '\0' || !stat_path(path, &st) || !S_ISREG(st.st_mode)) {
        return false;
    }
    *id = u_file_id_t{static_cast<uint64_t>(st.st_dev), 0, static_cast<uint64_t>(st.st_ino)};
    return true;
}

std::size_t u_read_some_at(std::FILE *stream, void *buffer, std::size_t bytes, int64_t offset) {
    const int fd = fileno(stream);
    if (fd < 0 || offset < 0) {
        return 0;
    }
    auto *at = static_cast<unsigned char *>(buffer);
    while (bytes > 0) {
        const ssize_t got = pread(fd, at, bytes, static_cast<off_t>(offset));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        at += got;
        bytes -= static_cast<std::size_t>(got);
        offset += got;
    }
    return static_cast<std::size_t>(at - static_cast<unsigned char *>(buffer));
}

void u_advise_reading(std::FILE *stream, int64_t bytes) {
    // Read ahead further than by default. (Fetching a small file whole at
    // once read cold files faster, but cost a lookup of every page when they
    // are in the cache already.)
    const int fd = fileno(stream);
    if (fd >= 0 && bytes > 0) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
}

void *u_malloc_large_pages(std::size_t bytes) {
    constexpr std::size_t LARGE = std::size_t{4} << 20;
    constexpr std::size_t PAGE = std::size_t{2} << 20; // a transparent huge page
    if (bytes < LARGE || bytes > SIZE_MAX - PAGE) {
        return std::malloc(bytes);
    }
    const std::size_t rounded = (bytes + PAGE - 1) / PAGE * PAGE;
    void *block = std::aligned_alloc(PAGE, rounded);
    if (block != nullptr) {
        // Only advice: where huge pages are off the block works as usual.
        madvise(block, rounded, MADV_HUGEPAGE);
    }
    return block;
}

bool u_replace_file(const char *from, const char *to) {
    if (from == nullptr || to == nullptr || has_wide_mark(from) || has_wide_mark(to)) {
        return false;
    }
    return std::rename(from, to) == 0;
}

void u_ctime_text(int64_t seconds, char *buf) {
    std::tm tm{};
    const std::time_t t = static_cast<std::time_t>(seconds);
    if (seconds < 0 || localtime_r(&t, &tm) == nullptr) {
        std::snprintf(buf, U_CTIME_BUF, "(unknown)\n");
        return;
    }
    format_tm(tm, buf);
}

#endif

bool u_path_has_wide_mark(const char *path) {
    return has_wide_mark(path);
}

bool u_same_file_id(const u_file_id_t *a, const u_file_id_t *b) {
    return a->volume == b->volume && a->index_high == b->index_high && a->index_low == b->index_low;
}

bool u_read_at(std::FILE *stream, void *buffer, std::size_t bytes, int64_t offset) {
    return u_read_some_at(stream, buffer, bytes, offset) == bytes;
}
