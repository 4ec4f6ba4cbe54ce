// Damaged inputs: a valid file cut short at every length, and every header
// byte flipped. Each run either succeeds with a correct, well-formed result or
// fails with a message naming the file; the output is then empty.
#include "reliability_fixture.h"

#include <set>

namespace {

class DamagedInput : public ReliabilityTest {
  protected:
    // Header length of a valid file, from its magic number.
    static std::size_t header_length(const std::vector<uint8_t> &bytes) {
        return bytes[3] == 0x71 ? DF_LONG_HEADER : DF_SHORT_HEADER;
    }

    // Lengths to cut a file of `size` bytes to: every length up to 900 and
    // within 24 bytes of each boundary, every 13th elsewhere (thinned out
    // in slow builds), and the whole file.
    static std::vector<std::size_t> cut_lengths(std::size_t size,
                                                const std::vector<std::size_t> &boundaries) {
        std::set<std::size_t> lengths;
        for (std::size_t n = 0; n <= size; n += 13 * SWEEP_STRIDE) {
            lengths.insert(n);
        }
        for (std::size_t n = 0; n <= std::min<std::size_t>(size, 900); n += SWEEP_STRIDE) {
            lengths.insert(n);
        }
        for (const std::size_t b : boundaries) {
            for (std::size_t n = b < 24 ? 0 : b - 24; n <= std::min(size, b + 24); ++n) {
                lengths.insert(n);
            }
        }
        lengths.insert(size);
        return {lengths.begin(), lengths.end()};
    }
};

TEST_F(DamagedInput, TruncatedInputFailsNamingTheFile) {
    make_standard_inputs();
    int64_t runs = 0;
    int64_t succeeded = 0;
    // a.dat: 834-byte header, intensity block (16 x 12), phase block (10 x 8);
    // b.dat: 4096-byte header and phase block (9 x 7).
    for (const char *source : {"a.dat", "b.dat"}) {
        SCOPED_TRACE(source);
        const std::vector<uint8_t> full = read_file_bytes(path(source));
        const std::size_t header = header_length(full);
        const std::size_t phase_start =
            full.size() - 4 * static_cast<std::size_t>(be16(full, 68) * be16(full, 70));
        for (const std::size_t n :
             cut_lengths(full.size(), {4, header, phase_start, full.size()})) {
            SCOPED_TRACE(::testing::Message() << "cut to " << n << " bytes");
            write_bytes("cut.dat", std::vector<uint8_t>(full.begin(), full.begin() + n));
            const std::string code = n < header        ? "ERR_PREMATURE_EOF"
                                     : n < full.size() ? "ERR_CORRUPT_DATA_FILE"
                                                       : "";
            // Alone, and as the second input after a good one.
            for (const auto &inputs : {std::vector<std::string>{"cut.dat"},
                                       std::vector<std::string>{"c.dat", "cut.dat"}}) {
                const run_record_t r = run(inputs);
                ++runs;
                succeeded += r.ok;
                EXPECT_EQ(r.ok, code.empty()) << r.err;
                if (!code.empty()) {
                    EXPECT_EQ(r.err, read_error_text(path("cut.dat"), code));
                }
                EXPECT_EQ(check_run(r), "");
            }
        }
    }
    report_faults("truncated inputs", runs, succeeded);
}

TEST_F(DamagedInput, FlippedHeaderByteFailsCleanlyOrGivesACorrectResult) {
    make_standard_inputs();
    int64_t runs = 0;
    int64_t succeeded = 0;
    for (const char *source : {"a.dat", "b.dat"}) {
        const std::vector<uint8_t> good = read_file_bytes(path(source));
        const std::size_t header = header_length(good);
        // Every byte of the 834-byte part; the long header's uninterpreted
        // extension more sparsely.
        std::vector<std::size_t> offsets;
        for (std::size_t i = 0; i < header; i += i < DF_SHORT_HEADER + 66 ? 1 : 16) {
            if (i % SWEEP_STRIDE == 0) {
                offsets.push_back(i);
            }
        }
        for (const std::size_t i : offsets) {
            for (const uint8_t mask : {uint8_t{0xFF}, uint8_t{0x01}}) {
                SCOPED_TRACE(::testing::Message() << source << " byte " << i << " ^ " << +mask);
                std::vector<uint8_t> bad = good;
                bad[i] ^= mask;
                write_bytes("bad.dat", bad);
                for (const auto &inputs : {std::vector<std::string>{"bad.dat"},
                                           std::vector<std::string>{"c.dat", "bad.dat"}}) {
                    const run_record_t r = run(inputs, i % 3 == 0 ? 2 : -1, i % 5 == 0);
                    ++runs;
                    succeeded += r.ok;
                    EXPECT_EQ(check_run(r), "");
                }
            }
        }
    }
    report_faults("flipped header bytes", runs, succeeded);
}

} // namespace
