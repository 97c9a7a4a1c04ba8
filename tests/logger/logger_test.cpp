// tervalo-log from the outside: its options, its exit status and messages, and the records it
// writes, against the card simulator on a pseudo-terminal.

#include "tests/support/mqttpeers.h"
#include "tests/support/simulatorprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
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
    void severalCardsOnOneLine_data();
    void severalCardsOnOneLine();
    void readingsReachTheBroker();
    void aBusyPortNamesItsHolder();
    void aDeviceLinkIsFollowedAtEveryReopen();
    void aFullDiskLosesWholeRecords();
    void messagesCarryTheirPriorityInTheJournal();
    void alarmsRunTheirCommand_data();
    void alarmsRunTheirCommand();

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
    row("broker address", {"--port", "1", "--mqtt", "broker.lab"}, 2,
        "--mqtt: the broker address must be mqtt://host[:port] or mqtts://host[:port]\nTry");
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

void LoggerTest::severalCardsOnOneLine_data()
{
    QTest::addColumn<bool>("keepRunning");
    QTest::newRow("a silent card ends the run") << false;
    QTest::newRow("keep running: a gap in its own log") << true;
}

// Three cards on one line, card 3 silenced mid-run: each log holds exactly its card's records,
// and standard output names the card on each line.
void LoggerTest::severalCardsOnOneLine()
{
    QFETCH(bool, keepRunning);
    QVERIFY(m_sim->start({QStringLiteral("--address"), QStringLiteral("0,3,5")}));
    const QString pattern = m_dir.filePath(QStringLiteral("oven-%1-%a.csv").arg(keepRunning));
    QStringList args{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--address"),
                     QStringLiteral("0,3,5"), QStringLiteral("--rate"), QStringLiteral("1sps"),
                     QStringLiteral("--unit"), QStringLiteral("c"), QStringLiteral("--duration"),
                     QStringLiteral("5"), QStringLiteral("--log"), pattern};
    if (keepRunning)
        args << QStringLiteral("--keep-running");
    QProcess logger;
    start(logger, args);
    QVERIFY(m_sim->waitForRequests(6, 5000));
    QVERIFY(m_sim->command(QStringLiteral("card 3 fault no-answer")));
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitCode(), keepRunning ? 0 : 1);
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("no answer from the card at address 3: %1\n").arg(m_sim->linkPath())),
             qPrintable(err));

    // Asked in turn, one at a time, in the order given.
    const QStringList requests = m_sim->requests();
    for (qsizetype i = 0; i < requests.size(); ++i)
        QCOMPARE(requests[i], QStringLiteral("t%1ca").arg(QStringLiteral("035").at(i % 3)));
    QMap<QString, QStringList> printed;
    for (const QByteArray &line : logger.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            printed[QString::fromLatin1(line.left(1))] << QString::fromLocal8Bit(line.mid(2));
    }
    QCOMPARE(printed.keys(), QStringList({"0", "3", "5"}));
    for (const QString &address : printed.keys()) {
        const QStringList logged = wholeRecords(
            fileBytes(QString(pattern).replace(QStringLiteral("%a"), address)), "\r\n");
        QCOMPARE(printed[address], logged);
    }
    if (keepRunning) {
        // Cards 0 and 5 read every second to the end; card 3 only before it fell silent.
        QVERIFY2(printed["0"].size() >= 4 && printed["5"].size() >= 4, qPrintable(err));
        QVERIFY(printed["3"].size() < printed["0"].size() - 1);
    } else {
        // The round ended at card 3: card 5 was not asked after it.
        QCOMPARE(requests.last(), QStringLiteral("t3ca"));
    }
}

