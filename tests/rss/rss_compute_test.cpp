// The run as a library operation: the code and the messages of every
// failure, the requests it refuses untouched, and runs on several threads
// at once.
#include "common/df_builder.h"
#include "common/process.h"
#include "rss/rss_tuning.h"

#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct captured_t {
    std::string report;
    std::vector<std::string> messages;
};

rss_sink_t capture_sink(captured_t *c) {
    return {
        c,
        [](void *context, const char *text) { static_cast<captured_t *>(context)->report += text; },
        [](void *context, const char *text) {
            static_cast<captured_t *>(context)->messages.emplace_back(text);
        }};
}

struct outcome_t {
    int32_t code;
    captured_t text;
    std::vector<uint8_t> file;
};

class RssCompute : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // Writes an input with a uniform phase window (or only an intensity block).
    std::string input(const std::string &name, const df_hdr_t &hdr, window_t window, int32_t value,
                      bool with_phase = true) {
        const test_phase_t phase = uniform_phase(window, value);
        EXPECT_EQ(write_test_file(path(name), hdr, with_phase ? &phase : nullptr, !with_phase), 0);
        return path(name);
    }

    outcome_t compute(const std::string &out, const std::vector<std::string> &names,
                      const rss_tuning_t &tuning = RSS_TUNING_DEFAULT, int32_t phase_res = -1) {
        std::vector<const char *> list;
        for (const std::string &n : names) {
            list.push_back(n.c_str());
        }
        outcome_t o{};
        const rss_request_t request = {out.c_str(), phase_res, true, list.data(),
                                       static_cast<int32_t>(list.size())};
        const rss_sink_t sink = capture_sink(&o.text);
        o.code = rss_compute_tuned(&request, &sink, tuning);
        if (std::filesystem::exists(out)) {
            o.file = file_bytes(out);
        }
        return o;
    }

    std::filesystem::path dir_;
};

