#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

class QTimer;

namespace tervalo {

// The time an answer may take from the moment its request is written.
inline constexpr int answerTimeoutMs = 500;
// The key of the one named timer that paces continuous readings.
inline const QString commTimerKey = QStringLiteral("commTimer");

// Everything an acquisition session knows of time: the clocks it reads and the three timers it
// runs (the sampling grid, the answer's time-out and the end of a run of limited length). The
// program uses the real one; tests use one whose time moves only when they say so, so that a
// minute of sampling with faults runs in milliseconds.
class SessionClock : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // A steady count of milliseconds, for how long things took.
    virtual qint64 nowMs() const = 0;
    // The calendar time a record is stamped with.
    virtual QDateTime currentDateTime() const = 0;

    // The sampling grid "commTimer": a tick every interval, the first one interval after it is
    // enabled (see HiResTimer for how the ticks keep to the grid).
    virtual void setGridInterval(int intervalMs) = 0;
    virtual int gridInterval() const = 0;
    virtual void setGridEnabled(bool enabled) = 0;
    virtual bool gridEnabled() const = 0;

    // The answer's time-out: fires timeoutInterval() after it is started, and again every
    // timeoutInterval() while nobody stops it. Starting it while it runs changes nothing.
    virtual void startTimeout() = 0;
    // answerTimeoutMs, unless several cards share the grid's interval (see AcquisitionSession's
    // rounds); takes effect at the next start.
    virtual void setTimeoutInterval(int ms) { m_timeoutMs = ms; }
    int timeoutInterval() const { return m_timeoutMs; }
    virtual void stopTimeout() = 0;
    virtual bool timeoutActive() const = 0;

    // The end of a run of limited length, any number of milliseconds away; 0 or less: none.
    virtual void setDeadline(qint64 fromNowMs) = 0;

signals:
    void Timer(const QString &sKey);
    void timeoutExpired();
    void deadlineReached();

private:
    int m_timeoutMs = answerTimeoutMs;
};

class HiResTimer;

// The clocks of the system and the program's timers: the grid on the high-resolution timer, the
// time-out on a precise Qt timer.
class SystemSessionClock : public SessionClock
{
    Q_OBJECT
public:
    explicit SystemSessionClock(QObject *parent = nullptr);

    qint64 nowMs() const override;
    QDateTime currentDateTime() const override { return QDateTime::currentDateTime(); }
    void setGridInterval(int intervalMs) override;
    int gridInterval() const override;
    void setGridEnabled(bool enabled) override;
    bool gridEnabled() const override;
    void startTimeout() override;
    void setTimeoutInterval(int ms) override;
    void stopTimeout() override;
    bool timeoutActive() const override;
    void setDeadline(qint64 fromNowMs) override;

private:
    void armDeadline();

    HiResTimer *m_grid;
    QTimer *m_timeout;
    QTimer *m_deadline;
    qint64 m_deadlineAtMs = 0; // on nowMs()'s clock; 0: none
};

} // namespace tervalo
