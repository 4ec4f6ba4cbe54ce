// A program outside the project that computes the RSS in-process with the
// installed library and holds every run against the installed tool on the
// same files: the report text is the tool's standard output (less its final
// "Done" line), the messages are its standard error, and the outputs hold
// the same bytes.
//   rss_consumer KELVORIN SCRATCH_DIR A.dat B.dat C.dat
#include <kelvorin/rss.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct text_t {
    std::string out;
    std::string err;
};

std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string quoted(const std::string &s) {
    return "'" + s + "'";
}

int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) {
        std::fprintf(stderr, "rss_consumer: %s\n", what.c_str());
        ++failures;
    }
}

// One run both ways, the library's first: names[0] is the output (empty:
// a new file), the rest the inputs.
void compare(const std::string &tool, const std::string &dir, const std::string &label,
             const std::vector<std::string> &names, bool verbose) {
    // One output name for both runs: the report shows it.
    const std::string lib_out = names[0].empty() ? dir + "/" + label + ".dat" : names[0];
    const std::string &tool_out = lib_out;
    std::vector<const char *> inputs;
    for (std::size_t i = 1; i < names.size(); ++i) {
        inputs.push_back(names[i].c_str());
    }
    text_t got;
    const rss_sink_t sink = {
        &got, [](void *c, const char *t) { static_cast<text_t *>(c)->out += t; },
        [](void *c, const char *t) {
            static_cast<text_t *>(c)->err += std::string("Kelvorin\nERROR: ") + t + "\n";
        }};
    const rss_request_t request = {lib_out.c_str(), -1, verbose, inputs.data(),
                                   static_cast<int32_t>(inputs.size())};
    const int32_t code = rss_compute(&request, &sink);
    const std::string lib_bytes = file_bytes(lib_out);

    std::string command = quoted(tool) + " -Overwrite -RssOut " + quoted(tool_out);
    command += verbose ? " -Verbose" : "";
    for (std::size_t i = 1; i < names.size(); ++i) {
        command += " " + quoted(names[i]);
    }
    const std::string out = dir + "/" + label + ".out", err = dir + "/" + label + ".err";
    const int status = std::system((command + " >" + out + " 2>" + err).c_str());
    std::string want_out = file_bytes(out);
    if (code == 0 && verbose && want_out.size() >= 5) {
        want_out.resize(want_out.size() - 5); // the entry's own "Done\n"
    }
    check((code == 0) == (status == 0),
          label + ": code " + std::to_string(code) + ", tool status " + std::to_string(status));
    check(got.out == want_out, label + ": report text differs from the tool's standard output");
    check(got.err == file_bytes(err), label + ": messages differ from the tool's standard error");
    check(lib_bytes == file_bytes(tool_out), label + ": output files differ");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: rss_consumer KELVORIN SCRATCH_DIR A.dat B.dat C.dat\n");
        return 2;
    }
    const std::string tool = argv[1], dir = argv[2], a = argv[3], b = argv[4], c = argv[5];
    const std::string cut = dir + "/damaged.dat";
    std::ofstream(cut, std::ios::binary) << file_bytes(b).substr(0, 900);
    compare(tool, dir, "three", {"", a, b, c}, true);
    compare(tool, dir, "quiet", {"", c, a}, false);
    compare(tool, dir, "cut", {"", a, cut}, true);
    const std::string copy = dir + "/copy.dat";
    std::ofstream(copy, std::ios::binary) << file_bytes(a);
    compare(tool, dir, "output_is_input", {copy, copy}, true);
    check(file_bytes(copy) == file_bytes(a), "an input was changed");
    if (failures == 0) {
        std::printf("rss_consumer: 4 runs agree with the tool (report, messages, output)\n");
    }
    return failures == 0 ? 0 : 1;
}
