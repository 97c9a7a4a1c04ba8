// The least a reader of the card can do: plain POSIX, no Qt, no event loop. It asks for a
// reading on an absolute clock grid, waits for the 32-character answer with poll() and read(),
// and decodes the six fields. acquisition_bench runs it next to the program, against the same
// simulator, so that the program's figures can be read as ratios to this floor instead of as
// absolute numbers from whatever machine happened to run them.
//
//   reference_reader --link PATH [--rate-ms 333] [--seconds 60] [--address 0] [--unit r]
//                    [--vmin] [--nice N]
//
// With --vmin the line discipline is asked to hold the answer back until every missing
// character is there (VMIN, VTIME 0), so the reader wakes once per answer instead of once per
// character: the floor for the wake-up cost of a paced line.
//
// The figures are printed as "result <key> <value>" lines, the same keys acquisition_bench
// prints for the program's run.

#include "bench/processcpu.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using tervalo::bench::cpuSeconds;

namespace {

constexpr int answerLength = 32;
constexpr int fieldCount = 6;
constexpr int answerTimeoutMs = 500;

struct Options
{
    std::string link;
    double rateMs = 333;
    double seconds = 60;
    int address = 0;
    char unit = 'r';
    bool vmin = false;
    bool setNice = false;
    int nice = 0;
};

[[noreturn]] void usage(const char *message)
{
    std::fprintf(stderr,
                 "reference_reader: %s\n"
                 "usage: reference_reader --link PATH [--rate-ms 333] [--seconds 60] "
                 "[--address 0-7] [--unit r|c|f] [--vmin] [--nice N]\n",
                 message);
    std::exit(2);
}

Options parseOptions(int argc, char *argv[])
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--link")
            o.link = value();
        else if (arg == "--rate-ms")
            o.rateMs = std::atof(value());
        else if (arg == "--seconds")
            o.seconds = std::atof(value());
        else if (arg == "--address")
            o.address = std::atoi(value());
        else if (arg == "--unit")
            o.unit = value()[0];
        else if (arg == "--vmin")
            o.vmin = true;
        else if (arg == "--nice") {
            o.setNice = true;
            o.nice = std::atoi(value());
        } else if (arg == "--help" || arg == "-h")
            usage("reads the card (or its simulator) at a fixed rate");
        else if (o.link.empty() && arg[0] != '-')
            o.link = arg;
        else
            usage(("unknown option " + arg).c_str());
    }
    if (o.link.empty())
        usage("give the simulator's link with --link");
    if (o.rateMs <= 0 || o.seconds <= 0)
        usage("--rate-ms and --seconds must be positive");
    if (o.address < 0 || o.address > 7)
        usage("--address must be 0 to 7");
    if (o.unit != 'r' && o.unit != 'c' && o.unit != 'f')
        usage("--unit must be r, c or f");
    return o;
}

std::int64_t nowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

timespec toTimespec(std::int64_t ns)
{
    return timespec{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

// From /proc rather than getrusage: ru_maxrss survives exec, so a reader started by a larger
// process would report its parent's peak.
double peakRssMb()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    double kb = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kb = std::atof(line + 6);
    }
    std::fclose(status);
    return kb / 1024.0;
}

// Same rank rule as acquisition_bench, so that both sides' percentiles mean the same thing.
double percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(std::max(0.0, std::ceil(q * double(values.size())) - 1))];
}

bool setRaw(int fd, cc_t vmin)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B2400);
    ::cfsetospeed(&tio, B2400);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = vmin;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool setVmin(int fd, cc_t vmin)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    if (tio.c_cc[VMIN] == vmin)
        return true;
    tio.c_cc[VMIN] = vmin;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

struct Reading
{
    bool open[fieldCount];
    double value[fieldCount];
};

