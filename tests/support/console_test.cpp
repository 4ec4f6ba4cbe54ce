// Hooks, console printers and the yes/no prompt, with the standard streams
// redirected to temporary files at the descriptor level.
#include "support/support_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Points the descriptor of `stream` at `target` until restored.
struct redirect_t {
    std::FILE *stream;
    int fd;
    int saved;
};

redirect_t redirect(std::FILE *stream, std::FILE *target) {
    std::fflush(stream);
    const int fd = fileno(stream);
    redirect_t r{stream, fd, dup(fd)};
    dup2(fileno(target), fd);
    return r;
}

void restore(const redirect_t &r) {
    std::fflush(r.stream);
    if (r.saved >= 0) {
        dup2(r.saved, r.fd);
        close(r.saved);
    } else {
        close(r.fd);
    }
    std::clearerr(r.stream);
}

// What has reached the file's descriptor; the FILE's own buffer is not
// consulted, so unflushed text does not show.
std::string file_text(std::FILE *f) {
    struct stat st;
    fstat(fileno(f), &st);
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::fflush(f);
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    return text;
}

std::FILE *temp_with(const std::string &content) {
    std::FILE *f = std::tmpfile();
    if (f != nullptr) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fflush(f);
        std::rewind(f);
    }
    return f;
}

TEST(Hooks, InitialValues) {
    EXPECT_EQ(u_malloc_fn, &std::malloc);
    EXPECT_EQ(u_realloc_fn, &std::realloc);
    EXPECT_EQ(u_calloc_fn, &std::calloc);
    EXPECT_EQ(u_free_fn, &std::free);
    EXPECT_EQ(u_log_fn, &u_log_stderr);
}

TEST(Printers, WriteAndFlushAtOnce) {
    for (std::FILE *stream : {stdout, stderr}) {
        std::FILE *capture = std::tmpfile();
        ASSERT_NE(capture, nullptr);
        const redirect_t r = redirect(stream, capture);
        const int rc = stream == stdout ? u_log_stdout("%s=%d|%g\n", "ab", -3, 2.5)
                                        : u_log_stderr("%s=%d|%g\n", "ab", -3, 2.5);
        const std::string seen = file_text(capture); // before restore() flushes
        restore(r);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(seen, "ab=-3|2.5\n");
        std::fclose(capture);
    }

    std::FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(u_log_stream(f, "%05d %c", 42, 'z'), 0);
    EXPECT_EQ(file_text(f), "00042 z");
    std::fclose(f);
}

TEST(Printers, StreamYieldsTheFailedFlush) {
    std::FILE *full = std::fopen("/dev/full", "w");
    if (full == nullptr) {
        GTEST_SKIP() << "no /dev/full";
    }
    EXPECT_NE(u_log_stream(full, "%s", "lost"), 0);
    std::fclose(full);
}

struct ask_outcome {
    bool result;
    bool answer;
    std::string shown;
};

// Runs u_ask_yes_no once per prompt with standard input reading `input`.
std::vector<ask_outcome> ask(const std::string &input, const char *prompt, bool answer,
                             int calls = 1) {
    std::FILE *in = temp_with(input);
    std::FILE *out = std::tmpfile();
    std::vector<ask_outcome> outcomes;
    if (in == nullptr || out == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return outcomes;
    }
    const redirect_t rin = redirect(stdin, in);
    const redirect_t rout = redirect(stdout, out);
    for (int i = 0; i < calls; ++i) {
        const bool result = u_ask_yes_no(prompt, &answer);
        outcomes.push_back({result, answer, file_text(out)});
    }
    while (std::fgetc(stdin) != EOF) {
    }
    restore(rout);
    restore(rin);
    std::fclose(in);
    std::fclose(out);
    return outcomes;
}

TEST(AskYesNo, Answers) {
    struct case_t {
        const char *input;
        bool answer_before;
        bool result;
        bool answer_after;
    };
    const case_t cases[] = {
        {"y\n", false, true, true},    {"Y\n", false, true, true},     {"yes\n", false, true, true},
        {"1\n", false, true, true},    {"1000\n", false, true, true},  {"y", false, true, true},
        {"N\n", true, true, false},    {"no\n", true, true, false},    {"0\n", true, true, false},
        {"nope\n", true, true, false}, {"x\n", false, false, false},   {"x\n", true, false, true},
        {" y\n", false, false, false}, {"\ty\n", false, false, false}, {"\n", false, false, false},
        {"\n", true, false, true},     {"\r\n", true, false, true},    {"", true, false, true},
        {"", false, false, false}};
    for (const case_t &c : cases) {
        const auto got = ask(c.input, nullptr, c.answer_before);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].result, c.result) << '"' << c.input << '"';
        EXPECT_EQ(got[0].answer, c.answer_after) << '"' << c.input << '"';
        EXPECT_EQ(got[0].shown, "") << "no prompt asked for";
    }
}

TEST(AskYesNo, PromptShowsTheDefaultLetterWithoutLineEnd) {
    const char *fmt = "Replace it? (y/n) [%c] ";
    auto got = ask("\n", fmt, false);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].shown, "Replace it? (y/n) [n] ");
    EXPECT_FALSE(got[0].answer);

    got = ask("\n", fmt, true);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].shown, "Replace it? (y/n) [y] ");
    EXPECT_FALSE(got[0].result);
    EXPECT_TRUE(got[0].answer);
}

TEST(AskYesNo, ReadsAtMost511CharactersOfALine) {
    // The first read takes 511 'x's; the 'y' after them is the next answer.
    const auto got = ask(std::string(511, 'x') + "y\n", nullptr, false, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].result);
    EXPECT_TRUE(got[1].result);
    EXPECT_TRUE(got[1].answer);
}

} // namespace
