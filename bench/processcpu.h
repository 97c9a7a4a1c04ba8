#pragma once

#include <sys/resource.h>

namespace tervalo::bench {

// CPU time this process has used so far, user and system, in seconds. Plain C++ and POSIX, so
// the Qt-free reference reader and the program's benchmarks count it the same way.
inline double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace tervalo::bench
