// Runs a command to its end and reports what it cost, in the "result <key> <value>" lines that
// acquisition_bench reads: CPU time (user and system, from wait4, to the microsecond), peak
// resident memory, and the number of lines the command wrote to standard output, which for
// tervalo-log is the number of readings. The command's own output is counted, not shown.
//
//   run_measured COMMAND [ARG]...
//
// Plain POSIX, so that nothing of it lands in the figures of the command it measures.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: run_measured COMMAND [ARG]...\n");
        return 2;
    }
    int out[2];
    if (::pipe(out) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execvp(argv[1], argv + 1);
        std::fprintf(stderr, "run_measured: cannot run %s: %s\n", argv[1], std::strerror(errno));
        ::_exit(127);
    }
    ::close(out[1]);
    long lines = 0;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (ssize_t i = 0; i < n; ++i)
            lines += buffer[i] == '\n';
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child)
        return 1;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("result requests %ld\nresult answers %ld\nresult cpu_s %.6f\n", lines, lines, cpu);
    std::printf("result cpu_ms_per_reading %.6g\n", lines ? 1000.0 * cpu / double(lines) : 0.0);
    std::printf("result peak_rss_mb %.3f\n", double(usage.ru_maxrss) / 1024.0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
