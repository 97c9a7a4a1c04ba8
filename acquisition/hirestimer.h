#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>

class QSocketNotifier;
class QTimer;

namespace tervalo {

// The named high-resolution timer that paces continuous acquisition. It keeps any number of
// timers, each known by a key; an enabled timer raises Timer(key) once per interval on the thread
// that created this object (the window thread), through its event loop.
//
// Ticks lie on a fixed grid: tick n of a run falls at start + n x interval, each one scheduled
// from the run's start on a monotonic clock, never from the previous tick. Late wake-ups therefore
// never add up, and a log taken at 3 samples a second for a day still has its samples where the
// user expects them. If the event loop was held up past several ticks, only one tick is raised
// when it gets going again and the next follows on the grid; a burst of catch-up requests would
// only make the card drop them.
//
// On Linux each timer is a timerfd set to the absolute time of its next grid point on
// CLOCK_MONOTONIC, the same clock the grid is kept on, and watched by the event loop: one wake-up
// per tick, within microseconds of the grid point on an idle machine. Elsewhere, and should the
// system refuse a timerfd, Qt's timers are used: they count whole milliseconds, so a tick comes
// within about half a millisecond of its grid point and takes two wake-ups. On Windows the
// counterpart of the timerfd would be a high-resolution waitable timer
// (CreateWaitableTimerEx with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, set to an absolute due time)
// watched by a QWinEventNotifier; it is left for the day the window program is built for Windows.
//
// Intervals are whole milliseconds from 200 (five samples a second) to 3600000 (one an hour);
// others are clamped into that range rather than refused, so a timer never spins at 0 ms and a
// caller never ends up with no timer at all.
class HiResTimer : public QObject
{
    Q_OBJECT
public:
    static constexpr int minimumIntervalMs = 200;
    static constexpr int maximumIntervalMs = 3600000;

    explicit HiResTimer(QObject *parent = nullptr);
    ~HiResTimer() override;

    // Adds a disabled timer. Adding a key that exists replaces it: it is disabled and takes the
    // new interval.
    void Add(const QString &key, int intervalMs);

    // Changes the interval and leaves the timer enabled or disabled as it was. A running timer
    // keeps its last tick (or its start, before the first tick) and raises the next one a new
    // interval after it, then every new interval from there; if that moment has passed already,
    // the tick is raised at once.
    void setInterval(const QString &key, int intervalMs);

    // Enabling starts a run: the first tick comes one full interval later. Enabling a timer that
    // is already enabled changes nothing; in particular it does not restart the interval, so a
    // caller that re-asserts the state cannot starve the ticks.
    void setEnabled(const QString &key, bool enabled);

    // 0 and false for a key that was never added. Unknown keys are ignored by the setters.
    int interval(const QString &key) const;
    bool isEnabled(const QString &key) const;

signals:
    void Timer(const QString &sKey);

private:
    struct Entry
    {
        QTimer *timer = nullptr;              // when there is no timerfd
        int fd = -1;                          // the timerfd, on Linux
        QSocketNotifier *notifier = nullptr;  // reports the timerfd's expiry
        qint64 intervalNs = 0;
        bool enabled = false;
        qint64 originNs = 0; // grid origin of the current run, on nowNs()'s clock
        qint64 ticks = 0;    // grid index of the last tick raised in this run
    };

    static qint64 nextTickNs(const Entry &entry);
    qint64 nowNs() const;
    void tick(const QString &key);
    void timerFdReady(const QString &key);
    void schedule(Entry &entry, qint64 nowNs);
    static void stop(Entry &entry);

    QElapsedTimer m_clock; // the grid's clock where there is no CLOCK_MONOTONIC
    std::map<QString, Entry> m_entries;
};

// Asks for the scheduling priorities the program runs at: the window thread's priority relative
// to its process, and the process' priority class, in the values of the Windows scheme. The
// result is never reported; the program runs at whatever the system grants.
void SetPriority(int32_t lThreadPriority, int32_t lClassPriority);

} // namespace tervalo
