#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace tervalo {

// Runs the card simulator (tervalo-sim) for a test and follows what it prints: where it announced
// its pseudo-terminal, the requests it saw, and the answers to commands. Waiting spins the event
// loop, so serial ports and timers of the test keep working meanwhile.
class SimulatorProcess
{
public:
    SimulatorProcess();
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // Points this process, and every simulator it starts, at a fresh private runtime folder, so
    // that tests never see the user's own simulators nor leave links behind.
    static void isolateRuntimeFolder();

    // The simulator program: $TERVALO_SIMULATOR, else the one built alongside the tests.
    static QString program();

    // Starts the simulator with the given options and waits until it has announced its line.
    bool start(const QStringList &args = {}, int timeoutMs = 5000);

    // SIGTERM, then wait for the simulator to clean up and end; a no-op if it is not running.
    void stop();
    bool isRunning() const;
    // Waits for the simulator to end by itself (after "quit" or a signal sent by the test).
    bool waitForFinished(int timeoutMs);
    // The process' id while it runs, and its exit code once it has ended.
    qint64 processId() const;
    int exitCode() const;

    // The announced link and its pseudo-terminal, as of the last READY line.
    QString linkPath() const { return m_linkPath; }
    QString ptyPath() const { return m_ptyPath; }

    // Sends a command line to the simulator's standard input and waits until it has been carried
    // out (its OK line); false if it was refused or nothing came back in time.
    bool command(const QString &line, int timeoutMs = 5000);
    // Closes the simulator's standard input.
    void closeInput();

    // The request texts of all REQ lines so far, in order.
    QStringList requests() const { return m_requests; }
    bool waitForRequests(int count, int timeoutMs);

    // Waits for the next line starting with the prefix. Lines are taken in order and each at most
    // once, so a second waitForLine("READY") waits for the READY after the one already taken.
    bool waitForLine(const QString &prefix, int timeoutMs);

    // Every line the simulator printed so far.
    QStringList lines() const { return m_lines; }
    // The answers it finished sending so far (its ANSWERED lines).
    int answersSent() const;

private:
    void readOutput();
    bool waitFor(const std::function<bool()> &condition, int timeoutMs);

    std::unique_ptr<QProcess> m_process;
    QByteArray m_partial;
    QStringList m_lines;
    QStringList m_requests;
    qsizetype m_nextLine = 0;
    qsizetype m_nextReply = 0;
    QString m_linkPath;
    QString m_ptyPath;
};

} // namespace tervalo