// Every failure: its code and its messages, word for word.
TEST_F(RssCompute, EachFailureHasItsCodeAndMessages) {
    const df_hdr_t hdr = test_header(8, 6);
    df_hdr_t other_size = test_header(9, 6);
    df_hdr_t other_res = hdr;
    other_res.CameraRes = std::nextafter(hdr.CameraRes, 1.0f);
    df_hdr_t bad_res = hdr;
    bad_res.CameraRes = -1.0f;
    df_hdr_t steep = hdr;
    steep.ObliquityFactor = 3e38f;
    const window_t all = {0, 0, 8, 6};
    const std::string good = input("good", hdr, all, 1000);
    const std::string q = "\"";
    struct failure_t {
        const char *what;
        std::function<std::vector<std::string>()> inputs;
        std::string out;
        int32_t code;
        std::vector<std::string> messages;
    };
    const std::string out = path("out.dat");
    const std::string missing = path("missing");
    const std::vector<failure_t> cases = {
        {"unreadable input",
         [&] {
             return std::vector{good, missing};
         },
         out,
         ERR_CANT_OPEN_FILE,
         {"Error reading input file " + q + missing + q, "ERR_CANT_OPEN_FILE"}},
        {"attribute check",
         [&] { return std::vector{input("neg", bad_res, all, 5)}; },
         out,
         ERR_INVALID_PARAM,
         {"Invalid attribute information in input file " + q + path("neg") + q +
              "\nLateral resolution is less than zero.",
          "ERR_INVALID_PARAM"}},
        {"no height data",
         [&] { return std::vector{input("bare", hdr, all, 0, false)}; },
         out,
         RSS_ERR_NO_HEIGHT_DATA,
         {"Input file " + q + path("bare") + q + " contains no height data"}},
        {"no valid input pixel",
         [&] { return std::vector{input("inv", hdr, all, 0x7FFFFFF8)}; },
         out,
         RSS_ERR_NO_VALID_INPUT_DATA,
         {"Input file " + q + path("inv") + q + " contains no valid data points"}},
        {"camera size",
         [&] {
             return std::vector{good, input("w9", other_size, all, 5)};
         },
         out,
         RSS_ERR_CAMERA_SIZE_MISMATCH,
         {"Input file " + q + path("w9") + q + " has mismatched CameraWidth or CameraHeight"}},
        {"camera resolution",
         [&] {
             return std::vector{good, input("res", other_res, all, 5)};
         },
         out,
         RSS_ERR_CAMERA_RES_MISMATCH,
         {"Input file " + q + path("res") + q + " has mismatched CameraRes"}},
        {"window off the frame",
         [&] {
             return std::vector{good, input("off", hdr, {-1, 0, 4, 4}, 5)};
         },
         out,
         ERR_IMPROPER_WINDOW,
         {"ERR_IMPROPER_WINDOW"}},
        {"overflow",
         [&] {
             return std::vector{good, input("steep", steep, all, 1 << 30)};
         },
         out,
         ERR_FP_OVERFLOW,
         {"ERR_FP_OVERFLOW"}},
        {"no valid result pixel",
         [&] {
             return std::vector{input("left", hdr, {0, 0, 4, 6}, 5),
                                input("right", hdr, {4, 0, 4, 6}, 5)};
         },
         out,
         RSS_ERR_NO_VALID_RESULT,
         {"RSS result map contains no valid data points"}},
        {"output cannot be made",
         [&] { return std::vector{good}; },
         path("no/such/dir/out"),
         RSS_ERR_CANNOT_CREATE_OUTPUT,
         {"Cannot create output file " + q + path("no/such/dir/out") + q}},
        {"output is an input",
         [&] {
             return std::vector{good, good};
         },
         good,
         RSS_ERR_OUTPUT_IS_INPUT,
         {"Output file " + q + good + q + " is also an input file"}},
    };
    const std::vector<uint8_t> good_bytes = file_bytes(good);
    for (const failure_t &c : cases) {
        for (const bool helper : {false, true}) {
            const outcome_t o = compute(c.out, c.inputs(), {8 * 8 * 2, 1, helper});
            EXPECT_EQ(o.code, c.code) << c.what;
            EXPECT_EQ(o.text.messages, c.messages) << c.what;
            if (c.code != RSS_ERR_OUTPUT_IS_INPUT && c.code != RSS_ERR_CANNOT_CREATE_OUTPUT) {
                EXPECT_TRUE(o.file.empty()) << c.what << ": a failed run leaves the output empty";
            }
        }
    }
    EXPECT_EQ(file_bytes(good), good_bytes) << "an input was changed";
}

#ifdef __linux__
// Sets or clears the file's append-only flag (root, on a file system that
// has it): a file open for writing goes on taking rows, but cannot be
// emptied any more.
bool set_append_only(const std::string &path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// A run that fails after rows of its result went out ahead empties its
// output again; when that is refused, the run says so, last.
TEST_F(RssCompute, AFailedRunEmptiesItsOutputOrSaysItCannot) {
    const df_hdr_t hdr = test_header(8, 64);
    const std::string a = input("a", hdr, {0, 0, 8, 64}, 5);
    std::string b = input("b", hdr, {0, 0, 8, 64}, 7);
    std::vector<uint8_t> cut = file_bytes(b);
    cut.resize(cut.size() - 4 * 8 * 4); // its last rows are missing
    std::ofstream(b, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(cut.data()),
               static_cast<std::streamsize>(cut.size()));
    const std::string out = path("out.dat");
    for (const bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "emptying refused" : "emptied");
        struct seen_t {
            std::string out;
            bool refuse;
            bool flagged = false;
            std::vector<std::string> messages;
        } seen{out, refuse, false, {}};
        // Once the bands are folded (rows have gone ahead), the report begins.
        const rss_sink_t sink = {&seen,
                                 [](void *c, const char *text) {
                                     auto &s = *static_cast<seen_t *>(c);
                                     if (s.refuse && !s.flagged &&
                                         std::string(text).starts_with("InFile")) {
                                         s.flagged = set_append_only(s.out, true);
                                     }
                                 },
                                 [](void *c, const char *text) {
                                     static_cast<seen_t *>(c)->messages.emplace_back(text);
                                 }};
        const char *names[] = {a.c_str(), b.c_str()};
        const rss_request_t request = {out.c_str(), -1, true, names, 2};
        EXPECT_EQ(rss_compute_tuned(&request, &sink, {8 * 8 * 2, 8, false}), ERR_CORRUPT_DATA_FILE);
        if (refuse && !seen.flagged) {
            GTEST_SKIP() << "no append-only flag here (needs root and a file system that has it)";
        }
        set_append_only(out, false);
        std::vector<std::string> expected = {"Error reading input file \"" + b + "\"",
                                             "ERR_CORRUPT_DATA_FILE"};
        if (refuse) {
            expected.push_back("Output file \"" + out +
                               "\" could not be emptied again: it may hold part of a result");
            EXPECT_FALSE(file_bytes(out).empty()) << "rows written ahead";
        } else {
            EXPECT_TRUE(file_bytes(out).empty());
        }
        EXPECT_EQ(seen.messages, expected);
    }
}
#endif