// Three cards' readings through a real broker: each arrives once, in order, with the values its
// record has; a broker that refuses the user stops the start.
void LoggerTest::readingsReachTheBroker()
{
    REQUIRE_BROKER();
    QTemporaryDir folder;
    const int port = tervalo::test::freePort();
    QVERIFY(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-c"), QStringLiteral("-b"), folder.filePath(QStringLiteral("users")),
                               QStringLiteral("oven"), QStringLiteral("right")}) == 0);
    tervalo::test::Broker broker(folder.path(), port);
    QVERIFY(broker.start(QStringLiteral("allow_anonymous false\npassword_file %1/users").arg(folder.path())));
    QFile password(folder.filePath(QStringLiteral("password")));
    QVERIFY(password.open(QIODevice::WriteOnly));
    password.write("right\n");
    password.close();
    tervalo::test::Subscriber subscriber(port, QStringLiteral("test/e2e/#"), nullptr, "oven", "right");
    QTRY_VERIFY(subscriber.subscribed());
    QVERIFY(m_sim->start({QStringLiteral("--address"), QStringLiteral("0,3,5")}));
    const QStringList args{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--address"),
                           QStringLiteral("0,3,5"), QStringLiteral("--rate"), QStringLiteral("1sps"),
                           QStringLiteral("--unit"), QStringLiteral("c"), QStringLiteral("--count"),
                           QStringLiteral("3"), QStringLiteral("--mqtt"),
                           QStringLiteral("mqtt://127.0.0.1:%1").arg(port), QStringLiteral("--mqtt-topic"),
                           QStringLiteral("test/e2e"), QStringLiteral("--mqtt-user"), QStringLiteral("oven"),
                           QStringLiteral("--mqtt-password-file")};

    QProcess refused;
    QFile wrong(folder.filePath(QStringLiteral("wrong")));
    QVERIFY(wrong.open(QIODevice::WriteOnly));
    wrong.write("wrong\n");
    wrong.close();
    start(refused, args + QStringList{wrong.fileName()});
    QVERIFY(finished(refused, 15000));
    QCOMPARE(refused.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(refused.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("tervalo-log: cannot publish to the broker: mqtt://127.0.0.1:%1: ").arg(port)), qPrintable(said));
    QCOMPARE(m_sim->requests().size(), 0);

    QProcess logger;
    start(logger, args + QStringList{password.fileName()});
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitCode(), 0);
    const QString card = QFileInfo(m_sim->linkPath()).fileName();
    QMap<QString, QStringList> printed;
    for (const QByteArray &line : logger.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            printed[QString::fromLatin1(line.left(1))] << QString::fromLocal8Bit(line.mid(2));
    }
    for (const char *address : {"0", "3", "5"}) {
        const QString topic = QStringLiteral("test/e2e/%1/%2/reading").arg(card, QLatin1String(address));
        QTRY_COMPARE(subscriber.seqs(topic), (QList<int>{1, 2, 3}));
        const QList<tervalo::test::Message> messages = subscriber.messages(topic);
        for (int i = 0; i < 3; ++i) {
            const QJsonArray channels = QJsonDocument::fromJson(messages[i].payload)[QLatin1String("channels")].toArray();
            const QStringList items = printed[QLatin1String(address)].value(i).split(QLatin1Char(','));
            QCOMPARE(channels.size(), 6);
            for (int c = 0; c < 6; ++c)
                QCOMPARE(channels[c][QLatin1String("value")].toDouble(), items.value(3 + c).toDouble());
        }
    }
    QStringList status;
    for (const tervalo::test::Message &m : subscriber.messages(QStringLiteral("test/e2e/status")))
        status << QString::fromUtf8(m.payload);
    QCOMPARE(status, QStringList({"online", "offline"}));
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

