// Runs a fuzz target's entry on each file named on the command line, without
// the fuzzing engine: for reproducing and debugging a saved crash input.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::FILE *f = std::fopen(argv[i], "rb");
        if (f == nullptr) {
            std::fprintf(stderr, "cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> bytes;
        for (int c; (c = std::fgetc(f)) != EOF;) {
            bytes.push_back(static_cast<uint8_t>(c));
        }
        std::fclose(f);
        std::printf("%s: %zu bytes\n", argv[i], bytes.size());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
}