// The answer: "T", the address digit, then six fields of a status character and 4 characters of
// reading. A header that does not match means the line carried something else.
bool decode(const char *answer, char address, Reading &out)
{
    if (answer[0] != 'T' || answer[1] != address)
        return false;
    for (int ch = 0; ch < fieldCount; ++ch) {
        const char *field = answer + 2 + 5 * ch;
        out.open[ch] = field[0] == '1';
        char text[5] = {field[1], field[2], field[3], field[4], 0};
        char *end = nullptr;
        out.value[ch] = std::strtod(text, &end);
        if (end == text)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    const Options opt = parseOptions(argc, argv);
    if (opt.setNice) {
        errno = 0;
        if (::setpriority(PRIO_PROCESS, 0, opt.nice) != 0)
            std::fprintf(stderr, "reference_reader: cannot set nice %d: %s\n", opt.nice,
                         std::strerror(errno));
    }
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);

    const int fd = ::open(opt.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "reference_reader: cannot open %s: %s\n", opt.link.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (!setRaw(fd, opt.vmin ? answerLength : 0)) {
        std::fprintf(stderr, "reference_reader: cannot set up %s: %s\n", opt.link.c_str(),
                     std::strerror(errno));
        return 1;
    }

    const char address = char('0' + opt.address);
    const char request[4] = {'t', address, opt.unit, 'a'};
    const std::int64_t intervalNs = std::llround(opt.rateMs * 1e6);
    const std::int64_t runNs = std::llround(opt.seconds * 1e9);

    std::printf("reference_reader: %.0f ms for %.0f s, %s, %s, nice %d\n", opt.rateMs,
                opt.seconds, opt.link.c_str(), opt.vmin ? "VMIN wait" : "poll wait", nice);
    std::fflush(stdout);

    std::vector<double> gridErrorMs;
    std::vector<double> periodErrorMs;
    std::vector<double> latencyMs;
    size_t requests = 0;
    size_t answers = 0;
    size_t timeouts = 0;
    size_t badAnswers = 0;
    volatile double sink = 0; // keeps the decode from being optimised away

    const double cpuBefore = cpuSeconds();
    const std::int64_t startNs = nowNs();
    std::int64_t previousNs = startNs;
    // Request n is due at start + n x interval, counted from 1 as the program's first request
    // goes out one interval after the start.
    for (std::int64_t n = 1; n * intervalNs <= runNs; ++n) {
        const std::int64_t dueNs = startNs + n * intervalNs;
        const timespec due = toTimespec(dueNs);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        // Nothing is outstanding here, so whatever is buffered is a stray or a late answer.
        ::tcflush(fd, TCIFLUSH);
        const std::int64_t sentNs = nowNs();
        if (::write(fd, request, sizeof request) != ssize_t(sizeof request)) {
            std::fprintf(stderr, "reference_reader: write: %s\n", std::strerror(errno));
            break;
        }
        ++requests;
        gridErrorMs.push_back(std::abs(double(sentNs - dueNs)) / 1e6);
        periodErrorMs.push_back(std::abs(double(sentNs - previousNs - intervalNs)) / 1e6);
        previousNs = sentNs;

        char answer[answerLength];
        int have = 0;
        std::int64_t lastCharNs = 0;
        const std::int64_t deadlineNs = sentNs + std::int64_t(answerTimeoutMs) * 1'000'000;
        while (have < answerLength) {
            const std::int64_t leftNs = deadlineNs - nowNs();
            if (leftNs <= 0)
                break;
            if (opt.vmin)
                setVmin(fd, cc_t(answerLength - have));
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int((leftNs + 999'999) / 1'000'000));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            const ssize_t got = ::read(fd, answer + have, size_t(answerLength - have));
            if (got > 0) {
                have += int(got);
                lastCharNs = nowNs();
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                std::fprintf(stderr, "reference_reader: read: %s\n", std::strerror(errno));
                break;
            }
        }
        if (have < answerLength) {
            ++timeouts;
            continue;
        }
        Reading reading{};
        const bool ok = decode(answer, address, reading);
        const std::int64_t decodedNs = nowNs();
        if (!ok) {
            ++badAnswers;
            continue;
        }
        sink = sink + reading.value[0];
        ++answers;
        latencyMs.push_back(double(decodedNs - lastCharNs) / 1e6);
    }
    const double wallSeconds = double(nowNs() - startNs) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    ::close(fd);

    const double cpuPerReadingMs = requests ? 1000.0 * cpu / double(requests) : 0;
    std::printf("\n  requests %zu, answers %zu, timeouts %zu, bad answers %zu, wall %.1f s\n",
                requests, answers, timeouts, badAnswers, wallSeconds);
    std::printf("  grid error p50 / p99 %.3f / %.3f ms, last character -> decoded p50 / p99 "
                "%.3f / %.3f ms, CPU %.3f ms a reading\n\n",
                percentile(gridErrorMs, 0.5), percentile(gridErrorMs, 0.99),
                percentile(latencyMs, 0.5), percentile(latencyMs, 0.99), cpuPerReadingMs);
    const auto result = [](const char *key, double value) {
        std::printf("result %s %.6g\n", key, value);
    };
    result("requests", double(requests));
    result("answers", double(answers));
    result("timeouts", double(timeouts));
    result("wall_s", wallSeconds);
    result("cpu_s", cpu);
    result("cpu_ms_per_reading", cpuPerReadingMs);
    result("cpu_percent", 100.0 * cpu / wallSeconds);
    result("grid_error_p50_ms", percentile(gridErrorMs, 0.5));
    result("grid_error_p99_ms", percentile(gridErrorMs, 0.99));
    result("grid_error_max_ms", percentile(gridErrorMs, 1.0));
    result("period_jitter_p99_ms", percentile(periodErrorMs, 0.99));
    result("latency_p50_ms", percentile(latencyMs, 0.5));
    result("latency_p99_ms", percentile(latencyMs, 0.99));
    result("peak_rss_mb", peakRssMb());
    result("nice", nice);
    std::fflush(stdout);
    return requests > 0 && answers > 0 ? 0 : 1;
}
