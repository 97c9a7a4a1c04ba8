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
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void aBusyPortNamesItsHolder();
    void aDeviceLinkIsFollowedAtEveryReopen();
    void aFullDiskLosesWholeRecords();
    void messagesCarryTheirPriorityInTheJournal();

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
                   QStringLiteral("--duration"), QStringLiteral("5s"), QStringLiteral("--log"), log,
                   QStringLiteral("--quiet")});
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
                   QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--time"),
                   QStringLiteral("iso"), QStringLiteral("--header")});
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitCode(), 0);
    // It says what it reads before it reads it.
    const QString said = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(said.startsWith(QStringLiteral("tervalo-log: %1 reading %2 (port 1), address 5, unit f, "
                                            "rate 1sps, channels 1,3,4,5,6, log none\n")
                                 .arg(QStringLiteral(TERVALO_VERSION), m_sim->linkPath())),
             qPrintable(said));
    // The first reading comes one interval after the start: a second each, not the stored rate's
    // third of a second.
    QVERIFY2(elapsed.elapsed() >= 2900, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(m_sim->requests(), QStringList(3, QStringLiteral("t5fa")));
    QList<QByteArray> lines = logger.readAllStandardOutput().split('\n');
    QCOMPARE(lines.takeFirst(), "date,time,unit,channel 1,channel 2,channel 3,channel 4,channel 5,channel 6,");
    QCOMPARE(lines.size(), 3 + 1);
    static const QRegularExpression isoDate(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d$"));
    static const QRegularExpression isoTime(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    for (int i = 0; i < 3; ++i) {
        const QList<QByteArray> items = lines[i].split(',');
        QCOMPARE(items.size(), 3 + 6 + 1);
        QVERIFY2(isoDate.match(QString::fromLatin1(items[0])).hasMatch(), items[0]);
        QVERIFY2(isoTime.match(QString::fromLatin1(items[1])).hasMatch(), items[1]);
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
    row("port nobody has", {"--port", "99"}, 1, "tervalo-log: there is no port 99 (see --list-ports)\n");
    row("device nobody has", {"--device", "/dev/no-such-tty"}, 1,
        "tervalo-log: cannot open: /dev/no-such-tty: No such file or directory\n");
    // Not the window's list position among the ports of today, which may be another card.
    row("the window's device unknown", {}, 1, "tervalo-log: the window has not stored which device its port is");
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
    QTest::newRow("SIGHUP") << SIGHUP;
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
    QVERIFY2(err.contains(QStringLiteral("tervalo-log: the device is gone: %1\n").arg(m_sim->linkPath())),
             qPrintable(err));
    QCOMPARE(err.contains(QStringLiteral("tervalo-log: the card answers again: ")), keepRunning);
    // Said once for the outage, not at every tick of it.
    QVERIFY2(err.count(QStringLiteral("tervalo-log: cannot open: ")) <= 1, qPrintable(err));
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

void LoggerTest::aBusyPortNamesItsHolder()
{
    QVERIFY(m_sim->start());
    QProcess first;
    start(first, {QStringLiteral("--port"), QStringLiteral("1")});
    QVERIFY(m_sim->waitForRequests(1, 5000));
    const QString holder = QStringLiteral("held by process %1 (tervalo-log)").arg(first.processId());

    QProcess second;
    start(second, {QStringLiteral("--port"), QStringLiteral("1")});
    QVERIFY(finished(second, 10000));
    QCOMPARE(second.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("tervalo-log: cannot open: %1: %2\n").arg(m_sim->linkPath(), holder)),
             qPrintable(err));
    QProcess list;
    start(list, {QStringLiteral("--list-ports")});
    QVERIFY(finished(list, 10000));
    // Every port, the machine's own after the simulators; the busy one with its holder.
    const QString listed = QString::fromLocal8Bit(list.readAllStandardOutput());
    QVERIFY2(listed.startsWith(QStringLiteral("1\t%1\tbusy: %2\n").arg(m_sim->linkPath(), holder)),
             qPrintable(listed));
    first.terminate();
    QVERIFY(finished(first, 5000));
}

// A by-id link names an adapter, whatever the system calls it today: after an unplug the link
// is followed again, to whichever device it names now. And no other port is opened, at the start
// or at a reopen.
void LoggerTest::aDeviceLinkIsFollowedAtEveryReopen()
{
    QVERIFY(m_sim->start({QStringLiteral("--replug-ms"), QStringLiteral("60000")}));
    SimulatorProcess other;
    QVERIFY(other.start({QStringLiteral("--link"), QStringLiteral("other")}));
    const int watch = ::inotify_init1(IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(other.ptyPath()).constData(), IN_OPEN) >= 0);
    const QString link = m_dir.filePath(QStringLiteral("by-id-card"));
    QFile::remove(link);
    QVERIFY(QFile::link(m_sim->linkPath(), link));

    QProcess logger;
    start(logger, {QStringLiteral("--device"), link, QStringLiteral("--keep-running"),
                   QStringLiteral("--rate"), QStringLiteral("5sps")});
    QVERIFY(m_sim->waitForRequests(3, 5000));
    char events[4096];
    QCOMPARE(::read(watch, events, sizeof events), ssize_t(-1)); // nothing opened the other card
    ::close(watch);

    QVERIFY(m_sim->command(QStringLiteral("unplug")));
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(other.linkPath(), link));
    QVERIFY(other.waitForRequests(3, 5000));
    logger.terminate();
    QVERIFY(finished(logger, 5000));
    QCOMPARE(logger.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("tervalo-log: the card answers again: %1").arg(link)), qPrintable(err));
}

