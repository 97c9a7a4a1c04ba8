#pragma once

#include "acquisition/ratetable.h"
#include "device/cardexchange.h"
#include "device/cardreading.h"
#include "output/logwriter.h"

#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <vector>

namespace tervalo {

class CardLine;
class SessionClock;

// A failure as a program with no status line reports it: what happened, and the system's words
// for why where there are any. The window reads the same failure from statusText.
struct SessionProblem
{
    enum class Kind {
        Timeout,    // the card did not answer in time
        SendFailed, // the request could not be sent
        OpenFailed, // the port did not open again
        DeviceLost, // the line went under the open port
        LogWrite,   // the record could not be appended to the log
    };
    Kind kind = Kind::Timeout;
    QString detail; // "No such file or directory", "No space left on device"; may be empty
    // The card concerned (Timeout, LogWrite): its address, and the log that refused its record.
    QString address;
    QString logFile;
};

// One card of a round and the log its records go to ("": none).
struct RoundCard
{
    QString address;
    QString logFile;
};

// What every request carries and how its answer is read: the card's address exactly as the
// address box holds it, the unit letter, and which channels are in use.
struct SessionSetup
{
    QString address = QStringLiteral("0");
    QString unit = QStringLiteral("r");
    std::array<bool, channelCount> checked{true, true, true, true, true, true};
};

// One acquisition run and everything it decides, with no window: when a request goes out (once,
// or at every tick of the sampling grid), the exchange with the card, the decoding of its answer
// into one CardReading, the record's way to the log, and what happens after a failure (end the
// run, or with Keep Running give the port up and open it again at the next tick). The window and
// tervalo-log both drive it and watch its signals; neither decides any of this itself.
//
// It lives on a thread of its own (SessionThread), so a window that is busy for a moment never
// delays a request. The log is written here, before the reading is announced, so a record is on
// disk before the next request goes out whatever the window is doing.
class AcquisitionSession : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Idle,        // nothing runs and nothing is awaited
        Running,     // continuous readings, no answer awaited
        Waiting,     // an answer is awaited
        PortGivenUp, // Keep Running gave the port up; the next tick opens it again
        Stopping,    // the run is over; an answer still awaited is taken
    };
    Q_ENUM(State)

    // The port number when the selected list entry is not a number.
    static constexpr int noPortNumber = -1;

    AcquisitionSession(CardLine &line, SessionClock &clock, QObject *parent = nullptr);

    // --- What the requests carry and where the records go
    void setSetup(const SessionSetup &setup) { m_setup = setup; }
    const SessionSetup &setup() const { return m_setup; }
    // The port the next reopen opens: the selected entry's number, 0 when the list is empty (the
    // ports are then looked for again), noPortNumber when the entry is not a number.
    void setPortNumber(int number) { m_portNumber = number; }
    void setKeepRunning(bool on) { m_keepRunning = on; }
    // The interval of the sampling grid, in milliseconds.
    void setInterval(int intervalMs);
    // A run ends by itself after count readings or after durationMs; 0: no limit.
    void setLimits(qint64 count, qint64 durationMs);
    // Every record is appended to fileName from now on; "" logs nothing.
    void setLogFile(const QString &fileName);
    // The date and time columns of the records written from now on.
    void setTimeStyle(RecordTimeStyle style) { m_timeStyle = style; }
    // Several cards on the line, asked in turn at every tick, each with its own log, instead of
    // the setup's address and setLogFile's log. Each card has a share of the interval as its
    // time-out, so a silent card costs its own reading only. With Keep Running a card that does
    // not answer is a gap in its own log and the round goes on; otherwise it ends the run. A
    // failed line ends the round: every card is behind it. Fewer than two cards: no round.
    // Set before the interval.
    void setRound(const QList<RoundCard> &cards);

    // --- The ports
    // Fixes today's numbering of the ports and returns those that open, every one closed again.
    QList<ProbedPort> probePorts();
    // Port number is device and nothing else opens; the device is opened by that name every
    // time (see CardLine::fixPortDevice).
    void fixPortDevice(int number, const QString &device);
    // Why the last open failed, in the system's words.
    QString openError() const { return m_exchange.openError(); }
    // Opens port number with the card's settings; false when it does not open. It becomes the
    // port that a reopen opens.
    bool preparePort(int portNumber);
    void releasePort();
    // The port must be opened again before the next request (a suspend, a lost device, a port
    // that did not open at the start).
    void setSuspendFlag(bool on) { m_suspendFlag = on; }
    bool suspendFlag() const { return m_suspendFlag; }

    // --- The run
    // Starts continuous readings: the first request one interval from now. runId comes back
    // with runEnded, so a caller can tell which of its runs ended.
    void startRun(int runId = 0);
    // Ends continuous readings. A request already sent is not withdrawn: its answer is still
    // taken, shown and logged.
    void stopRun();
    // Printing pauses the grid; the run goes on afterwards.
    void setCommTimerEnabled(bool enabled);
    bool running() const { return m_running; }
    State state() const { return m_state; }
    qint64 readings() const { return m_readings; }
    int outstandingRequests() { return m_exchange.outstandingRequests(); }
    CardLine &line() const { return m_line; }
    SessionClock &clock() const { return m_clock; }

    // --- The handlers
    void requestData();
    void MSComm1_OnComm();
    void getTemps();
    void tmrTimeout_Timer();
    void hiResTimer_Timer(const QString &sKey);
    void MSComm1_DeviceLost();
    void sysInfo_PowerSuspend();
    // Appends data, one record without its line end, to the log. Returns 0, or the system's
    // error number when the record could not be written.
    int saveData(const QString &data);

