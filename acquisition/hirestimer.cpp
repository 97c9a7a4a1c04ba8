#include "acquisition/hirestimer.h"

#include <QTimer>

#include <algorithm>

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

} // namespace

HiResTimer::HiResTimer(QObject *parent) : QObject(parent)
{
    m_clock.start();
}

HiResTimer::~HiResTimer() = default;

void HiResTimer::Add(const QString &key, int intervalMs)
{
    Entry &entry = m_entries[key];
    if (!entry.timer) {
        // One single-shot timer per key, started afresh for every tick so that each wait is
        // measured against the grid rather than against the previous wake-up.
        entry.timer = new QTimer(this);
        entry.timer->setSingleShot(true);
        entry.timer->setTimerType(Qt::PreciseTimer);
        connect(entry.timer, &QTimer::timeout, this, [this, key] { tick(key); });
    }
    entry.timer->stop();
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
    schedule(entry, m_clock.nsecsElapsed());
}

void HiResTimer::setEnabled(const QString &key, bool enabled)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.enabled == enabled)
        return;
    Entry &entry = it->second;
    entry.enabled = enabled;
    if (!enabled) {
        entry.timer->stop();
        return;
    }
    entry.originNs = m_clock.nsecsElapsed();
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

void HiResTimer::schedule(Entry &entry, qint64 nowNs)
{
    const qint64 remainingNs = nextTickNs(entry) - nowNs;
    entry.timer->start(remainingNs > 0 ? int(nextWaitNs(remainingNs) / nsPerMs) : 0);
}

void HiResTimer::tick(const QString &key)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || !it->second.enabled)
        return;
    Entry &entry = it->second;
    const qint64 nowNs = m_clock.nsecsElapsed();
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

} // namespace tervalo
