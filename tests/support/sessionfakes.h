#pragma once

// A scripted serial line and a clock whose time moves only when a test says so: the exchange and
// the acquisition session run on them in milliseconds, with every fault a real bench has.

#include "acquisition/sessionclock.h"
#include "device/cardline.h"

#include <QDateTime>
#include <QSet>
#include <QStringList>

#include <functional>
#include <map>

namespace tervalo::test {

class FakeClock : public SessionClock
{
    Q_OBJECT
public:
    qint64 nowMs() const override { return m_now; }
    QDateTime currentDateTime() const override { return m_start.addMSecs(m_now); }

    void setGridInterval(int intervalMs) override { m_interval = intervalMs; }
    int gridInterval() const override { return m_interval; }
    void setGridEnabled(bool enabled) override;
    bool gridEnabled() const override { return m_gridOn; }
    void startTimeout() override;
    void stopTimeout() override { m_timeoutOn = false; }
    bool timeoutActive() const override { return m_timeoutOn; }
    void setDeadline(qint64 fromNowMs) override { m_deadline = fromNowMs > 0 ? m_now + fromNowMs : -1; }

    // Something that happens afterMs from now (an answer arriving, the card unplugged).
    void at(qint64 afterMs, std::function<void()> event);
    // Lets time pass, raising every tick, time-out, deadline and scripted event on its way in
    // the order they fall due.
    void advance(qint64 ms);

private:
    QDateTime m_start = QDateTime(QDate(2026, 12, 8), QTime(10, 0));
    qint64 m_now = 0;
    int m_interval = 250;
    bool m_gridOn = false;
    qint64 m_gridNext = 0;
    bool m_timeoutOn = false;
    qint64 m_timeoutNext = 0;
    qint64 m_deadline = -1;
    std::multimap<qint64, std::function<void()>> m_events;
};

// The card's line: what was written, what arrives, and its failures.
class FakeLine : public CardLine
{
    Q_OBJECT
public:
    void setSettings(const QString &) override {}
    void setInputLen(int) override {}
    void setRThreshold(int) override {}
    void setCommPort(int portNumber) override { m_port = portNumber; }
    bool PortOpen() const override { return m_open; }
    void setPortOpen(bool open) override;
    void setOutput(const QString &text) override;
    QString Input() override;
    int InBufferCount() const override { return int(m_buffer.size()); }
    void setInBufferCount(int count) override;
    int CommEvent() const override { return m_event; }
    void setCharactersAwaited(int count) override { m_awaited = count; }
    int fixPortNumbering() override { return highestPortNumber(); }
    int highestPortNumber() const override { return 3; }
    void fixPortDevice(int, const QString &) override {}
    QString device() const override { return m_open ? QStringLiteral("fake%1").arg(m_port) : QString(); }

    // Characters arriving, one notification each, as the serial control raises them.
    void receive(const QString &text);
    // The line hangs up under the open port.
    void hangUp();

    QSet<int> openable{1, 2}; // the ports that open now
    bool failWrites = false;  // the control refuses the output
    QStringList written;      // every request sent
    std::function<void(const QString &)> onWrite; // the card hearing a request
    int discards = 0;         // how often the buffer was cleared
    int awaited() const { return m_awaited; }

private:
    bool m_open = false;
    int m_port = 1;
    QString m_buffer;
    int m_event = 0;
    int m_awaited = 0;
};

// A whole answer of the card: two leading characters and six fields of status and reading.
QString cardAnswer(const QStringList &readings = {QStringLiteral("0231"), QStringLiteral("0232"),
                                                  QStringLiteral("0233"), QStringLiteral("0234"),
                                                  QStringLiteral("0235"), QStringLiteral("0236")});

} // namespace tervalo::test
