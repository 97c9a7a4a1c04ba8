#include "acquisition/sessionclock.h"

#include "acquisition/hirestimer.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace tervalo {

namespace {

// The grid's interval until a rate is applied.
constexpr int commTimerStartIntervalMs = 250;

// Qt's timers take an int of milliseconds; a run limited to a month is reached in steps of a day.
constexpr qint64 longestWaitMs = 24LL * 3600 * 1000;

} // namespace

SystemSessionClock::SystemSessionClock(QObject *parent)
    : SessionClock(parent), m_grid(new HiResTimer(this)), m_timeout(new QTimer(this)),
      m_deadline(new QTimer(this))
{
    // Named as the window once named them, so that they can be found the same way.
    m_grid->setObjectName(QStringLiteral("hiResTimer"));
    m_timeout->setObjectName(QStringLiteral("tmrTimeout"));
    m_grid->Add(commTimerKey, commTimerStartIntervalMs);
    connect(m_grid, &HiResTimer::Timer, this, &SessionClock::Timer);
    m_timeout->setInterval(answerTimeoutMs);
    // A coarse timer may end the wait up to 25 ms early and cut off an answer that arrives in
    // time.
    m_timeout->setTimerType(Qt::PreciseTimer);
    connect(m_timeout, &QTimer::timeout, this, &SessionClock::timeoutExpired);
    m_deadline->setSingleShot(true);
    m_deadline->setTimerType(Qt::PreciseTimer);
    connect(m_deadline, &QTimer::timeout, this, &SystemSessionClock::armDeadline);
}

qint64 SystemSessionClock::nowMs() const
{
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

void SystemSessionClock::setGridInterval(int intervalMs)
{
    m_grid->setInterval(commTimerKey, intervalMs);
}

int SystemSessionClock::gridInterval() const
{
    return m_grid->interval(commTimerKey);
}

void SystemSessionClock::setGridEnabled(bool enabled)
{
    m_grid->setEnabled(commTimerKey, enabled);
}

bool SystemSessionClock::gridEnabled() const
{
    return m_grid->isEnabled(commTimerKey);
}

void SystemSessionClock::startTimeout()
{
    if (!m_timeout->isActive())
        m_timeout->start();
}

void SystemSessionClock::setTimeoutInterval(int ms)
{
    // Qt restarts a running timer given an interval: a new rate chosen while an answer is awaited
    // must not give that answer longer.
    SessionClock::setTimeoutInterval(ms);
    if (m_timeout->interval() != ms)
        m_timeout->setInterval(ms);
}

void SystemSessionClock::stopTimeout()
{
    m_timeout->stop();
}

bool SystemSessionClock::timeoutActive() const
{
    return m_timeout->isActive();
}

void SystemSessionClock::setDeadline(qint64 fromNowMs)
{
    m_deadline->stop();
    m_deadlineAtMs = fromNowMs > 0 ? nowMs() + fromNowMs : 0;
    if (m_deadlineAtMs > 0)
        armDeadline();
}

void SystemSessionClock::armDeadline()
{
    if (m_deadlineAtMs <= 0)
        return;
    const qint64 remainingMs = m_deadlineAtMs - nowMs();
    if (remainingMs <= 0) {
        m_deadlineAtMs = 0;
        emit deadlineReached();
        return;
    }
    m_deadline->start(int(std::min(remainingMs, longestWaitMs)));
}

} // namespace tervalo
