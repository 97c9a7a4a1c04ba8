// Runs a command to its end and reports what it cost, in the "result <key> <value>" lines that
// acquisition_bench reads: CPU time (user and system, from wait4, to the microsecond), peak
// resident memory, and the number of lines the command wrote to standard output, which for
// tervalo-log is the number of readings. The command's own output is counted, not shown.
// The CPU time per reading leaves the start-up out, as the window's figure does: it counts from
// the first line on (the CPU used by then is read from the threads' schedstat) to the end.
//
//   run_measured COMMAND [ARG]...
//
// Plain POSIX, so that nothing of it lands in the figures of the command it measures.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// CPU time of all the threads of a running process so far, in seconds: the scheduler's own
// nanosecond count, the first field of each thread's schedstat.
double threadsCpuSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    double total = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (FILE *file = std::fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r")) {
            unsigned long long ns = 0;
            if (std::fscanf(file, "%llu", &ns) == 1)
                total += double(ns) / 1e9;
            std::fclose(file);
        }
    }
    ::closedir(dir);
    return total;
}

} // namespace

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
    double cpuAtFirstLine = -1;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (ssize_t i = 0; i < n; ++i)
            lines += buffer[i] == '\n';
        if (lines > 0 && cpuAtFirstLine < 0)
            cpuAtFirstLine = threadsCpuSeconds(child);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child)
        return 1;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("result requests %ld\nresult answers %ld\nresult cpu_s %.6f\n", lines, lines, cpu);
    std::printf("result startup_cpu_ms %.6g\n", 1000.0 * cpuAtFirstLine);
    std::printf("result cpu_ms_per_reading %.6g\n",
                lines > 1 && cpuAtFirstLine >= 0 ? 1000.0 * (cpu - cpuAtFirstLine) / double(lines - 1)
                                                 : 0.0);
    std::printf("result peak_rss_mb %.3f\n", double(usage.ru_maxrss) / 1024.0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
