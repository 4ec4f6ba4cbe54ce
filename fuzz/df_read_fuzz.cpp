// Fuzz target: arbitrary bytes as a data file. The first byte chooses which
// pieces are asked for; the rest is the file. A successful read is written
// back and read again, and the second read must equal the first; writing that
// again must give the same bytes. Every block taken must come back.
#include "common/fault_alloc.h"
#include "datafile/datafile.h"
#include "fuzz/scratch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum : uint8_t {
    WANT_INFO = 1,
    WANT_HDR = 2,
    WANT_INTENS = 4,
    WANT_PHASE = 8,
    PREFILLED_MAPS = 16, // maps arrive holding a matrix, as a reused map would
};

// Blocks beyond this are refused, so a header cannot make the target ask the
// system for gigabytes; the reader then takes its out-of-memory path.
constexpr std::size_t MAX_BLOCK = std::size_t{1} << 20;

// Bytes filled at the head of each new block (AddressSanitizer's own fill).
constexpr std::size_t FILL_BYTES = 4096;

struct pieces_t {
    df_info_t info;
    df_hdr_t hdr;
    intens_map_t intens;
    int_map_t phase;
};

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "df_read_fuzz: %s\n", what);
    std::abort();
}

int32_t read_pieces(std::FILE *f, uint8_t want, pieces_t *p) {
    return df_read_stream(
        f, (want & WANT_INFO) ? &p->info : nullptr, (want & WANT_HDR) ? &p->hdr : nullptr,
        (want & WANT_INTENS) ? &p->intens : nullptr, (want & WANT_PHASE) ? &p->phase : nullptr);
}

// The file the target reads from.
std::string g_file;

// The bytes written for the pieces that were read.
int32_t write_pieces(uint8_t want, const pieces_t &p, std::vector<uint8_t> *bytes) {
    return scratch_df_bytes((want & WANT_INFO) ? &p.info : nullptr,
                            (want & WANT_HDR) ? &p.hdr : nullptr,
                            (want & WANT_INTENS) ? &p.intens : nullptr,
                            (want & WANT_PHASE) ? &p.phase : nullptr, bytes);
}

bool same_intens(const intens_map_t &a, const intens_map_t &b) {
    if (a.size != b.size || std::memcmp(&a.window, &b.window, sizeof a.window) != 0 ||
        a.n_buckets != b.n_buckets || a.range != b.range) {
        return false;
    }
    return a.size == 0 || std::memcmp(a.matrix, b.matrix, a.size * sizeof *a.matrix) == 0;
}

bool same_phase(const int_map_t &a, const int_map_t &b) {
    if (a.size != b.size || std::memcmp(&a.window, &b.window, sizeof a.window) != 0) {
        return false;
    }
    return a.size == 0 || std::memcmp(a.matrix, b.matrix, a.size * sizeof *a.matrix) == 0;
}

void release(pieces_t *p) {
    intens_map_free(&p->intens);
    int_map_free(&p->phase);
}

// Gives the maps that will be passed a matrix already, as a reused map has.
void prefill(uint8_t want, pieces_t *p) {
    if (want & WANT_INTENS) {
        p->intens.window = {0, 0, 3, 2};
        p->intens.n_buckets = 2;
        if (intens_map_alloc(&p->intens) != 0) {
            fail("prefill");
        }
    }
    if (want & WANT_PHASE) {
        p->phase.window = {0, 0, 2, 2};
        if (int_map_alloc(&p->phase) != 0) {
            fail("prefill");
        }
    }
}

// Reads `bytes` into a set of pieces.
int32_t read_bytes(const std::vector<uint8_t> &bytes, uint8_t want, pieces_t *p) {
    scratch_write(g_file, bytes);
    std::FILE *f = std::fopen(g_file.c_str(), "rb");
    if (f == nullptr) {
        fail("cannot open the file just written");
    }
    const int32_t rc = read_pieces(f, want, p);
    std::fclose(f);
    return rc;
}

// Every block the input took must have come back.
void finish() {
    const fault_alloc_stats_t stats = fault_alloc_stats();
    fault_alloc_uninstall();
    if (stats.live != 0 || stats.foreign_frees != 0) {
        fail("blocks not returned, or freed without being handed out");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (g_file.empty()) {
        g_file = scratch_make_dir() + "/file.dat";
    }
    fault_alloc_install({.max_block = MAX_BLOCK, .fill = FILL_BYTES});
    const uint8_t want = data[0];
    const std::vector<uint8_t> file(data + 1, data + size);

    pieces_t first{};
    if (want & PREFILLED_MAPS) {
        prefill(want, &first);
    }
    if (read_bytes(file, want, &first) != 0) {
        // A failed read leaves no map holding data.
        if (first.intens.matrix != nullptr || first.phase.matrix != nullptr) {
            fail("failed read left a map with data");
        }
        finish();
        return 0;
    }

    std::vector<uint8_t> written;
    const int32_t wrc = write_pieces(want, first, &written);
    if (first.intens.matrix == nullptr && first.phase.matrix == nullptr) {
        if (wrc != ERR_INVALID_PARAM || !written.empty()) {
            fail("write without data did not fail cleanly");
        }
        release(&first);
        finish();
        return 0;
    }
    if (wrc != 0) {
        fail("writing a successful read failed");
    }

    pieces_t second{};
    if (read_bytes(written, want, &second) != 0) {
        fail("reading back what was written failed");
    }
    if ((want & WANT_INFO) && std::memcmp(&first.info, &second.info, sizeof first.info) != 0) {
        fail("second read differs from the first: info");
    }
    if ((want & WANT_HDR) && std::memcmp(&first.hdr, &second.hdr, sizeof first.hdr) != 0) {
        fail("second read differs from the first: record");
    }
    if (!same_intens(first.intens, second.intens)) {
        fail("second read differs from the first: intensity map");
    }
    if (!same_phase(first.phase, second.phase)) {
        fail("second read differs from the first: phase map");
    }

    std::vector<uint8_t> again;
    if (write_pieces(want, second, &again) != 0 || again != written) {
        fail("writing the second read gave different bytes");
    }
    release(&first);
    release(&second);
    finish();
    return 0;
}
