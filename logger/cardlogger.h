#pragma once

#include "acquisition/acquisitionsession.h"
#include "acquisition/sessionthread.h"
#include "alarms/alarmrules.h"
#include "logger/options.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <cstdio>
#include <map>
#include <memory>

class QProcess;

namespace tervalo {

// Continuous readings with no window: the same acquisition session as the window's, on its own
// thread, driven from the command line. Records go to standard output (the log is written by
// the session); what happens to the run goes to standard error, as a service's messages: the
// program, what happened, the device, and the system's words for why.
class CardLogger : public QObject
{
    Q_OBJECT
public:
    enum class Level { Error, Warning, Info };

    explicit CardLogger(FILE *out = stdout, FILE *err = stderr, QObject *parent = nullptr);

    // Opens the chosen port and starts the run the options describe, after saying on standard
    // error what it is about to do; false, with the reason said, when the port does not open.
    bool start(const LoggerOptions &options, const PortChoice &port);
    // Ends the run once the reading in progress is answered or timed out.
    void stop();

    qint64 readings() const { return m_readings; }

    // One message on standard error: "tervalo-log: <text>", and the priority in front of it
    // when standard error is the journal (so that journalctl -p sorts them). Info is left out
    // with --quiet. The same text twice in a row is said once.
    void message(Level level, const QString &text);
    void setJournal(bool journal) { m_journal = journal; }

signals:
    // The run is over: 0 after a requested end, 1 after a failure that ended it or when records
    // could not be written to the log.
    void finished(int status);

private:
    void readingTaken(const tervalo::CardReading &reading);
    void problem(const tervalo::SessionProblem &problem);
    void runEnded(int runId, bool failed);
    void stateChanged(tervalo::AcquisitionSession::State state);
    void finish(int status);
    // Says the alarm and runs the --on-alarm command for it, unless that still runs.
    void alarm(const tervalo::AlarmEvent &event, const tervalo::CardReading &reading);
    void commandEnded(int exitCode, int exitStatus);
    void commandFailed(int error);
    void brokerChanged(bool connected, const QString &reason);
    // Connects to the broker; false, with the reason said, when it refuses us.
    bool startPublishing(const LoggerOptions &options, const QString &device);
    // message() without its de-duplication: each alarm is its own news, however alike.
    void say(Level level, const QString &text);

    QString m_logFile;
    QString m_device;
    bool m_severalCards = false; // lines and messages then name the card
    bool m_keepRunning = false;
    bool m_quiet = false;
    bool m_journal = false;
    FILE *m_out;
    FILE *m_err;
    SessionThread m_session;
    qint64 m_readings = 0;
    qint64 m_lostRecords = 0; // records the log refused
    // Failed requests since the last answer: of each card, by address, and of the whole line
    // (""); with one card all of them count as the line's.
    QMap<QString, qint64> m_missed;
    bool m_logFailing = false; // the last record could not be written
    bool m_printing = true;   // standard output still takes records
    bool m_stopping = false;  // no more requests; end once nothing is outstanding
    int m_status = 0;
    bool m_finished = false;
    bool m_finishedSent = false;
    QString m_lastMessage;

    std::map<QString, AlarmMonitor> m_alarms; // each card's by its address

    // Every reading sent on to a broker as well, after the log has it.
    std::unique_ptr<MqttPublisher> m_mqtt;
    QString m_mqttUrl;
    bool m_dropSaid = false; // readings dropped in this outage have been said
    bool m_brokerConnected = false; // as last said
    QString m_onAlarm;
    QProcess *m_command = nullptr; // the --on-alarm command, one run at a time
    QString m_commandFor;          // the alarm it runs for, for its warnings
    bool m_skipSaid = false;       // a skipped alarm has been said while it runs
    bool m_commandStopped = false; // killed at the end of the logger's run
};

// Whether standard error is the journal's stream, as systemd says in JOURNAL_STREAM
// ("device:inode" of that stream).
bool standardErrorIsJournal();

} // namespace tervalo
