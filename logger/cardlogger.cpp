#include "logger/cardlogger.h"

#include "acquisition/ratetable.h"
#include "device/portholder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace tervalo {

namespace {

QString readingsText(qint64 count)
{
    return count == 1 ? QStringLiteral("1 reading") : QStringLiteral("%1 readings").arg(count);
}

// How long a run that is over waits for an --on-alarm command still running: long enough for
// a mail to go out, short enough that a hung command does not hold a service's stop.
constexpr int commandGraceMs = 10000;

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
    m_severalCards = options.addresses.size() > 1;
    m_keepRunning = options.keepRunning;
    m_quiet = options.quiet;
    for (const QString &address : options.addresses)
        m_alarms[address].setRules(options.alarmRules, options.alarmHysteresis, options.alarmDelay);
    m_onAlarm = options.onAlarm;

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
    const qsizetype rules = options.alarmRules.size();
    message(Level::Info,
            QStringLiteral(
                "%1 reading %2 (port %3), address %4, unit %5, rate %6, channels %7, log %8%9")
                .arg(QCoreApplication::applicationVersion(), port.device,
                     port.portNumber > 0 ? QString::number(port.portNumber) : QStringLiteral("-"),
                     options.addresses.join(QLatin1Char(',')), options.unit, rate,
                     channels.join(QLatin1Char(',')),
                     options.logFile.isEmpty() ? QStringLiteral("none")
                                               : QFileInfo(options.logFile).absoluteFilePath(),
                     rules == 0   ? QString()
                     : rules == 1 ? QStringLiteral(", 1 alarm rule")
                                  : QStringLiteral(", %1 alarm rules").arg(rules)));

    if (options.mqtt && !startPublishing(options, port.device))
        return false;

