#include "logger/cardlogger.h"

#include "device/commerror.h"

#include <QDateTime>

#include <limits>

namespace tervalo {

namespace {

const QString tickKey = QStringLiteral("commTimer");

// The time an answer may take, as in the window.
QTimer &answerTimeout(QTimer &timer)
{
    timer.setInterval(500);
    return timer;
}

} // namespace

CardLogger::CardLogger(FILE *out, FILE *err, QObject *parent)
    : QObject(parent), m_out(out), m_err(err), m_exchange(m_comm, answerTimeout(m_timeout))
{
    // The same time-out as the window: a coarse timer could cut off an answer arriving in time.
    m_timeout.setTimerType(Qt::PreciseTimer);
    m_timeout.setSingleShot(false);
    connect(&m_timeout, &QTimer::timeout, this, &CardLogger::timedOut);
    connect(&m_comm, &MSComm::OnComm, this, &CardLogger::received);
    connect(&m_comm, &MSComm::deviceLost, this, &CardLogger::deviceLost);
    connect(&m_timer, &HiResTimer::Timer, this, &CardLogger::tick);
    m_duration.setSingleShot(true);
    m_duration.setTimerType(Qt::PreciseTimer);
    connect(&m_duration, &QTimer::timeout, this, &CardLogger::stop);
}

QList<ProbedPort> CardLogger::probePorts()
{
    return m_exchange.probePorts(m_comm.fixPortNumbering());
}

bool CardLogger::start(const LoggerSetup &setup)
{
    m_setup = setup;
    if (!m_setup.logFile.isEmpty())
        m_log.start(m_setup.logFile);
    m_timer.Add(tickKey, m_setup.intervalMs);
    if (!m_exchange.openPort(m_setup.portNumber))
        return false;
    // Like a continuous run in the window: the first reading one interval after the start.
    m_timer.setEnabled(tickKey, true);
    if (m_setup.durationMs > 0)
        m_duration.start(int(qMin<qint64>(m_setup.durationMs, std::numeric_limits<int>::max())));
    return true;
}

void CardLogger::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_timer.setEnabled(tickKey, false);
    finishWhenIdle();
}

void CardLogger::finishWhenIdle()
{
    if (m_exchange.outstandingRequests() == 0)
        finish(m_status);
}

void CardLogger::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    // Records that never reached the log make the run a failure, however it ended.
    if (m_lostRecords > 0) {
        std::fprintf(m_err, "tervalo-log: %lld records could not be written to %s\n",
                     static_cast<long long>(m_lostRecords), qPrintable(m_setup.logFile));
        status = 1;
    }
    m_timer.setEnabled(tickKey, false);
    m_timeout.stop();
    m_duration.stop();
    m_exchange.closePort();
    emit finished(status);
}

void CardLogger::message(const QString &text)
{
    // The same failure at every tick of a long outage is said once, not thousands of times.
    if (text == m_lastMessage)
        return;
    m_lastMessage = text;
    std::fprintf(m_err, "%s\n", qPrintable(text));
    std::fflush(m_err);
}

void CardLogger::tick()
{
    if (m_stopping)
        return;
    try {
        if (m_reopen) {
            // The same number, hence the same device: never another card.
            if (!m_exchange.openPort(m_setup.portNumber)) {
                message(lostDeviceText());
                return;
            }
            m_reopen = false;
        }
        m_exchange.sendRequest(m_setup.address, m_setup.unit);
    } catch (const CommError &error) {
        sendFailed(error.code());
    }
}

void CardLogger::received()
{
    if (m_comm.CommEvent() != MSComm::comEvReceive)
        return;
    const std::optional<QString> answer = m_exchange.takeAnswer();
    if (!answer)
        return;
    const CardReading reading =
        decodeAnswer(*answer, m_setup.checked, QDateTime::currentDateTime(), m_setup.unit);
    // The log first: it is the record that must not be lost, whatever happens to the reader of
    // the standard output.
    if (!m_setup.logFile.isEmpty()) {
        if (const int error = m_log.append(reading.record); error != 0) {
            ++m_lostRecords;
            message(writeErrorText(error));
        } else {
            m_lastMessage.clear(); // the next failure is news again
        }
    } else {
        m_lastMessage.clear();
    }
    if (m_printing) {
        const QByteArray line = reading.record.toLocal8Bit() + '\n';
        if (std::fwrite(line.constData(), 1, size_t(line.size()), m_out) != size_t(line.size()) ||
            std::fflush(m_out) != 0) {
            // Whoever read the records has gone (a closed pipe): a log goes on without them,
            // a run that only printed has nobody left to tell.
            m_printing = false;
            std::clearerr(m_out);
            if (m_setup.logFile.isEmpty())
                stop();
        }
    }
    ++m_readings;
    if (m_setup.count > 0 && m_readings >= m_setup.count)
        stop();
    if (m_stopping)
        finishWhenIdle();
}

void CardLogger::timedOut()
{
    message(timeoutText());
    m_exchange.timedOut();
    if (m_stopping) {
        finish(m_status);
    } else if (!m_setup.keepRunning) {
        m_status = 1;
        finish(m_status);
    }
}

void CardLogger::deviceLost()
{
    // The exchange has already forgotten the requests; the port is closed.
    message(lostDeviceText());
    if (m_stopping) {
        finish(m_status);
    } else if (m_setup.keepRunning) {
        m_reopen = true;
    } else {
        m_status = 1;
        finish(m_status);
    }
}

void CardLogger::sendFailed(int code)
{
    message(sendFailureText(code));
    if (m_setup.keepRunning) {
        m_exchange.closePort();
        m_reopen = true;
    } else {
        m_status = 1;
        finish(m_status);
    }
}

} // namespace tervalo
