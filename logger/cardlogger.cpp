#include "logger/cardlogger.h"

#include "common/branding.h"

namespace tervalo {

CardLogger::CardLogger(FILE *out, FILE *err, QObject *parent)
    : QObject(parent), m_out(out), m_err(err)
{
    AcquisitionSession *session = m_session.session();
    connect(session, &AcquisitionSession::readingTaken, this, &CardLogger::readingTaken);
    connect(session, &AcquisitionSession::statusText, this, &CardLogger::statusText);
    connect(session, &AcquisitionSession::runEnded, this, &CardLogger::runEnded);
    connect(session, &AcquisitionSession::stateChanged, this, &CardLogger::stateChanged);
}

QList<ProbedPort> CardLogger::probePorts()
{
    return m_session.call([](AcquisitionSession &s) { return s.probePorts(); });
}

bool CardLogger::start(const LoggerOptions &options, int portNumber)
{
    m_logFile = options.logFile;
    return m_session.call([&options, portNumber](AcquisitionSession &s) {
        s.setSetup({options.address, options.unit, options.checked});
        s.setInterval(options.intervalMs);
        s.setKeepRunning(options.keepRunning);
        s.setLimits(options.count, options.durationMs);
        s.setLogFile(options.logFile);
        if (!s.preparePort(portNumber))
            return false;
        // Like a continuous run in the window: the first reading one interval after the start.
        s.startRun();
        return true;
    });
}

void CardLogger::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    // Once nothing is awaited any more the session says it is idle; it may be so already.
    if (m_session.call([](AcquisitionSession &s) {
            s.stopRun();
            return s.state();
        }) == AcquisitionSession::State::Idle)
        finish(m_status);
}

void CardLogger::runEnded(int, bool failed)
{
    if (failed)
        m_status = 1;
    m_stopping = true;
}

void CardLogger::stateChanged(AcquisitionSession::State state)
{
    if (m_stopping && state == AcquisitionSession::State::Idle)
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
                     static_cast<long long>(m_lostRecords), qPrintable(m_logFile));
        status = 1;
    }
    m_session.call([](AcquisitionSession &s) {
        s.stopRun();
        s.releasePort();
    });
    emit finished(status);
}

void CardLogger::statusText(const QString &text)
{
    // An answer puts the default text back: the next failure is news again.
    if (text == defaultStatusText()) {
        m_lastMessage.clear();
        return;
    }
    message(text);
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

void CardLogger::readingTaken(const CardReading &reading)
{
    if (m_finished)
        return;
    // The session has written the log first: it is the record that must not be lost, whatever
    // happens to the reader of the standard output.
    if (reading.logged && reading.logError != 0)
        ++m_lostRecords;
    if (m_printing) {
        const QByteArray line = reading.record.toLocal8Bit() + '\n';
        if (std::fwrite(line.constData(), 1, size_t(line.size()), m_out) != size_t(line.size()) ||
            std::fflush(m_out) != 0) {
            // Whoever read the records has gone (a closed pipe): a log goes on without them,
            // a run that only printed has nobody left to tell.
            m_printing = false;
            std::clearerr(m_out);
            if (m_logFile.isEmpty())
                stop();
        }
    }
    ++m_readings;
}

} // namespace tervalo