    // The number is the port's in today's numbering, or a stand-in: only this device opens.
    const int number = port.portNumber > 0 ? port.portNumber : 1;
    const QString failure = m_session.call([&options, &port, number](AcquisitionSession &s) {
        s.setSetup({options.address, options.unit, options.checked});
        if (options.addresses.size() > 1) {
            QList<RoundCard> cards;
            for (const QString &address : options.addresses)
                cards.append({address, cardLogFile(options.logFile, address)});
            s.setRound(cards);
        } else {
            s.setLogFile(cardLogFile(options.logFile, options.address));
        }
        s.setInterval(options.intervalMs);
        s.setKeepRunning(options.keepRunning);
        s.setLimits(options.count, options.durationMs);
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
        std::fprintf(m_out, "%s\n", qPrintable(recordHeader(m_severalCards)));
        std::fflush(m_out);
    }
    return true;
}

bool CardLogger::startPublishing(const LoggerOptions &options, const QString &device)
{
    m_mqttUrl = options.mqttUrl;
    m_mqtt = std::make_unique<MqttPublisher>(*options.mqtt);
    connect(m_mqtt.get(), &MqttPublisher::connectionChanged, this, &CardLogger::brokerChanged);
    // Said once an outage: how many went is told at the end.
    connect(m_mqtt.get(), &MqttPublisher::readingsDropped, this, [this] {
        if (!m_dropSaid)
            say(Level::Warning, QStringLiteral("the broker has been away too long: dropping the oldest "
                                               "readings kept for it: %1").arg(m_mqttUrl));
        m_dropSaid = true;
    });
    // Refused credentials or a certificate that does not verify will not mend themselves: the
    // run does not start. A broker that is merely not there yet is waited for.
    const QString refused = m_mqtt->start();
    if (!refused.isEmpty()) {
        message(Level::Error, QStringLiteral("cannot publish to the broker: %1: %2").arg(m_mqttUrl, refused));
        m_mqtt.reset();
        return false;
    }
    for (const QString &address : options.addresses)
        m_mqtt->announceCard(device, address, options.unit, options.checked);
    const QString prefix = options.mqtt->topicPrefix.isEmpty() ? defaultMqttTopicPrefix()
                                                               : options.mqtt->topicPrefix;
    m_brokerConnected = m_mqtt->connected();
    message(m_brokerConnected ? Level::Info : Level::Warning,
            QStringLiteral("%1 %2 as %3/%4/<address>/reading")
                .arg(m_mqtt->connected() ? QStringLiteral("publishing to")
                                         : QStringLiteral("the broker is not there yet; readings are kept for"),
                     m_mqttUrl, prefix, topicPortName(device)));
    return true;
}

void CardLogger::brokerChanged(bool connected, const QString &reason)
{
    if (connected == m_brokerConnected && connected)
        return;
    m_brokerConnected = connected;
    if (connected) {
        message(Level::Info, QStringLiteral("the broker takes readings again: %1 (%2 kept for it)")
                                 .arg(m_mqttUrl, readingsText(m_mqtt->queued())));
        m_dropSaid = false;
    } else {
        // The log goes on whatever the network does: a warning, never the end of the run.
        message(Level::Warning, QStringLiteral("cannot reach the broker: %1: %2; readings are kept for it")
                                    .arg(m_mqttUrl, reason));
    }
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
    if (m_mqtt) {
        // The broker gets a few seconds to take what is kept for it; the log has it all anyway.
        m_mqtt->stop();
        if (const qint64 lost = m_mqtt->queued() + m_mqtt->dropped(); lost > 0)
            message(Level::Warning, QStringLiteral("%1 of %2 readings did not reach the broker: %3")
                                        .arg(lost).arg(m_readings).arg(m_mqttUrl));
        m_mqtt.reset();
    }
    if (status == 0)
        message(Level::Info, QStringLiteral("ended after %1").arg(readingsText(m_readings)));
    m_status = status;
    // The command of the last alarm may be sending its news: it is given time to end, not cut.
    if (m_command && m_command->state() != QProcess::NotRunning) {
        message(Level::Info, QStringLiteral("waiting for the --on-alarm command to end"));
        QTimer::singleShot(commandGraceMs, this, [this] {
            if (m_command->state() == QProcess::NotRunning)
                return;
            m_commandStopped = true;
            say(Level::Warning,
                QStringLiteral("the --on-alarm command did not end within %1 s: stopped")
                    .arg(commandGraceMs / 1000));
            m_command->kill();
        });
        return;
    }
    m_finishedSent = true;
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
        ++m_missed[m_severalCards ? problem.address : QString()];
        message(level, QStringLiteral("no answer from the card at address %1: %2").arg(problem.address, m_device));
        break;
    case SessionProblem::Kind::SendFailed:
        ++m_missed[QString()];
        message(level, QStringLiteral("cannot send to the card: %1%2").arg(m_device, why));
        break;
    case SessionProblem::Kind::OpenFailed: {
        ++m_missed[QString()];
        const std::optional<PortHolder> holder = portHolder(m_device);
        message(level, QStringLiteral("cannot open: %1%2")
                           .arg(m_device, holder ? QStringLiteral(": ") + holderText(*holder) : why));
        break;
    }
    case SessionProblem::Kind::DeviceLost:
        ++m_missed[QString()];
        message(level, QStringLiteral("the device is gone: %1").arg(m_device));
        break;
    case SessionProblem::Kind::LogWrite:
        m_logFailing = true;
        message(Level::Error, QStringLiteral("cannot write the log: %1%2")
                                  .arg(problem.logFile.isEmpty() ? m_logFile : problem.logFile, why));
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
    say(level, text);
}

void CardLogger::say(Level level, const QString &text)
{
    if (level == Level::Info && m_quiet)
        return;
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
    if (const qint64 missed = m_missed.take(QString()); missed > 0) {
        message(Level::Info, QStringLiteral("the %1 answers again: %2 (%3 missed)")
                                 .arg(m_severalCards ? QStringLiteral("line") : QStringLiteral("card"),
                                      m_device, readingsText(missed)));
    }
    if (const qint64 missed = m_severalCards ? m_missed.take(reading.address) : 0; missed > 0) {
        message(Level::Info, QStringLiteral("the card at address %1 answers again: %2 (%3 missed)")
                                 .arg(reading.address, m_device, readingsText(missed)));
    }
    if (m_printing) {
        // With several cards each line says whose it is; the logs are each one card's.
        const QByteArray line =
            ((m_severalCards ? reading.address + QLatin1Char(',') : QString()) + reading.record).toLocal8Bit() + '\n';
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
    if (m_mqtt)
        m_mqtt->publish(reading, m_device);
    for (const AlarmEvent &event : m_alarms[reading.address].evaluate(reading))
        alarm(event, reading);
}

void CardLogger::alarm(const AlarmEvent &event, const CardReading &reading)
{
    const QString moment = isoDateTimeText(event.when, QLatin1Char('T'));
    const QString state = event.raised ? QStringLiteral("raised") : QStringLiteral("cleared");
    // The reading as the record shows it, "open" for an open thermocouple; the line on standard
    // error leaves that out, its description says it already.
    const QString value = reading.channels[size_t(event.what.channel)].item.trimmed();
    const QString text = m_severalCards
                             ? QStringLiteral("card %1: %2").arg(reading.address, event.description())
                             : event.description();
    say(event.raised ? Level::Warning : Level::Info,
        QStringLiteral("alarm %1: %2: %3%4")
            .arg(state, moment, text,
                 std::isnan(event.value) ? QString() : QStringLiteral(": ") + value));
    if (m_onAlarm.isEmpty())
        return;
    const QString what = QStringLiteral("alarm %1: %2").arg(state, text);
    if (!m_command) {
        m_command = new QProcess(this);
        // Its output is a message, not a record: standard output stays the records' alone. And the
        // signals the logger ignores for itself are the command's to take as usual.
        const int errFd = ::fileno(m_err);
        m_command->setProcessChannelMode(QProcess::ForwardedChannels);
        m_command->setStandardInputFile(QProcess::nullDevice());
        m_command->setChildProcessModifier([errFd] {
            ::dup2(errFd, STDOUT_FILENO);
            if (errFd != STDERR_FILENO)
                ::dup2(errFd, STDERR_FILENO);
            ::signal(SIGPIPE, SIG_DFL);
            ::signal(SIGXFSZ, SIG_DFL);
        });
        connect(m_command, &QProcess::finished, this,
                [this](int exitCode, QProcess::ExitStatus status) {
                    commandEnded(exitCode, int(status));
                });
        connect(m_command, &QProcess::errorOccurred, this,
                [this](QProcess::ProcessError error) { commandFailed(int(error)); });
    }
    // One at a time: a slow command (a mail, a phone call) is not piled up by a flapping alarm.
    if (m_command->state() != QProcess::NotRunning) {
        if (!m_skipSaid)
            say(Level::Warning,
                QStringLiteral("the --on-alarm command is still running: not run for %1, "
                               "nor for any other alarm until it ends")
                    .arg(what));
        m_skipSaid = true;
        return;
    }
    // The details go in the environment, never into the command line: a shell would read them.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TERVALO_ALARM"), state);
    env.insert(QStringLiteral("TERVALO_ALARM_ADDRESS"), reading.address);
    env.insert(QStringLiteral("TERVALO_ALARM_CHANNEL"), QString::number(event.what.channel + 1));
    env.insert(QStringLiteral("TERVALO_ALARM_RULE"), event.what.text());
    env.insert(QStringLiteral("TERVALO_ALARM_VALUE"), value);
    env.insert(QStringLiteral("TERVALO_ALARM_UNIT"), event.readingUnit);
    env.insert(QStringLiteral("TERVALO_ALARM_TIME"), moment);
    env.insert(QStringLiteral("TERVALO_ALARM_TEXT"), text);
    m_command->setProcessEnvironment(env);
    m_commandFor = what;
    m_skipSaid = false;
    m_command->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), m_onAlarm});
}

void CardLogger::commandEnded(int exitCode, int exitStatus)
{
    if (m_commandStopped) {
        // Said when it was stopped.
    } else if (exitStatus == QProcess::CrashExit) {
        say(Level::Warning,
            QStringLiteral("the --on-alarm command was ended by a signal (%1)").arg(m_commandFor));
    } else if (exitCode != 0) {
        say(Level::Warning, QStringLiteral("the --on-alarm command ended with status %1 (%2)")
                                .arg(exitCode)
                                .arg(m_commandFor));
    }
    if (m_finished && !m_finishedSent) {
        m_finishedSent = true;
        emit finished(m_status);
    }
}

void CardLogger::commandFailed(int error)
{
    // A crash is told when the command has ended; only a start that failed ends nothing.
    if (error != QProcess::FailedToStart)
        return;
    say(Level::Warning, QStringLiteral("cannot run the --on-alarm command: %1 (%2)")
                            .arg(m_command->errorString(), m_commandFor));
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
