// The streaming RSS run against the step-by-step run when the run fails:
// a failing input at every position, an output that cannot be made, too few
// descriptors, a full device, refused memory and damaged files.
#include "rss/rss_diff_fixture.h"

#include <cmath>

namespace {

using namespace rss_diff;

// ---------------------------------------------------------------------------
// A failing input at every position: the lines of the inputs before it, its
// own lines as far as they come, then its messages.

TEST_F(RssDiff, FailingInputAtEachPosition) {
    using spoil_fn = void (*)(input_spec_t &);
    const std::pair<const char *, spoil_fn> failures[] = {
        {"unreadable", [](input_spec_t &in) { in.damage = damage_t::missing; }},
        {"header cut",
         [](input_spec_t &in) {
             in.damage = damage_t::cut;
             in.cut_at = 0.01;
         }},
        {"block cut",
         [](input_spec_t &in) {
             in.damage = damage_t::cut;
             in.cut_at = 0.97;
         }},
        {"not a data file", [](input_spec_t &in) { in.damage = damage_t::bad_magic; }},
        {"other camera size", [](input_spec_t &in) { in.hdr.CameraHeight = 31; }},
        {"other CameraRes",
         [](input_spec_t &in) { in.hdr.CameraRes = std::nextafter(in.hdr.CameraRes, 1.0f); }},
        {"no phase block",
         [](input_spec_t &in) {
             in.has_phase = false;
             in.intensity = true;
         }},
        {"no valid data",
         [](input_spec_t &in) { in.phase.values.assign(in.phase.values.size(), INVALID); }},
        {"attribute check", [](input_spec_t &in) { in.hdr.ObliquityFactor = -1.0f; }},
        {"window left of the frame", [](input_spec_t &in) { in.phase.window.x = -1; }},
        {"overflow", [](input_spec_t &in) { in.hdr.IntfScaleFactor = 1e30f; }},
    };
    for (const auto &[name, spoil] : failures) {
        for (int32_t position = 0; position < 3; ++position) {
            SCOPED_TRACE(std::string(name) + " at input " + std::to_string(position + 1));
            case_t c;
            for (int32_t i = 0; i < 3; ++i) {
                input_spec_t in;
                in.hdr = test_header(70, 30);
                in.phase = uniform_phase({1, 2, 66, 27}, 1000 + i);
                c.inputs.push_back(in);
            }
            spoil(c.inputs[position]);
            c.old_output = 5000;
            tuning_.band_sum_bytes = 8 * 70 * 4; // several bands
            ASSERT_TRUE(agree(c));
        }
    }
}

// The output file cannot be made: nothing else is written, whatever the
// inputs hold.
TEST_F(RssDiff, OutputCannotBeMade) {
    case_t c;
    input_spec_t in;
    in.hdr = test_header(30, 20);
    in.phase = uniform_phase({0, 0, 30, 20}, 9);
    c.inputs = {in, in};
    c.inputs[1].damage = damage_t::missing;
    c.out_name = "no_such_folder/out.dat";
    EXPECT_TRUE(agree(c));
}

#ifndef _WIN32
// With only a few descriptors free, a batch cannot open all its inputs at
// once; the run then opens them in smaller groups and still agrees.
TEST_F(RssDiff, FewFreeFileDescriptors) {
    case_t c;
    for (int32_t i = 0; i < 9; ++i) {
        input_spec_t in;
        in.hdr = test_header(40, 20);
        in.phase = uniform_phase({0, 0, 40, 20}, 10 * i);
        c.inputs.push_back(in);
    }
    c.inputs[8].damage = damage_t::missing;
    tuning_.band_sum_bytes = 8 * 40 * 3;
    const std::vector<std::string> names = materialize(c);
    const outcome_t expected = run_with(reference_run, c, names);
    // Once with every descriptor free: UndefinedBehaviorSanitizer checks the
    // dynamic type of the helper thread's state on its first start, and that
    // check needs a pipe of its own; later starts find the type cached.
    run_with(library_run, c, names);

    // Full batches open the next batch's members ahead and run short of
    // descriptors there, on the first member or a later one as the batch
    // size goes; a batch as large as the limit allows runs short as it is
    // opened.
    for (const int32_t batch_max : {RSS_BATCH_MAX, 2, 3, 4, 5, 6}) {
        tuning_.batch_max = batch_max;
        outcome_t got;
        {
            // Room for capturing both streams (four descriptors) and four more.
            const few_descriptors_t few(8);
            ASSERT_TRUE(few.ok);
            got = run_with(library_run, c, names);
        }

        EXPECT_EQ(got.ok, expected.ok) << "batches of " << batch_max;
        EXPECT_EQ(got.err, expected.err);
        EXPECT_EQ(got.out, expected.out);
        EXPECT_TRUE(got.file == expected.file);
    }
}
#endif

#ifdef __linux__
// Writing the result fails (the device is always full): both runs end with
// the writer's code, whether or not the result was written ahead.
TEST_F(RssDiff, WritingTheResultFails) {
    case_t c;
    for (int32_t i = 0; i < 3; ++i) {
        input_spec_t in;
        in.hdr = test_header(60, 40);
        in.phase = uniform_phase({1, 1, 58, 38}, 100 + i);
        c.inputs.push_back(in);
    }
    const std::vector<std::string> names = materialize(c);
    for (std::size_t band_bytes : {std::size_t{8 * 60 * 5}, std::size_t{1} << 20}) {
        tuning_.band_sum_bytes = band_bytes;
        std::string err[2];
        bool ok[2];
        const run_fn runs[2] = {reference_run, library_run};
        std::vector<const char *> list;
        for (const std::string &name : names) {
            list.push_back(name.c_str());
        }
        const rss_request_t request = {"/dev/full", -1, false, list.data(),
                                       static_cast<int32_t>(list.size())};
        for (int r = 0; r < 2; ++r) {
            fault_alloc_scope tracking;
            ::testing::internal::CaptureStderr();
            ok[r] = runs[r](request, tuning_);
            err[r] = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(fault_alloc_stats().live, 0);
        }
        EXPECT_FALSE(ok[1]);
        EXPECT_EQ(ok[1], ok[0]);
        EXPECT_EQ(err[1], err[0]);
        EXPECT_NE(err[1].find("ERR_CANT_WRITE_FILE"), std::string::npos) << err[1];
    }
}
#endif

// A refused allocation anywhere ends the run with ERR_NO_MEM and nothing
// left allocated, in every arrangement of bands, batches and threads.
TEST_F(RssDiff, RefusedAllocationAnywhere) {
    case_t c;
    for (int32_t i = 0; i < 4; ++i) {
        input_spec_t in;
        in.hdr = test_header(50, 20);
        in.phase = uniform_phase({static_cast<int16_t>(i), 1, 45, 18}, 7 * i);
        c.inputs.push_back(in);
    }
    const std::vector<std::string> names = materialize(c);
    const std::string out = path("out.dat");
    std::vector<const char *> list;
    for (const std::string &name : names) {
        list.push_back(name.c_str());
    }
    const rss_request_t request = {out.c_str(), -1, false, list.data(),
                                   static_cast<int32_t>(list.size())};
    for (bool threaded : {true, false}) {
        tuning_ = rss_tuning_t{8 * 50 * 6, 2, threaded};
        int64_t needed = 0;
        {
            fault_alloc_scope tracking;
            ASSERT_TRUE(library_run(request, tuning_));
            needed = fault_alloc_stats().allocations;
        }
        for (int64_t k = 1; k <= needed; ++k) {
            SCOPED_TRACE(k);
            fault_alloc_scope tracking(k);
            ::testing::internal::CaptureStderr();
            EXPECT_FALSE(library_run(request, tuning_));
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_TRUE(err.ends_with("Kelvorin\nERROR: ERR_NO_MEM\n")) << err;
            EXPECT_EQ(fault_alloc_stats().live, 0);
        }
    }
}

} // namespace