// Requests that are not runs: nothing is read, made or emptied.
TEST_F(RssCompute, MalformedRequestsTouchNothing) {
    const std::string in = input("in", test_header(8, 6), {0, 0, 8, 6}, 7);
    const std::string out = path("out.dat");
    std::ofstream(out) << "keep";
    const char *one[] = {in.c_str()};
    const char *with_null[] = {in.c_str(), nullptr};
    int later_field = 0;
    const double negative_weight = -0.5, nan_weight = std::nan("");
    rss_budget_t no_rows{};
    const rss_request_t cases[] = {
        {out.c_str(), -1, false, one, 0},
        {out.c_str(), -1, false, one, RSS_MAX_INPUTS + 1},
        {out.c_str(), -1, false, one, -1},
        {out.c_str(), -1, false, nullptr, 1},
        {out.c_str(), -1, false, with_null, 2},
        {nullptr, -1, false, one, 1},
        {out.c_str(), -2, false, one, 1},
        {out.c_str(), 3, false, one, 1},
        {out.c_str(),
         -1,
         false,
         one,
         1,
         nullptr,
         nullptr,
         {nullptr, nullptr, nullptr, nullptr, nullptr, &later_field}}, // a later version's field
        {out.c_str(), -1, false, one, 1, &negative_weight},
        {out.c_str(), -1, false, one, 1, &nan_weight},
        {out.c_str(), -1, false, one, 1, nullptr, &no_rows},
        {nullptr, -1, false, one, 1}, // neither an output nor a budget
    };
    for (const rss_request_t &request : cases) {
        captured_t text;
        const rss_sink_t sink = capture_sink(&text);
        EXPECT_EQ(rss_compute(&request, &sink), ERR_INVALID_PARAM);
        EXPECT_EQ(text.messages, std::vector<std::string>{"ERR_INVALID_PARAM"});
        EXPECT_EQ(rss_compute(&request, nullptr), ERR_INVALID_PARAM);
    }
    EXPECT_EQ(rss_compute(nullptr, nullptr), ERR_INVALID_PARAM);
    std::string kept;
    std::getline(std::ifstream(out), kept);
    EXPECT_EQ(kept, "keep");

    // A silent run (null sink, or null functions) still computes.
    const rss_request_t request = {out.c_str(), 1, true, one, 1};
    const rss_sink_t deaf = {nullptr, nullptr, nullptr};
    EXPECT_EQ(rss_compute(&request, nullptr), 0);
    const std::vector<uint8_t> first = file_bytes(out);
    EXPECT_EQ(rss_compute(&request, &deaf), 0);
    EXPECT_EQ(file_bytes(out), first);
}

