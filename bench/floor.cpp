// The I/O floor of a run: reads every input once, start to end, through one
// reused buffer, then writes a file of the given length (as long as the run's
// output) from the same buffer. No parsing and no arithmetic, so a run cannot
// take less time than this on the same files. The buffer starts on a page,
// as cat's does: a buffer a few bytes past a page boundary made the kernel's
// copy from the page cache up to four times slower on some processors (its
// stores alias the next loads), and the floor with it.
//
//   bench_floor OUTPUT OUTPUT_BYTES INPUT...
//   bench_floor OUTPUT OUTPUT_BYTES @LIST      inputs named one per line
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 20;

bool read_whole(const std::string &path, std::span<char> buffer) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::perror(path.c_str());
        return false;
    }
    ssize_t n;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
    }
    close(fd);
    if (n < 0) {
        std::perror(path.c_str());
    }
    return n == 0;
}

bool write_length(const char *path, long long bytes, std::span<const char> buffer) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path);
        return false;
    }
    while (bytes > 0) {
        const std::size_t part = bytes < static_cast<long long>(buffer.size())
                                     ? static_cast<std::size_t>(bytes)
                                     : buffer.size();
        const ssize_t n = write(fd, buffer.data(), part);
        if (n <= 0) {
            std::perror(path);
            close(fd);
            return false;
        }
        bytes -= n;
    }
    return close(fd) == 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_floor OUTPUT OUTPUT_BYTES INPUT... | @LIST\n");
        return 2;
    }
    std::vector<std::string> inputs;
    for (int i = 3; i < argc; ++i) {
        if (argv[i][0] == '@') {
            std::ifstream list(argv[i] + 1);
            for (std::string line; std::getline(list, line);) {
                if (!line.empty()) {
                    inputs.push_back(line);
                }
            }
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    constexpr std::size_t PAGE = 4096;
    std::unique_ptr<char, decltype(&std::free)> block(
        static_cast<char *>(std::aligned_alloc(PAGE, BUFFER_BYTES)), &std::free);
    if (!block) {
        std::perror("bench_floor");
        return 1;
    }
    const std::span<char> buffer(block.get(), BUFFER_BYTES);
    for (const std::string &input : inputs) {
        if (!read_whole(input, buffer)) {
            return 1;
        }
    }
    return write_length(argv[1], std::atoll(argv[2]), buffer) ? 0 : 1;
}