void LoggerTest::alarmsRunTheirCommand_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("rules");
    QTest::addColumn<QStringList>("more");     // further options of the logger
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("firstAt");          // the record the first alarm comes at, from 0
    QTest::addColumn<QString>("toSim");        // a simulator command once two readings are taken
    QTest::addColumn<int>("pause");            // seconds the alarm command takes
    QTest::addColumn<int>("exitCode");         // its exit status
    QTest::addColumn<QStringList>("commands"); // each run: alarm|channel|rule|unit|text
    QTest::addColumn<QStringList>("said");     // alarms on standard error: raised|text
    const auto row = [](const char *name, const QStringList &simArgs, const QStringList &rules,
                        const QStringList &more, int count, int firstAt, const char *toSim,
                        int pause, int exitCode, const QStringList &commands,
                        const QStringList &said) {
        QTest::newRow(name) << simArgs << rules << more << count << firstAt
                            << QString::fromLatin1(toSim) << pause << exitCode << commands << said;
    };
    // Channel 6 sits near 250 C, 4 near 100 C, 5 near 65 C, 3 near -18 C.
    const QString six = QStringLiteral("raised|6|ch6>200C|c|channel 6 above 200 Celsius");
    const QStringList openCommands{"raised|2|ch2:open|c|channel 2 open",
                                   "cleared|2|ch2:open|c|channel 2 open"};
    // A command that fails is warned of, and the run goes on.
    row("raised", {}, {"ch6>200C", "ch3>100C"}, {}, 3, 0, "", 0, 3, {six},
        {"raised|channel 6 above 200 Celsius"});
    row("raised after two readings in a row", {}, {"ch6>200C"}, {"--alarm-delay", "2"}, 3, 1, "", 0,
        0, {six}, {"raised|channel 6 above 200 Celsius"});
    row("raised and cleared", {"--open", "2"}, {"ch2:open"}, {}, 6, 0, "open", 0, 0, openCommands,
        {"raised|channel 2 open", "cleared|channel 2 open"});
    // A raised alarm is a warning, a cleared one news; the command runs for both.
    row("quiet: raised only", {"--open", "2"}, {"ch2:open"}, {"--quiet"}, 6, 0, "open", 0, 0,
        openCommands, {"raised|channel 2 open"});
    // Four alarms at the first reading, two of them alike: each is said, the command runs for the
    // first only, and the run that ends meanwhile waits for it.
    row("still running at the next alarm", {}, {"ch6>200C", "ch4>50", "ch5>30C", "ch5>30"}, {}, 3,
        0, "", 2, 0, {six},
        {"raised|channel 6 above 200 Celsius", "raised|channel 4 above 50 Celsius",
         "raised|channel 5 above 30 Celsius", "raised|channel 5 above 30 Celsius"});
}

