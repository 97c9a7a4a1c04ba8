#include "logger/cardlogger.h"

#include "acquisition/ratetable.h"
#include "device/portholder.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/stat.h>

namespace tervalo {

namespace {

QString readingsText(qint64 count)
{
    return count == 1 ? QStringLiteral("1 reading") : QStringLiteral("%1 readings").arg(count);
}

} // namespace

CardLogger::CardLogger(FILE *out, FILE *err, QObject *parent)
    : QObject(parent), m_out(out), m_err(err)
{
    AcquisitionSession *session = m_session.session();
    connect(session, &AcquisitionSession::readingTaken, this, &CardLogger::readingTaken);
    connect(session, &AcquisitionSession::problem, this, &CardLogger::problem);
    connect(session, &AcquisitionSession::runEnded, this, &CardLogger::runEnded);
    connect(session, &AcquisitionSession::stateChanged, this, &CardLogger::stateChanged);
}

bool CardLogger::start(const LoggerOptions &options, const PortChoice &port)
{
    m_logFile = options.logFile;
    m_device = port.device;
    m_address = options.address;
    m_keepRunning = options.keepRunning;
    m_quiet = options.quiet;

    QStringList channels;
    for (int i = 0; i < channelCount; ++i) {
        if (options.checked[size_t(i)])
            channels << QString::number(i + 1);
    }
    QString rate = QStringLiteral("%1 ms").arg(options.intervalMs);
    for (const SampleRate &r : sampleRates) {
        if (r.intervalMs == options.intervalMs)
            rate = QString::fromLatin1(r.code.data(), qsizetype(r.code.size()));
    }
    message(Level::Info,
            QStringLiteral("%1 reading %2 (port %3), address %4, unit %5, rate %6, channels %7, log %8")
                .arg(QCoreApplication::applicationVersion(), port.device,
                     port.portNumber > 0 ? QString::number(port.portNumber) : QStringLiteral("-"),
                     options.address, options.unit, rate, channels.join(QLatin1Char(',')),
                     options.logFile.isEmpty() ? QStringLiteral("none")
                                               : QFileInfo(options.logFile).absoluteFilePath()));

    // The number is the port's in today's numbering, or a stand-in: only this device opens.
    const int number = port.portNumber > 0 ? port.portNumber : 1;
    const QString failure = m_session.call([&options, &port, number](AcquisitionSession &s) {
        s.setSetup({options.address, options.unit, options.checked});
        s.setInterval(options.intervalMs);
        s.setKeepRunning(options.keepRunning);
        s.setLimits(options.count, options.durationMs);
        s.setLogFile(options.logFile);
        s.setTimeStyle(options.timeStyle);
        s.fixPortDevice(number, port.device);
        if (!s.preparePort(number))
            return s.openError().isEmpty() ? QStringLiteral("does not open") : s.openError();
        // Like a continuous run in the window: the first reading one interval after the start.
        s.startRun();
        return QString();
    });
    if (!failure.isEmpty()) {
        const std::optional<PortHolder> holder = portHolder(port.device);
        message(Level::Error, QStringLiteral("cannot open: %1: %2").arg(port.device, holder ? holderText(*holder) : failure));
        return false;
    }
    if (options.header && m_printing) {
        std::fprintf(m_out, "%s\n", qPrintable(recordHeader()));
        std::fflush(m_out);
    }
    return true;
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
        message(Level::Error, QStringLiteral("%1 of %2 records could not be written: %3")
                                  .arg(m_lostRecords).arg(m_readings).arg(m_logFile));
        status = 1;
    }
    m_session.call([](AcquisitionSession &s) {
        s.stopRun();
        s.releasePort();
    });
    if (status == 0)
        message(Level::Info, QStringLiteral("ended after %1").arg(readingsText(m_readings)));
    emit finished(status);
}

void CardLogger::problem(const SessionProblem &problem)
{
    // With --keep-running the run outlives a failure of the card or the line: a warning. Without
    // it the failure ends the run: an error. A record lost is an error either way.
    const Level level = m_keepRunning ? Level::Warning : Level::Error;
    const QString why = problem.detail.isEmpty() ? QString() : QStringLiteral(": ") + problem.detail;
    switch (problem.kind) {
    case SessionProblem::Kind::Timeout:
        ++m_missed;
        message(level, QStringLiteral("no answer from the card at address %1: %2").arg(m_address, m_device));
        break;
    case SessionProblem::Kind::SendFailed:
        ++m_missed;
        message(level, QStringLiteral("cannot send to the card: %1%2").arg(m_device, why));
        break;
    case SessionProblem::Kind::OpenFailed: {
        ++m_missed;
        const std::optional<PortHolder> holder = portHolder(m_device);
        message(level, QStringLiteral("cannot open: %1%2")
                           .arg(m_device, holder ? QStringLiteral(": ") + holderText(*holder) : why));
        break;
    }
    case SessionProblem::Kind::DeviceLost:
        ++m_missed;
        message(level, QStringLiteral("the device is gone: %1").arg(m_device));
        break;
    case SessionProblem::Kind::LogWrite:
        m_logFailing = true;
        message(Level::Error, QStringLiteral("cannot write the log: %1%2").arg(m_logFile, why));
        break;
    }
}

void CardLogger::message(Level level, const QString &text)
{
    if (level == Level::Info && m_quiet)
        return;
    // The same failure at every tick of a long outage is said once, not thousands of times.
    if (text == m_lastMessage)
        return;
    m_lastMessage = text;
    // The journal's priorities: 3 error, 4 warning, 6 informational.
    const char *priority = level == Level::Error ? "<3>" : level == Level::Warning ? "<4>" : "<6>";
    std::fprintf(m_err, "%stervalo-log: %s\n", m_journal ? priority : "", qPrintable(text));
    std::fflush(m_err);
}

void CardLogger::readingTaken(const CardReading &reading)
{
    if (m_finished)
        return;
    // The session has written the log first: it is the record that must not be lost, whatever
    // happens to the reader of the standard output.
    if (reading.logged && reading.logError != 0) {
        ++m_lostRecords;
    } else if (reading.logged && m_logFailing) {
        m_logFailing = false;
        message(Level::Info, QStringLiteral("the log takes records again: %1").arg(m_logFile));
    }
    if (m_missed > 0) {
        message(Level::Info, QStringLiteral("the card answers again: %1 (%2 missed)")
                                 .arg(m_device, readingsText(m_missed)));
        m_missed = 0;
    }
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

bool standardErrorIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const QList<QByteArray> parts = stream.split(':');
    struct stat info = {};
    if (parts.size() != 2 || ::fstat(2, &info) != 0)
        return false;
    return parts[0].toULongLong() == quint64(info.st_dev) && parts[1].toULongLong() == quint64(info.st_ino);
}

} // namespace tervalo
