#include "tests/support/simulatorprocess.h"

#include <algorithm>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace tervalo {

SimulatorProcess::SimulatorProcess() = default;

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

void SimulatorProcess::isolateRuntimeFolder()
{
    // Kept until the process ends: simulators started later still announce themselves there.
    static std::vector<std::unique_ptr<QTemporaryDir>> folders;
    auto folder = std::make_unique<QTemporaryDir>();
    if (!folder->isValid())
        qFatal("cannot create a temporary runtime folder: %s", qPrintable(folder->errorString()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folder->path()));
    folders.push_back(std::move(folder));
}

QString SimulatorProcess::program()
{
    const QString configured = qEnvironmentVariable("TERVALO_SIMULATOR");
    if (!configured.isEmpty())
        return configured;
#ifdef TERVALO_SIMULATOR_BUILD_PATH
    if (QFileInfo::exists(QStringLiteral(TERVALO_SIMULATOR_BUILD_PATH)))
        return QStringLiteral(TERVALO_SIMULATOR_BUILD_PATH);
#endif
    // A test binary sits in <build>/tests/<suite>/, the simulator in <build>/tools/.
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../../tools/tervalo-sim");
}

bool SimulatorProcess::start(const QStringList &args, int timeoutMs)
{
    stop();
    m_partial.clear();
    m_lines.clear();
    m_requests.clear();
    m_nextLine = 0;
    m_nextReply = 0;
    m_linkPath.clear();
    m_ptyPath.clear();

    m_process = std::make_unique<QProcess>();
    // The simulator's complaints belong in the test log, next to the failure they explain.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput, m_process.get(),
                     [this] { readOutput(); });
#ifdef Q_OS_LINUX
    // A test that crashes must not leave simulators running behind it.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    m_process->start(program(), args);
    if (!m_process->waitForStarted(timeoutMs)) {
        qWarning("cannot start %s: %s", qPrintable(program()),
                 qPrintable(m_process->errorString()));
        return false;
    }
    if (waitForLine(QStringLiteral("READY"), timeoutMs))
        return true;
    // One that hangs is no use to the test; one that gave up keeps its exit code for it.
    stop();
    return false;
}

void SimulatorProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            qWarning("the simulator ignored SIGTERM; killing it");
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    readOutput();
}

bool SimulatorProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool SimulatorProcess::waitForFinished(int timeoutMs)
{
    const bool finished = waitFor([this] { return !isRunning(); }, timeoutMs);
    readOutput();
    return finished;
}

qint64 SimulatorProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

int SimulatorProcess::exitCode() const
{
    return m_process ? m_process->exitCode() : -1;
}

bool SimulatorProcess::command(const QString &line, int timeoutMs)
{
    if (!isRunning())
        return false;
    const QString trimmed = line.trimmed();
    m_process->write(trimmed.toLocal8Bit() + '\n');
    // Other lines may come first (REQ of requests under way); the answer to this command is the
    // next OK or ERROR. Commands keep their own place in the output so that waitForLine() still
    // finds everything printed around them.
    qsizetype checked = m_nextReply;
    bool accepted = false;
    const bool answered = waitFor(
        [&] {
            for (; checked < m_lines.size(); ++checked) {
                const QString &reply = m_lines.at(checked);
                if (reply == QLatin1String("OK ") + trimmed ||
                    reply.startsWith(QLatin1String("ERROR"))) {
                    accepted = reply.startsWith(QLatin1String("OK"));
                    m_nextReply = checked + 1;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return answered && accepted;
}

void SimulatorProcess::closeInput()
{
    if (m_process)
        m_process->closeWriteChannel();
}

bool SimulatorProcess::waitForRequests(int count, int timeoutMs)
{
    return waitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

bool SimulatorProcess::waitForLine(const QString &prefix, int timeoutMs)
{
    return waitFor(
        [&] {
            for (qsizetype i = m_nextLine; i < m_lines.size(); ++i) {
                if (m_lines.at(i).startsWith(prefix)) {
                    m_nextLine = i + 1;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool SimulatorProcess::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    // The condition may take what it found (a line, a reply), so it is asked once per round and
    // its answer kept. A simulator that ended prints nothing more: stop waiting for it at once.
    bool satisfied = false;
    [[maybe_unused]] const bool done = QTest::qWaitFor(
        [&] {
            readOutput();
            satisfied = condition();
            return satisfied || !isRunning();
        },
        timeoutMs);
    return satisfied;
}

void SimulatorProcess::readOutput()
{
    if (!m_process)
        return;
    m_partial += m_process->readAllStandardOutput();
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(m_partial.left(end));
        m_partial.remove(0, end + 1);
        m_lines << line;
        if (line.startsWith(QLatin1String("REQ "))) {
            m_requests << line.mid(4);
        } else if (line.startsWith(QLatin1String("READY "))) {
            // The pseudo-terminal's path has no blanks; the link's might.
            const QString rest = line.mid(6);
            const qsizetype gap = rest.lastIndexOf(QLatin1Char(' '));
            m_linkPath = rest.left(gap);
            m_ptyPath = rest.mid(gap + 1);
        }
    }
}

int SimulatorProcess::answersSent() const
{
    return int(std::count_if(m_lines.begin(), m_lines.end(), [](const QString &line) {
        return line.startsWith(QLatin1String("ANSWERED"));
    }));
}

} // namespace tervalo
