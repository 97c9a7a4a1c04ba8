#include "acquisition/hirestimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <optional>
#include <sys/resource.h>
#endif

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace tervalo {

namespace {

constexpr qint64 nsPerMs = 1000000;

// Qt's timers wait whole milliseconds from the moment they are started, so the last wait before
// a tick is rounded to the nearest millisecond: the tick lands within half a millisecond of its
// grid point instead of always up to a millisecond late. A wake-up that comes that little bit
// early is the tick it was set for, which this margin makes sure of.
constexpr qint64 earlyWakeMarginNs = nsPerMs;

// Linux lets a long wait for events end late by a thousandth of its length (at most 100 ms), so
// that it can batch wake-ups: a third of a millisecond at 3 samples a second, a tenth of a second
// at one a minute and slower. So a long wait is ended early, by more than that allowance, and the
// rest is waited again; the last wait, a few milliseconds, is late by microseconds at most.
constexpr qint64 finalWaitNs = 3 * nsPerMs;

// How long to wait, in ns to be cut to whole milliseconds, when the next tick is this far off.
qint64 nextWaitNs(qint64 remainingNs)
{
    if (remainingNs <= finalWaitNs)
        return remainingNs + nsPerMs / 2; // the last wait: to the nearest millisecond
    const qint64 leadNs = std::min<qint64>(remainingNs / 500, 150 * nsPerMs) + nsPerMs;
    return remainingNs - leadNs;
}

qint64 clampedIntervalNs(int intervalMs)
{
    return qint64(std::clamp(intervalMs, HiResTimer::minimumIntervalMs,
                             HiResTimer::maximumIntervalMs)) *
           nsPerMs;
}

#ifdef Q_OS_LINUX
timespec toTimespec(qint64 ns)
{
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}
#endif

} // namespace

// Windows would use a high-resolution waitable timer (CreateWaitableTimerExW with
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) set to an absolute due time, watched through a
// QWinEventNotifier; until then it takes the QTimer path below like any other system.

HiResTimer::HiResTimer(QObject *parent) : QObject(parent)
{
    m_clock.start();
}

HiResTimer::~HiResTimer()
{
    for (auto &[key, entry] : m_entries) {
        // The notifier goes first: the event loop must not be left watching a closed descriptor.
        delete entry.notifier;
#ifdef Q_OS_LINUX
        if (entry.fd >= 0)
            ::close(entry.fd);
#endif
    }
}

qint64 HiResTimer::nowNs() const
{
#ifdef Q_OS_LINUX
    // The clock the timerfds count on, read directly, so that a grid point computed here is the
    // very moment the kernel wakes us.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
#else
    return m_clock.nsecsElapsed();
#endif
}

void HiResTimer::Add(const QString &key, int intervalMs)
{
    Entry &entry = m_entries[key];
#ifdef Q_OS_LINUX
    if (entry.fd < 0 && !entry.timer) {
        entry.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (entry.fd >= 0) {
            entry.notifier = new QSocketNotifier(entry.fd, QSocketNotifier::Read, this);
            connect(entry.notifier, &QSocketNotifier::activated, this,
                    [this, key] { timerFdReady(key); });
        }
    }
#endif
    if (entry.fd < 0 && !entry.timer) {
        // One single-shot timer per key, started afresh for every tick so that each wait is
        // measured against the grid rather than against the previous wake-up.
        entry.timer = new QTimer(this);
        entry.timer->setSingleShot(true);
        entry.timer->setTimerType(Qt::PreciseTimer);
        connect(entry.timer, &QTimer::timeout, this, [this, key] { tick(key); });
    }
    stop(entry);
    entry.enabled = false;
    entry.intervalNs = clampedIntervalNs(intervalMs);
    entry.ticks = 0;
}

void HiResTimer::setInterval(const QString &key, int intervalMs)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    Entry &entry = it->second;
    const qint64 lastTickNs = entry.originNs + entry.ticks * entry.intervalNs;
    entry.intervalNs = clampedIntervalNs(intervalMs);
    if (!entry.enabled)
        return;
    entry.originNs = lastTickNs;
    entry.ticks = 0;
    schedule(entry, nowNs());
}

void HiResTimer::setEnabled(const QString &key, bool enabled)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.enabled == enabled)
        return;
    Entry &entry = it->second;
    entry.enabled = enabled;
    if (!enabled) {
        stop(entry);
        return;
    }
    entry.originNs = nowNs();
    entry.ticks = 0;
    schedule(entry, entry.originNs);
}

int HiResTimer::interval(const QString &key) const
{
    const auto it = m_entries.find(key);
    return it == m_entries.end() ? 0 : int(it->second.intervalNs / nsPerMs);
}

bool HiResTimer::isEnabled(const QString &key) const
{
    const auto it = m_entries.find(key);
    return it != m_entries.end() && it->second.enabled;
}

qint64 HiResTimer::nextTickNs(const Entry &entry)
{
    return entry.originNs + (entry.ticks + 1) * entry.intervalNs;
}