// --on-alarm runs a command at each alarm with the details in its environment, one at a time,
// its output on standard error: standard output stays records only.
void LoggerTest::alarmsRunTheirCommand()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, rules);
    QFETCH(QStringList, more);
    QFETCH(int, count);
    QFETCH(int, firstAt);
    QFETCH(QString, toSim);
    QFETCH(int, pause);
    QFETCH(int, exitCode);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, said);
    QVERIFY(m_sim->start(simArgs));
    const QString script = m_dir.filePath(QStringLiteral("alarm.sh"));
    const QString seen = m_dir.filePath(QStringLiteral("alarm-%1.env")
                                            .arg(QString::fromLatin1(QTest::currentDataTag()))
                                            .replace(QLatin1Char(' '), QLatin1Char('-')));
    QFile::remove(seen);
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // "--" closes a run that was let finish.
    file.write("env | grep '^TERVALO_ALARM' | sort >> \"$1\"\n"
               "echo 'the alarm command speaks'\n"
               "sleep \"$2\"\n"
               "echo -- >> \"$1\"\n"
               "exit \"$3\"\n");
    file.close();
    QStringList args{QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--unit"),
                     QStringLiteral("c"), QStringLiteral("--rate"), QStringLiteral("3sps"),
                     QStringLiteral("--count"), QString::number(count), QStringLiteral("--time"),
                     QStringLiteral("iso"), QStringLiteral("--on-alarm"),
                     QStringLiteral("sh '%1' '%2' %3 %4")
                         .arg(script, seen)
                         .arg(pause)
                         .arg(exitCode)};
    for (const QString &rule : rules)
        args << QStringLiteral("--alarm") << rule;
    args << more;
    QProcess logger;
    start(logger, args);
    if (!toSim.isEmpty()) {
        QVERIFY(m_sim->waitForRequests(2, 5000));
        QVERIFY(m_sim->command(toSim));
    }
    QVERIFY(finished(logger, 15000));
    QCOMPARE(logger.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(logger.readAllStandardError());

    // Records only on standard output, by date and time.
    static const QRegularExpression record(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d),([^,]+),c,(([^,]*),){6}$"));
    QMap<QString, QStringList> records;
    const QStringList lines =
        QString::fromLocal8Bit(logger.readAllStandardOutput()).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), count + 1);
    for (const QString &line : lines.first(count)) {
        const QRegularExpressionMatch match = record.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        records.insert(match.captured(1) + QLatin1Char('T') + match.captured(2),
                       line.split(QLatin1Char(',')).mid(3));
    }

    // Each run of the command saw one alarm, whole, and the reading behind it.
    QStringList ran;
    QMap<QString, QString> env;
    const QString runs = QString::fromLocal8Bit(fileBytes(seen));
    for (const QString &line : runs.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line != QLatin1String("--")) {
            env.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
            continue;
        }
        QCOMPARE(env.keys(), QStringList({"TERVALO_ALARM", "TERVALO_ALARM_ADDRESS", "TERVALO_ALARM_CHANNEL",
                                          "TERVALO_ALARM_RULE", "TERVALO_ALARM_TEXT",
                                          "TERVALO_ALARM_TIME", "TERVALO_ALARM_UNIT",
                                          "TERVALO_ALARM_VALUE"}));
        ran << QStringList{env["TERVALO_ALARM"], env["TERVALO_ALARM_CHANNEL"],
                           env["TERVALO_ALARM_RULE"], env["TERVALO_ALARM_UNIT"],
                           env["TERVALO_ALARM_TEXT"]}
                   .join(QLatin1Char('|'));
        const QString time = env["TERVALO_ALARM_TIME"];
        QVERIFY2(records.contains(time), qPrintable(time));
        const QString failed =
            QStringLiteral("tervalo-log: the --on-alarm command ended with status %1 (alarm %2: "
                           "%3)\n")
                .arg(exitCode)
                .arg(env["TERVALO_ALARM"], env["TERVALO_ALARM_TEXT"]);
        QCOMPARE(err.contains(failed), exitCode != 0);
        const QString item = records[time][env["TERVALO_ALARM_CHANNEL"].toInt() - 1].trimmed();
        QCOMPARE(env["TERVALO_ALARM_VALUE"], item);
        const QString value =
            item == QLatin1String("open") ? QString() : QStringLiteral(": ") + item;
        const QString saidLine = QStringLiteral("tervalo-log: alarm %1: %2: %3%4\n")
                                     .arg(env["TERVALO_ALARM"], time, env["TERVALO_ALARM_TEXT"],
                                          value);
        if (said.contains(env["TERVALO_ALARM"] + QLatin1Char('|') + env["TERVALO_ALARM_TEXT"]))
            QVERIFY2(err.contains(saidLine), qPrintable(err));
        env.clear();
    }
    QVERIFY2(env.isEmpty(), "a run of the alarm command was cut short");
    const QString first = records.keys().value(firstAt);
    QVERIFY2(err.contains(QStringLiteral(": alarm raised: %1: ").arg(first)), qPrintable(err));
    QCOMPARE(ran, commands);
    QCOMPARE(err.count(QStringLiteral("the alarm command speaks\n")), commands.size());

    static const QRegularExpression alarmLine(
        QStringLiteral("^tervalo-log: alarm (\\w+): [^ ]+: ([^:\\n]+)"),
        QRegularExpression::MultilineOption);
    QStringList alarms;
    for (auto it = alarmLine.globalMatch(err); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        alarms << match.captured(1) + QLatin1Char('|') + match.captured(2);
    }
    QCOMPARE(alarms, said);
    QCOMPARE(err.count(QStringLiteral("the --on-alarm command is still running")),
             int(said.size() > commands.size()));
}

QTEST_GUILESS_MAIN(LoggerTest)
#include "logger_test.moc"
