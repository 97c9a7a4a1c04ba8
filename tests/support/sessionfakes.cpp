#include "tests/support/sessionfakes.h"

#include "device/commerror.h"

#include <QSerialPort>

namespace tervalo::test {

void FakeClock::setGridEnabled(bool enabled)
{
    if (enabled && !m_gridOn)
        m_gridNext = m_now + m_interval;
    m_gridOn = enabled;
}

void FakeClock::startTimeout()
{
    if (m_timeoutOn)
        return;
    m_timeoutOn = true;
    m_timeoutNext = m_now + timeoutInterval();
}

void FakeClock::at(qint64 afterMs, std::function<void()> event)
{
    m_events.emplace(m_now + afterMs, std::move(event));
}

void FakeClock::advance(qint64 ms)
{
    const qint64 until = m_now + ms;
    for (;;) {
        // What falls due first; on a tie the line before the time-out before the grid, as a
        // character already there is read before a timer that fires at the same moment.
        qint64 next = until + 1;
        int kind = -1;
        if (!m_events.empty() && m_events.begin()->first < next) {
            next = m_events.begin()->first;
            kind = 0;
        }
        if (m_timeoutOn && m_timeoutNext < next) {
            next = m_timeoutNext;
            kind = 1;
        }
        if (m_gridOn && m_gridNext < next) {
            next = m_gridNext;
            kind = 2;
        }
        if (m_deadline >= 0 && m_deadline < next) {
            next = m_deadline;
            kind = 3;
        }
        if (kind < 0)
            break;
        m_now = std::max(m_now, next);
        switch (kind) {
        case 0: {
            auto event = std::move(m_events.begin()->second);
            m_events.erase(m_events.begin());
            event();
            break;
        }
        case 1:
            m_timeoutNext += timeoutInterval();
            emit timeoutExpired();
            break;
        case 2:
            m_gridNext += m_interval;
            emit Timer(commTimerKey);
            break;
        case 3:
            m_deadline = -1;
            emit deadlineReached();
            break;
        }
    }
    m_now = until;
}

void FakeLine::setPortOpen(bool open)
{
    if (open && !openable.contains(m_port))
        throw CommError(commDriverErrorBase + int(QSerialPort::DeviceNotFoundError),
                        QStringLiteral("No such port"));
    m_open = open;
    m_buffer.clear();
    m_awaited = 0;
}

void FakeLine::setOutput(const QString &text)
{
    if (!m_open)
        throw CommError(commPortNotOpen, QStringLiteral("Port is not open"));
    if (failWrites)
        throw CommError(commDriverErrorBase + int(QSerialPort::WriteError),
                        QStringLiteral("Write refused"));
    written.append(text);
    if (onWrite)
        onWrite(text);
}

QString FakeLine::Input()
{
    const QString text = m_buffer;
    m_buffer.clear();
    return text;
}

void FakeLine::setInBufferCount(int)
{
    m_buffer.clear();
    ++discards;
}

void FakeLine::receive(const QString &text)
{
    if (!m_open)
        return;
    for (QChar c : text) {
        m_buffer.append(c);
        m_event = comEvReceive;
        emit OnComm();
    }
}

void FakeLine::hangUp()
{
    if (!m_open)
        return;
    m_open = false;
    m_buffer.clear();
    m_event = comEventDeviceLost;
    emit OnComm();
    emit deviceLost();
}

QString cardAnswer(const QStringList &readings)
{
    QString answer = QStringLiteral("T0");
    for (const QString &reading : readings)
        answer += (reading.size() == 5 ? reading : QLatin1Char('0') + reading.right(4));
    return answer;
}

} // namespace tervalo::test
