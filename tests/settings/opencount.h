#pragma once

// How often a file is opened while something runs, counted by the kernel (inotify), for the
// tests and the benchmark of the store's reads.

#include <filesystem>
#include <functional>

#include <sys/inotify.h>
#include <unistd.h>

// -1 when the file cannot be watched.
inline int opensDuring(const std::filesystem::path &file, const std::function<void()> &run)
{
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, file.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) < 0) {
        if (watch >= 0)
            close(watch);
        run();
        return -1;
    }
    run();
    int opens = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;)
        for (char *p = buffer; p < buffer + n;
             p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
            // Closes are watched too: the same event twice in a row is reported once.
            opens += (reinterpret_cast<inotify_event *>(p)->mask & IN_OPEN) != 0;
    close(watch);
    return opens;
}
