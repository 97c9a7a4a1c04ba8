#pragma once

#include "acquisition/hirestimer.h"
#include "device/cardexchange.h"
#include "device/mscomm.h"
#include "device/protocol.h"
#include "output/logwriter.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdio>

namespace tervalo {

// What one headless run reads and where it goes.
struct LoggerSetup
{
    int portNumber = 1;
    QString address = QStringLiteral("0");
    QString unit = QStringLiteral("r");
    int intervalMs = 333;
    std::array<bool, channelCount> checked{true, true, true, true, true, true};
    QString logFile;          // empty: standard output only
    bool keepRunning = false; // time-outs and a lost device do not end the run
    qint64 count = 0;         // readings after which the run ends; 0: no limit
    qint64 durationMs = 0;    // time after which the run ends; 0: no limit
};

// Continuous readings with no window: the same exchange, sampling grid and log writer as the
// window's, driven from the command line. Records go to standard output and to the log; the
// window's status texts go to standard error.
class CardLogger : public QObject
{
    Q_OBJECT
public:
    explicit CardLogger(FILE *out = stdout, FILE *err = stderr, QObject *parent = nullptr);

    // The ports as the window lists them: those that open now, numbered the same way. The
    // numbering stays fixed from here on, so a number found here opens the same device at the
    // start and at every reopen.
    QList<ProbedPort> probePorts();
    // Opens the port and starts the run; false when the port does not open.
    bool start(const LoggerSetup &setup);
    // Ends the run once the reading in progress is answered or timed out.
    void stop();

    qint64 readings() const { return m_readings; }

signals:
    // The run is over: 0 after a requested end, 1 after a failure that ended it or when records
    // could not be written to the log.
    void finished(int status);

private:
    void tick();
    void received();
    void timedOut();
    void deviceLost();
    void sendFailed(int code);
    void message(const QString &text);
    void finishWhenIdle();
    void finish(int status);

    LoggerSetup m_setup;
    FILE *m_out;
    FILE *m_err;
    MSComm m_comm;
    QTimer m_timeout;
    CardExchange m_exchange;
    HiResTimer m_timer;
    QTimer m_duration;
    LogWriter m_log;
    qint64 m_readings = 0;
    qint64 m_lostRecords = 0; // records the log refused
    bool m_printing = true;   // standard output still takes records
    bool m_reopen = false;   // the port was given up; the next tick opens it again
    bool m_stopping = false; // no more requests; end once nothing is outstanding
    int m_status = 0;
    bool m_finished = false;
    QString m_lastMessage;
};

} // namespace tervalo
