// tervalo-log from the outside: its options, its exit status and messages, and the records it
// writes, against the card simulator on a pseudo-terminal.

#include "tests/support/simulatorprocess.h"

#include <QDir>
#include <QElapsedTimer>
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
    void choicesReachTheRun();
    void refusedAtTheStart_data();
    void refusedAtTheStart();
    void informationOnly_data();
    void informationOnly();
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
    QFile::remove(m_dir.filePath(QStringLiteral("config/Quillmar/Tervalo.reg")));
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

// What the command line and the window's stored choices say arrives in the run itself.
void LoggerTest::choicesReachTheRun()
{
    QVERIFY(m_sim->start({QStringLiteral("--address"), QStringLiteral("5")}));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("config/Quillmar")));
    QFile store(m_dir.filePath(QStringLiteral("config/Quillmar/Tervalo.reg")));
    QVERIFY(store.open(QIODevice::WriteOnly));
    store.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo]\n"
                "\"Address\"=dword:00000005\n"
                "\"Channel 2\"=dword:00000000\n");
    store.close();
    QElapsedTimer elapsed;
    elapsed.start();
    QProcess logger;
    start(logger, {QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--unit"),
                   QStringLiteral("f"), QStringLiteral("--rate"), QStringLiteral("1sps"),
                   QStringLiteral("--count"), QStringLiteral("3")});
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitCode(), 0);
    // The first reading comes one interval after the start: a second each, not the stored rate's
    // third of a second.
    QVERIFY2(elapsed.elapsed() >= 2900, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(m_sim->requests(), QStringList(3, QStringLiteral("t5fa")));
    const QList<QByteArray> lines = logger.readAllStandardOutput().split('\n');
    QCOMPARE(lines.size(), 3 + 1);
    for (int i = 0; i < 3; ++i) {
        const QList<QByteArray> items = lines[i].split(',');
        QCOMPARE(items.size(), 3 + 6 + 1);
        QCOMPARE(items[2], QByteArray("f"));
        QCOMPARE(items[4], QByteArray("disabled"));
        QVERIFY(items[3] != "disabled");
    }
}

void LoggerTest::refusedAtTheStart_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QStringList &args, int status, const char *message) {
        QTest::newRow(name) << args << status << QString::fromUtf8(message);
    };
    // Every option's refused values are in options_test; these few show the way each kind of
    // refusal leaves the program.
    row("unknown option", {"--frobnicate"}, 2,
        "tervalo-log: Unknown option 'frobnicate'.\nTry 'tervalo-log --help'.\n");
    row("address", {"--address", "8"}, 2, "tervalo-log: --address must be 0 to 7\nTry 'tervalo-log --help'.\n");
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

void LoggerTest::informationOnly_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("start"); // of standard output
    QTest::newRow("help") << QStringList{"--help"} << "Usage: ";
    QTest::newRow("version") << QStringList{"--version"} << "tervalo-log " TERVALO_VERSION "\n";
}

void LoggerTest::informationOnly()
{
    QFETCH(QStringList, args);
    QFETCH(QString, start);
    QProcess logger;
    this->start(logger, args);
    QVERIFY(finished(logger, 10000));
    QCOMPARE(logger.exitStatus(), QProcess::NormalExit);
    QCOMPARE(logger.exitCode(), 0);
    QCOMPARE(logger.readAllStandardError(), QByteArray());
    const QString out = QString::fromLocal8Bit(logger.readAllStandardOutput());
    QVERIFY2(out.startsWith(start), qPrintable(out));
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