void HiResTimer::stop(Entry &entry)
{
#ifdef Q_OS_LINUX
    if (entry.fd >= 0) {
        // Disarming also drops an expiry not read yet, so a stopped timer raises nothing more.
        const itimerspec off{};
        ::timerfd_settime(entry.fd, 0, &off, nullptr);
        return;
    }
#endif
    entry.timer->stop();
}

void HiResTimer::schedule(Entry &entry, qint64 nowNs)
{
#ifdef Q_OS_LINUX
    if (entry.fd >= 0) {
        // Absolute, so the time spent getting here does not move the tick; a grid point already
        // past expires at once. Re-arming also drops an expiry of the old setting not read yet.
        itimerspec at{};
        at.it_value = toTimespec(std::max<qint64>(nextTickNs(entry), 1));
        ::timerfd_settime(entry.fd, TFD_TIMER_ABSTIME, &at, nullptr);
        return;
    }
#endif
    const qint64 remainingNs = nextTickNs(entry) - nowNs;
    entry.timer->start(remainingNs > 0 ? int(nextWaitNs(remainingNs) / nsPerMs) : 0);
}

void HiResTimer::tick(const QString &key)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || !it->second.enabled)
        return;
    Entry &entry = it->second;
    const qint64 nowNs = this->nowNs();
    if (nextTickNs(entry) - nowNs > nsPerMs / 2) {
        schedule(entry, nowNs); // only the early end of a long wait
        return;
    }
    // The grid point just reached. After a hold-up it lies several ticks on: the ones missed are
    // skipped, not made up for.
    const qint64 reached = (nowNs - entry.originNs + earlyWakeMarginNs) / entry.intervalNs;
    entry.ticks = std::max(reached, entry.ticks + 1);
    // Started before the event goes out: the wait counts from now, so however long the handlers
    // take, the next tick stays on the grid. Handlers may disable the timer or change it.
    schedule(entry, nowNs);
    emit Timer(key);
}

void HiResTimer::timerFdReady(const QString &key)
{
#ifdef Q_OS_LINUX
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    Entry &entry = it->second;
    // The count says how many grid points went by; however many, this wake-up raises one tick.
    // Nothing to read means the timer was re-armed or stopped after the kernel woke us.
    std::uint64_t expirations = 0;
    if (::read(entry.fd, &expirations, sizeof expirations) != sizeof expirations ||
        !entry.enabled)
        return;
    const qint64 nowNs = this->nowNs();
    // The grid point just reached: the kernel never wakes us before it, so no early margin is
    // needed. After a hold-up it lies several ticks on, and the ones missed are skipped.
    const qint64 reached = (nowNs - entry.originNs) / entry.intervalNs;
    entry.ticks = std::max(reached, entry.ticks + 1);
    schedule(entry, nowNs);
    emit Timer(key);
#else
    Q_UNUSED(key);
#endif
}

// The priorities belong with the timer: both are the platform's part in keeping the sampling on
// time.
void SetPriority(int32_t lThreadPriority, int32_t lClassPriority)
{
#ifdef _WIN32
    SetThreadPriority(GetCurrentThread(), lThreadPriority);
    SetPriorityClass(GetCurrentProcess(), DWORD(lClassPriority));
#else
    // Without the Windows scheme, the process class becomes a nice value, and nothing more: a
    // real-time scheduling policy would let a busy window thread freeze the whole desktop, and
    // the pacing does not need it: the sampling timer never drifts, whatever the nice value, and
    // a busy machine at worst makes a single tick late.
    // The real-time and high classes ask for nice -5, a step ahead of ordinary programs; an
    // unprivileged user is usually refused, and the program then runs at the nice it has.
    // The thread value maps to nothing. Lowering the window thread within its process only made
    // sense inside the real-time class, where it kept the window thread from starving the
    // system; here the window thread is the program, and under Linux setpriority on it already
    // sets that very thread's nice value (threads started later inherit it).
    Q_UNUSED(lThreadPriority);
    std::optional<int> nice;
    switch (lClassPriority) {
    case 0x40: // IDLE_PRIORITY_CLASS
        nice = 19;
        break;
    case 0x4000: // BELOW_NORMAL_PRIORITY_CLASS
        nice = 5;
        break;
    case 0x20: // NORMAL_PRIORITY_CLASS
        nice = 0;
        break;
    case 0x8000: // ABOVE_NORMAL_PRIORITY_CLASS
        nice = -2;
        break;
    case 0x80:  // HIGH_PRIORITY_CLASS
    case 0x100: // REALTIME_PRIORITY_CLASS
        nice = -5;
        break;
    default: // not a class the scheme knows: the priority stays as it is, as Windows would leave it
        break;
    }
    if (nice) {
        const int saved = errno;
        ::setpriority(PRIO_PROCESS, 0, *nice);
        errno = saved;
    }
#endif
}

} // namespace tervalo