// The names that scripts and other languages see for a run's codes.
TEST(RssErrorName, NamesEveryCodeARunGives) {
    const struct {
        int32_t code;
        const char *name;
    } cases[] = {
        {0, "NO_ERROR"},
        {ERR_NO_MEM, "ERR_NO_MEM"},
        {RSS_ERR_OUTPUT_IS_INPUT, "RSS_ERR_OUTPUT_IS_INPUT"},
        {RSS_ERR_CANNOT_CREATE_OUTPUT, "RSS_ERR_CANNOT_CREATE_OUTPUT"},
        {RSS_ERR_NO_HEIGHT_DATA, "RSS_ERR_NO_HEIGHT_DATA"},
        {RSS_ERR_NO_VALID_INPUT_DATA, "RSS_ERR_NO_VALID_INPUT_DATA"},
        {RSS_ERR_CAMERA_SIZE_MISMATCH, "RSS_ERR_CAMERA_SIZE_MISMATCH"},
        {RSS_ERR_CAMERA_RES_MISMATCH, "RSS_ERR_CAMERA_RES_MISMATCH"},
        {RSS_ERR_NO_VALID_RESULT, "RSS_ERR_NO_VALID_RESULT"},
        {1000, nullptr},
        {1008, nullptr},
        {-1, nullptr},
    };
    for (const auto &c : cases) {
        const char *name = rss_error_name(c.code);
        EXPECT_EQ(name != nullptr ? std::string(name) : "(null)",
                  c.name != nullptr ? std::string(c.name) : "(null)");
    }
}

// Pairs of runs on two threads give what the same runs give one after the
// other: output bytes, report text and messages. The sizes give each run
// several bands and batches, with and without its helper thread.
TEST_F(RssCompute, TwoRunsAtOnceGiveWhatTheyGiveAlone) {
    struct job_t {
        std::string out;
        std::vector<std::string> names;
        rss_tuning_t tuning;
        int32_t phase_res;
    };
    std::vector<job_t> jobs;
    for (int32_t j = 0; j < 6; ++j) {
        const int16_t w = static_cast<int16_t>(40 + 7 * j);
        const df_hdr_t hdr = test_header(w, 30, static_cast<int16_t>(j % 3));
        job_t job{
            path("out" + std::to_string(j)), {}, {8u * w * 3, 1 + j % 3, j % 4 != 3}, j % 4 - 1};
        for (int32_t i = 0; i < 5; ++i) {
            const int16_t x = static_cast<int16_t>(i), y = static_cast<int16_t>(2 * i);
            job.names.push_back(input("in" + std::to_string(j) + "_" + std::to_string(i), hdr,
                                      {x, y, static_cast<int16_t>(w - 5), 20}, 1000 * (i + j)));
        }
        if (j % 3 == 2) { // failing runs in the mix, and a pair of them
            job.names.push_back(path("missing"));
        }
        jobs.push_back(job);
    }
    std::vector<outcome_t> alone;
    for (const job_t &job : jobs) {
        alone.push_back(compute(job.out, job.names, job.tuning, job.phase_res));
    }
    for (std::size_t a = 0; a < jobs.size(); ++a) {
        const std::size_t b = (a + 3) % jobs.size();
        outcome_t together[2];
        std::thread other([&] {
            together[1] = compute(jobs[b].out, jobs[b].names, jobs[b].tuning, jobs[b].phase_res);
        });
        together[0] = compute(jobs[a].out, jobs[a].names, jobs[a].tuning, jobs[a].phase_res);
        other.join();
        for (const auto &[k, i] : {std::pair{0, a}, std::pair{1, b}}) {
            EXPECT_EQ(together[k].code, alone[i].code) << "run " << i;
            EXPECT_EQ(together[k].text.report, alone[i].text.report) << "run " << i;
            EXPECT_EQ(together[k].text.messages, alone[i].text.messages) << "run " << i;
            EXPECT_TRUE(together[k].file == alone[i].file) << "run " << i;
        }
    }
    EXPECT_EQ(alone[0].code, 0);
    EXPECT_EQ(alone[5].code, ERR_CANT_OPEN_FILE);
}

} // namespace
