// tervalo-log from the outside: its options, its exit status and messages, and the records it
// writes, against the card simulator on a pseudo-terminal.

#include "tests/support/simulatorprocess.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using tervalo::SimulatorProcess;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The records of a log or of standard output, each checked to be whole: date, time, unit and
// six readings of four characters, then the closing comma.
QStringList wholeRecords(const QByteArray &text, const QByteArray &lineEnd)
{
    static const QRegularExpression record(
        QStringLiteral("^[^,]+,[^,]+,[rcf],([ 0-9.+-]{4},){6}$"));
    QStringList records;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QString line = QString::fromLocal8Bit(lines[i] + '\n');
        if (!line.endsWith(QString::fromLatin1(lineEnd))) {
            QTest::qFail(qPrintable(QStringLiteral("wrong line end: %1").arg(line)), __FILE__, __LINE__);
            return {};
        }
        line.chop(lineEnd.size());
        if (!record.match(line).hasMatch()) {
            QTest::qFail(qPrintable(QStringLiteral("not a whole record: %1").arg(line)), __FILE__, __LINE__);
            return {};
        }
        records << line;
    }
    if (!lines.last().isEmpty())
        QTest::qFail("the text ends inside a record", __FILE__, __LINE__);
    return records;
}

// Waits with the event loop going, so the simulator's reports keep coming in meanwhile.
bool finished(QProcess &process, int timeoutMs)
{
    return QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
}

} // namespace

class LoggerTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fiveSecondsAtThreeASecond();
    void refusedAtTheStart_data();
    void refusedAtTheStart();
    void signalEndsAfterTheRecordInProgress_data();
    void signalEndsAfterTheRecordInProgress();
    void anUnpluggedCard_data();
    void anUnpluggedCard();

private:
    // Starts tervalo-log with the test's own settings store.
    void start(QProcess &process, const QStringList &args);

    QTemporaryDir m_dir;
    std::unique_ptr<SimulatorProcess> m_sim;
};

void LoggerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SimulatorProcess::isolateRuntimeFolder();
}

void LoggerTest::init()
{
    m_sim = std::make_unique<SimulatorProcess>();
}

void LoggerTest::cleanup()
{
    m_sim.reset();
}

void LoggerTest::start(QProcess &process, const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TERVALO_LOGGER), args);
    QVERIFY(process.waitForStarted(5000));
}

void LoggerTest::fiveSecondsAtThreeASecond()
{
    QVERIFY(m_sim->start());
    const QString log = m_dir.filePath(QStringLiteral("five-seconds.csv"));
    QProcess logger;
    start(logger, {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--unit"),
                   QStringLiteral("c"), QStringLiteral("--rate"), QStringLiteral("3sps"),
                   QStringLiteral("--duration"), QStringLiteral("5s"), QStringLiteral("--log"), log});
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
    QCOMPARE(logger.exitCode(), 0);
    QCOMPARE(logger.readAllStandardError(), QByteArray());
    const QStringList logged = wholeRecords(fileBytes(log), "\r\n");
    const QStringList printed = wholeRecords(logger.readAllStandardOutput(), "\n");
    QCOMPARE(logged.size(), 15);
    QCOMPARE(printed, logged);
    QVERIFY(logged.first().contains(QStringLiteral(",c,")));
    QCOMPARE(m_sim->requests().first(), QStringLiteral("t0ca"));
}

void LoggerTest::refusedAtTheStart_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QStringList &args, int status, const char *message) {
        QTest::newRow(name) << args << status << QString::fromUtf8(message);
    };
    row("unknown option", {"--frobnicate"}, 2, "Unknown option 'frobnicate'");
    row("rate", {"--rate", "7sps"}, 2, "--rate must be one of 5sps, 4sps, 3sps");
    row("rate in capitals", {"--rate", "3SPS"}, 2, "--rate must be one of");
    row("address", {"--address", "8"}, 2, "--address must be 0 to 7");
    row("address with a line end", {"--address", "5\n"}, 2, "--address must be 0 to 7");
    row("unit", {"--unit", "k"}, 2, "--unit must be r, c or f");
    row("count", {"--count", "0"}, 2, "--count must be a whole number above 0");
    row("duration", {"--duration", "soon"}, 2, "--duration must be a time");
    row("port and device", {"--port", "1", "--device", "/dev/ttyS0"}, 2, "not both");
    row("port nobody has", {"--port", "99"}, 1, "cannot open port 99: Comm Port Not Available");
    row("device nobody has", {"--device", "/dev/no-such-tty"}, 1, "cannot open '/dev/no-such-tty'");
    row("log in a missing folder", {"--port", "1", "--log", "/nonexistent/folder/run.csv"}, 1,
        "cannot write the log '/nonexistent/folder/run.csv'");
}

void LoggerTest::refusedAtTheStart()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    QVERIFY(m_sim->start());
    QProcess logger;
    start(logger, args);
    QVERIFY(finished(logger, 10000));
    QCOMPARE(logger.exitCode(), status);
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QCOMPARE(logger.readAllStandardOutput(), QByteArray());
    QCOMPARE(m_sim->requests().size(), 0);
}

void LoggerTest::signalEndsAfterTheRecordInProgress_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void LoggerTest::signalEndsAfterTheRecordInProgress()
{
    QFETCH(int, signal);
    QVERIFY(m_sim->start());
    const QString log = m_dir.filePath(QStringLiteral("signal-%1.csv").arg(signal));
    QProcess logger;
    start(logger, {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--log"), log});
    QVERIFY(m_sim->waitForRequests(4, 5000));
    // Just after a request: its answer is on the way when the signal comes, and still logged.
    ::kill(pid_t(logger.processId()), signal);
    QVERIFY(finished(logger, 5000));
    QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
    QCOMPARE(logger.exitCode(), 0);
    const QStringList logged = wholeRecords(fileBytes(log), "\r\n");
    QCOMPARE(logged.size(), int(m_sim->requests().size()));
    QCOMPARE(wholeRecords(logger.readAllStandardOutput(), "\n"), logged);
}

void LoggerTest::anUnpluggedCard_data()
{
    QTest::addColumn<bool>("keepRunning");
    QTest::newRow("run ends") << false;
    QTest::newRow("keep running") << true;
}

void LoggerTest::anUnpluggedCard()
{
    QFETCH(bool, keepRunning);
    QVERIFY(m_sim->start({QStringLiteral("--replug-ms"), QStringLiteral("2000")}));
    const QString log = m_dir.filePath(QStringLiteral("unplugged-%1.csv").arg(keepRunning));
    QStringList args{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--duration"),
                     QStringLiteral("6"), QStringLiteral("--log"), log};
    if (keepRunning)
        args << QStringLiteral("--keep-running");
    QProcess logger;
    start(logger, args);
    QVERIFY(m_sim->waitForRequests(3, 5000));
    QVERIFY(m_sim->command(QStringLiteral("unplug")));
    QVERIFY(finished(logger, 10000));
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("Error 8106 received.")), qPrintable(err));
    const QStringList logged = wholeRecords(fileBytes(log), "\r\n");
    QCOMPARE(logged.size(), m_sim->answersSent());
    if (keepRunning) {
        // Back after two seconds on the same port, read to the end of the six.
        QCOMPARE(logger.exitCode(), 0);
        QVERIFY2(logged.size() >= 3 + 6, qPrintable(QString::number(logged.size())));
    } else {
        QCOMPARE(logger.exitCode(), 1);
        QVERIFY(logged.size() <= 4);
    }
}

QTEST_GUILESS_MAIN(LoggerTest)
#include "logger_test.moc"