signals:
    void readingTaken(const tervalo::CardReading &reading);
    // A text for the status line: a failure's message, or the default text after an answer.
    void statusText(const QString &text);
    // The same failures as statusText's messages, told apart for a reader that is not a person
    // looking at a status line.
    void problem(const tervalo::SessionProblem &problem);
    // The readings on show are from before the last request: it failed, timed out or the line
    // went.
    void readingsOutdated();
    void stateChanged(tervalo::AcquisitionSession::State state);
    // The session ended continuous readings by itself: after a failure (failed), or at its
    // count or duration.
    void runEnded(int runId, bool failed);
    // The ports were looked for again because there were none; selected is the one now open, or
    // -1.
    void portsFound(const QList<tervalo::ProbedPort> &ports, int selected);

private:
    enum class Failure { Timeout, SendFailed, DeviceLost, Suspend };

    // The one place that decides what a failure does to the run.
    void afterFailure(Failure failure);
    // Sends the request of the setup's card, or of the round's card being asked.
    void askCard();
    // The round's next card is asked, or the round is over.
    void askNextCard();
    void applyAnswerTimeout();
    bool inRound() const { return m_round.size() > 1; }
    // The card being asked and its log.
    bool asking() const { return inRound() && m_asking >= 0; }
    QString currentAddress() const { return asking() ? m_round[size_t(m_asking)].address : m_setup.address; }
    LogWriter &currentLog() { return asking() ? m_round[size_t(m_asking)].log : m_log; }
    void giveUpPort();
    bool reopenPort();
    void endRun(bool failed);
    void updateState();

    CardLine &m_line;
    SessionClock &m_clock;
    CardExchange m_exchange;
    LogWriter m_log;
    SessionSetup m_setup;
    QString receivedData; // the answer being decoded
    struct Card
    {
        QString address;
        LogWriter log;
    };
    std::vector<Card> m_round;
    int m_asking = -1;          // the card of the round being asked, -1 between rounds
    bool m_roundDue = false;    // a tick came while a round still went on
    bool m_roundAnswered = false; // some card of this round answered
    qint64 m_rounds = 0;          // rounds of this run in which some card answered
    int m_portNumber = 0;
    bool m_keepRunning = false;
    bool m_suspendFlag = false;
    bool m_running = false;
    bool m_stopping = false;
    int m_runId = 0;
    qint64 m_count = 0;
    qint64 m_durationMs = 0;
    qint64 m_readings = 0; // in this run
    RecordTimeStyle m_timeStyle = RecordTimeStyle::Locale;
    State m_state = State::Idle;
};

} // namespace tervalo

Q_DECLARE_METATYPE(tervalo::ProbedPort)
