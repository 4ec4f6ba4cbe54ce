// Writes seed inputs for cmdline_fuzz into the directory named by argv[1]:
// command lines of every kind the entry knows, over the target's fixtures
// (a.dat, b.dat, c.dat, e.dat, t.dat, o.dat, the directory d and list.txt).
// Each seed is the argument count, the NUL-terminated arguments, then the
// list file's content.
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct seed_t {
    const char *name;
    std::vector<std::string> args;
    std::string list;
};

const std::vector<seed_t> kSeeds = {
    {"two_inputs", {"-RssOut", "out.dat", "a.dat", "b.dat"}, ""},
    {"list_verbose",
     {"-Verbose", "-PhaseRes", "High", "-RssOut", "out.dat", "@list.txt"},
     "  a.dat\t\r\n\n   \nb.dat\n"},
    {"options_after", {"a.dat", "b.dat", "-rSsOuT", "out.dat", "-phaseres", "SUPER"}, ""},
    {"prompt", {"-RssOut", "o.dat", "a.dat"}, ""},
    {"overwrite_mismatch", {"-Overwrite", "-RssOut", "o.dat", "a.dat", "c.dat"}, ""},
    {"output_is_input", {"-RssOut", "a.dat", "-Overwrite", "a.dat"}, ""},
    {"bad_phaseres", {"-PhaseRes", "Ultra", "a.dat"}, ""},
    {"unknown_option", {"-Rss", "out.dat", "a.dat"}, ""},
    {"missing_value", {"a.dat", "-RssOut"}, ""},
    {"lone_dash", {"-", "a.dat"}, ""},
    {"list_after_name", {"a.dat", "@list.txt"}, "b.dat\n"},
    {"name_after_list", {"@list.txt", "a.dat"}, "b.dat\n"},
    {"lone_at", {"-RssOut", "out.dat", "@"}, ""},
    {"missing_list", {"-RssOut", "out.dat", "@nolist.txt"}, ""},
    {"empty_list", {"-RssOut", "out.dat", "@list.txt"}, " \n\t\n\r\n"},
    {"directory_input", {"-RssOut", "out.dat", "d"}, ""},
    {"directory_output", {"-Verbose", "-RssOut", "d", "a.dat"}, ""},
    {"truncated_input", {"-RssOut", "out.dat", "a.dat", "t.dat"}, ""},
    {"no_valid_data", {"-RssOut", "out.dat", "e.dat"}, ""},
    {"not_a_data_file", {"-RssOut", "out.dat", "list.txt"}, "a.dat\n"},
    {"no_output", {"a.dat", "b.dat"}, ""},
    {"empty_name", {"-RssOut", "out.dat", ""}, ""},
    {"wide_name",
     {"-RssOut", "out.dat",
      std::string("\xFF\xFE"
                  "a\0.\0d\0a\0t\0",
                  12)},
     ""},
    // A list line behind a byte-order mark, refused by the entry.
    {"wide_name_in_list",
     {"-RssOut", "out.dat", "@list.txt"},
     std::string("\xFF\xFE"
                 "a\0.\0d\0a\0t\0\n",
                 13)},
    {"percent_output", {"-RssOut", "%s%n%d.dat", "a.dat"}, ""},
    {"single", {"-RssOut"}, ""},
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    for (const seed_t &s : kSeeds) {
        std::string bytes(1, static_cast<char>(s.args.size()));
        for (const std::string &arg : s.args) {
            bytes += arg;
            bytes += '\0';
        }
        bytes += s.list;
        const std::string path = std::string(argv[1]) + "/" + s.name;
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "%s: cannot write seed %s\n", argv[0], s.name);
            return 1;
        }
    }
    return 0;
}
