#pragma once

#include "acquisition/acquisitionsession.h"
#include "acquisition/sessionthread.h"
#include "logger/options.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdio>

namespace tervalo {

// Continuous readings with no window: the same acquisition session as the window's, on its own
// thread, driven from the command line. Records go to standard output (the log is written by
// the session); the session's messages go to standard error.
class CardLogger : public QObject
{
    Q_OBJECT
public:
    explicit CardLogger(FILE *out = stdout, FILE *err = stderr, QObject *parent = nullptr);

    // The ports as the window lists them: those that open now, numbered the same way. The
    // numbering stays fixed from here on, so a number found here opens the same device at the
    // start and at every reopen.
    QList<ProbedPort> probePorts();
    // Opens port portNumber and starts the run the options describe; false when the port does
    // not open.
    bool start(const LoggerOptions &options, int portNumber);
    // Ends the run once the reading in progress is answered or timed out.
    void stop();

    qint64 readings() const { return m_readings; }

signals:
    // The run is over: 0 after a requested end, 1 after a failure that ended it or when records
    // could not be written to the log.
    void finished(int status);

private:
    void readingTaken(const tervalo::CardReading &reading);
    void statusText(const QString &text);
    void runEnded(int runId, bool failed);
    void stateChanged(tervalo::AcquisitionSession::State state);
    void message(const QString &text);
    void finish(int status);

    QString m_logFile;
    FILE *m_out;
    FILE *m_err;
    SessionThread m_session;
    qint64 m_readings = 0;
    qint64 m_lostRecords = 0; // records the log refused
    bool m_printing = true;   // standard output still takes records
    bool m_stopping = false;  // no more requests; end once nothing is outstanding
    int m_status = 0;
    bool m_finished = false;
    QString m_lastMessage;
};

} // namespace tervalo
