// Runs a command several times and prints the median wall time in seconds
// and the peak resident memory of any run in KiB, as "MEDIAN_S PEAK_KIB".
// The command's standard output goes to /dev/null; a run that fails ends the
// measurement with status 1.
//
//   bench_measure RUNS COMMAND [ARGS...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_measure RUNS COMMAND [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    std::vector<double> times;
    long peak_kib = 0;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDOUT_FILENO);
            execvp(argv[2], argv + 2);
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) {
            std::perror("bench_measure");
            return 1;
        }
        const auto end = std::chrono::steady_clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "bench_measure: %s failed\n", argv[2]);
            return 1;
        }
        times.push_back(std::chrono::duration<double>(end - start).count());
        peak_kib = std::max(peak_kib, usage.ru_maxrss);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.4f %ld\n", times[times.size() / 2], peak_kib);
    return 0;
}
