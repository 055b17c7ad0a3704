// Runs a command and prints its wall time, CPU time and peak resident memory
// to standard error as "peak: <wall s> <cpu s> <max rss KiB>". Linked
// statically and kept tiny: the kernel counts the memory a child had before
// its exec into its peak, so a large parent would inflate every figure.
#include <cstdio>
#include <ctime>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s command [args...]\n", argv[0]);
        return 2;
    }
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    if (posix_spawnp(&pid, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
        std::perror(argv[1]);
        return 127;
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) < 0) {
        std::perror("wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
    double cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    std::fprintf(stderr, "peak: %.3f %.3f %ld\n", wall, cpu, ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