// A small memory disk in a mount namespace of the test's own, full but for the end of the log's
// last block: the first record is cut by the disk and taken back, the next ones do not fit at
// all, then room is made and the rest go in. Skipped where no such namespace may be made.
void LoggerTest::aFullDiskLosesWholeRecords()
{
    QStringList unshare{QStringLiteral("--mount")};
    if (::geteuid() != 0)
        unshare << QStringLiteral("--map-root-user");
    if (QProcess::execute(QStringLiteral("unshare"), unshare + QStringList{QStringLiteral("true")}) != 0)
        QSKIP("no mount namespace may be made here");
    QVERIFY(m_sim->start());
    // 75 earlier records of 54 bytes: 46 bytes left in the log's block, less than any record.
    const QByteArray earlier =
        QByteArray("08/12/2026,07:00:00,r, 606, 646, 491, 822, 721,1233,\r\n").repeated(75);
    const QString disk = m_dir.filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    QFile seed(m_dir.filePath(QStringLiteral("earlier.csv")));
    QVERIFY(seed.open(QIODevice::WriteOnly) && seed.write(earlier) == earlier.size());
    seed.close();
    const char *script = R"(
mount -t tmpfs -o size=64k tervalo "$1" || exit 77
cp "$2" "$1/log.csv" && head -c 1M /dev/zero > "$1/filler" 2>/dev/null
(sleep 1.3; rm "$1/filler") &
"$3" --port 1 --rate 5sps --count 12 --log "$1/log.csv" --quiet >/dev/null 2>"$4"
echo $? >> "$4"
wait
cat "$1/log.csv"
)";
    const QString err = m_dir.filePath(QStringLiteral("full-disk-messages"));
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    run.setProcessEnvironment(env);
    run.start(QStringLiteral("unshare"),
              unshare + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), QString::fromLatin1(script),
                                    QStringLiteral("sh"), disk, seed.fileName(),
                                    QStringLiteral(TERVALO_LOGGER), err});
    QVERIFY(finished(run, 20000));
    if (run.exitCode() == 77)
        QSKIP("a memory file system may not be mounted here");
    const QByteArray log = run.readAllStandardOutput();
    QVERIFY2(log.startsWith(earlier), run.readAllStandardError().constData());
    const int written = int(wholeRecords(log, "\r\n").size()) - 75;
    const int lost = 12 - written;
    QVERIFY2(lost >= 1 && written >= 1, qPrintable(QStringLiteral("%1 written").arg(written)));
    QCOMPARE(QString::fromLocal8Bit(fileBytes(err)),
             QStringLiteral("tervalo-log: cannot write the log: %1/log.csv: No space left on device\n"
                            "tervalo-log: %2 of 12 records could not be written: %1/log.csv\n1\n")
                 .arg(disk)
                 .arg(lost));
}

// Under systemd, standard error is the journal's stream and each message carries its priority,
// so that journalctl -p sorts the failures from the rest.
void LoggerTest::messagesCarryTheirPriorityInTheJournal()
{
    const QString stream = m_dir.filePath(QStringLiteral("journal"));
    QFile journal(stream);
    QVERIFY(journal.open(QIODevice::WriteOnly));
    journal.close();
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(stream).constData(), &info), 0);
    QProcess logger;
    logger.setStandardErrorFile(stream);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("%1:%2").arg(info.st_dev).arg(info.st_ino));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    logger.setProcessEnvironment(env);
    logger.start(QStringLiteral(TERVALO_LOGGER), {QStringLiteral("--device"), QStringLiteral("/dev/no-such-tty")});
    QVERIFY(finished(logger, 10000));
    QCOMPARE(logger.exitCode(), 1);
    const QStringList lines = QString::fromLocal8Bit(fileBytes(stream)).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].startsWith(QStringLiteral("<6>tervalo-log: " TERVALO_VERSION " reading /dev/no-such-tty")),
             qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("<3>tervalo-log: cannot open: /dev/no-such-tty: No such file or directory"));
}

QTEST_GUILESS_MAIN(LoggerTest)
#include "logger_test.moc"
