// The streaming RSS run against the step-by-step run: on the same inputs and
// settings both must give the same result, standard output, standard error
// and output file bytes. Random cases, and the edges of the arithmetic.
#include "rss/rss_diff_fixture.h"

#include <cmath>
#include <random>

namespace {

using namespace rss_diff;

TEST_F(RssDiff, RandomCasesGiveTheSameBytesAsTheStepByStepRun) {
    generator_t gen{std::mt19937(20250615)};
    for (int32_t k = 0; k < 400; ++k) {
        const int16_t w = static_cast<int16_t>(gen.uniform(1, 12));
        const int16_t h = static_cast<int16_t>(gen.uniform(1, 10));
        const case_t c = gen.make_case(w, h, gen.uniform(1, 5));
        // Bands of one row up to the whole frame, small batches, with and
        // without the reader thread and the wide kernels.
        tuning_.band_sum_bytes = gen.pick<std::size_t>({1, 8u * w * 3, 1u << 20});
        tuning_.batch_max = gen.pick<int32_t>({1, 2, 3, RSS_BATCH_MAX});
        tuning_.helper_thread = gen.chance(0.8);
        use_portable(gen.chance(0.3));
        if (!agree(c)) {
            ADD_FAILURE() << "case " << k << " (camera " << w << "x" << h << ", " << c.inputs.size()
                          << " inputs, band bytes " << tuning_.band_sum_bytes << ", batch "
                          << tuning_.batch_max << ", kernels " << kernel_name(tuning_) << ")";
            return;
        }
    }
}

// Rows wide enough for the wide kernels' main loop and its tail, over many
// bands and batches.
TEST_F(RssDiff, WideFramesAcrossBandsAndBatches) {
    generator_t gen{std::mt19937(77)};
    for (int32_t k = 0; k < 24; ++k) {
        const int16_t w = static_cast<int16_t>(gen.uniform(40, 300));
        const int16_t h = static_cast<int16_t>(gen.uniform(20, 60));
        const case_t c = gen.make_case(w, h, gen.uniform(2, 9));
        tuning_.band_sum_bytes = gen.pick<std::size_t>({8u * w, 8u * w * 7, 1u << 20});
        tuning_.batch_max = gen.pick<int32_t>({2, 5, RSS_BATCH_MAX});
        use_portable(k % 2 == 1);
        ASSERT_TRUE(agree(c)) << "case " << k;
    }
}

// Bands of one row, many more than the run keeps finished bands waiting for
// the output: both workers run ahead of the rows written and wait for them.
TEST_F(RssDiff, ManyNarrowBands) {
    generator_t gen{std::mt19937(5)};
    for (int32_t k = 0; k < 6; ++k) {
        case_t c = gen.make_case(40, 300, 3);
        for (input_spec_t &in : c.inputs) {
            in.damage = damage_t::none;
        }
        c.old_output = 100000;
        tuning_.band_sum_bytes = 8 * 40;
        ASSERT_TRUE(agree(c)) << "case " << k;
    }
}

// ---------------------------------------------------------------------------
// Arithmetic at the edge of the invalid marker. With IntfScaleFactor 2^52
// against 1 for the first input, a count x stands for x * 2^52 exactly, and
// its square for x^2 * 2^104, where DBL_MAP_INVALID is (2^24 - 1) * 2^104.

struct edge_case_t {
    const char *name;
    float scale;                 // IntfScaleFactor of the later inputs
    std::vector<int32_t> counts; // at the probed pixel, for the later inputs in order
};

TEST_F(RssDiff, SumsAtTheInvalidMarkerAndOverflowsInEachStep) {
    const edge_case_t cases[] = {
        // 4095^2 + 90^2 + 9^2 + 3^2 = 2^24 - 1: the sum is exactly the marker,
        // so the pixel is invalid from then on, without an overflow.
        {"sum equals the marker", 0x1p52f, {4095, 90, 9, 3, 1}},
        {"sum beyond the marker", 0x1p52f, {4095, 90, 9, 4}},
        {"square overflows", 0x1p52f, {4096}},
        {"scaling overflows", 0x1p100f, {1 << 28}},
        // The square overflows even where the sum is already invalid.
        {"square overflows over an invalid sum", 0x1p52f, {INVALID, 4096}},
        {"scaling by inf", INF, {0, 0}},
        {"scaling by inf overflows", INF, {1}},
        {"NaN factor makes the input invalid", NaN, {3, 4}},
    };
    for (const edge_case_t &e : cases) {
        SCOPED_TRACE(e.name);
        for (bool portable : {false, true}) {
            use_portable(portable);
            case_t c;
            input_spec_t first;
            first.hdr = test_header(9, 3);
            first.hdr.IntfScaleFactor = 1.0f;
            first.phase = uniform_phase({0, 0, 9, 3}, 0);
            c.inputs.push_back(first);
            for (int32_t count : e.counts) {
                input_spec_t later = first;
                later.hdr.IntfScaleFactor = e.scale;
                later.phase = uniform_phase({0, 0, 9, 3}, 1);
                later.phase.values[13] = count; // a pixel in the middle row
                c.inputs.push_back(later);
            }
            ASSERT_TRUE(agree(c));
        }
    }
}

// Roots at the edges of rounding and of the phase count range: an input
// whose ObliquityFactor of 0.5 halves its counts, then one taken as is.
TEST_F(RssDiff, RoundingEdgesOfTheResult) {
    const std::vector<int32_t> halved = {5,       -5,        3, 134217726, 134217727, 1,         0,
                                         INVALID, 134217728, 7, 2,         9,         -134217726};
    const std::vector<int32_t> as_is = {67108863, 67108864, -67108863, 0, 4, 2147483639};
    for (bool portable : {false, true}) {
        use_portable(portable);
        for (const std::vector<int32_t> *counts : {&halved, &as_is}) {
            case_t c;
            input_spec_t in;
            in.hdr = test_header(static_cast<int16_t>(counts->size()), 1);
            in.hdr.ObliquityFactor = counts == &halved ? 0.5f : 1.0f;
            in.phase = {{0, 0, static_cast<int16_t>(counts->size()), 1}, *counts};
            c.inputs.push_back(in);
            ASSERT_TRUE(agree(c));
        }
    }
}

// A file that fails in several ways at once fails with what comes first:
// a short block before the attribute check and the search for valid data,
// no valid data before a window outside the frame.
TEST_F(RssDiff, FirstOfSeveralFailuresOfOneInput) {
    using spoil_fn = void (*)(input_spec_t &);
    const spoil_fn spoils[] = {
        [](input_spec_t &in) { in.hdr.ObliquityFactor = -1.0f; },
        [](input_spec_t &in) { in.phase.values.assign(in.phase.values.size(), INVALID); },
        [](input_spec_t &in) { in.phase.window.y = -1; },
        [](input_spec_t &in) { in.hdr.CameraWidth = 71; },
    };
    for (std::size_t first = 0; first < std::size(spoils); ++first) {
        for (std::size_t second = 0; second < std::size(spoils); ++second) {
            for (bool cut : {false, true}) {
                SCOPED_TRACE(std::to_string(first) + "/" + std::to_string(second) + "/" +
                             std::to_string(cut));
                case_t c;
                input_spec_t in;
                in.hdr = test_header(70, 30);
                in.phase = uniform_phase({1, 2, 66, 27}, 1000);
                c.inputs.push_back(in);
                spoils[first](in);
                spoils[second](in);
                if (cut) {
                    in.damage = damage_t::cut;
                    in.cut_at = 0.9;
                }
                c.inputs.push_back(in);
                tuning_.band_sum_bytes = 8 * 70 * 4;
                ASSERT_TRUE(agree(c));
            }
        }
    }
}

} // namespace
