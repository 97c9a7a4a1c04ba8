// The card simulator as the program meets it: a serial port at 2400 8N1 behind the announced
// link, answering requests at the card's pace, misbehaving on demand, coming and going.

#include "tests/support/simulatorprocess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTest>

#include <csignal>
#include <optional>

using tervalo::SimulatorProcess;

namespace {

constexpr int answerLength = 32;

// What came back for a request, and when its first and last characters arrived (ms after the
// request was written).
struct Reception
{
    QByteArray bytes;
    qint64 firstMs = -1;
    qint64 lastMs = -1;
};

bool openPort(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    return port.open(QIODevice::ReadWrite) && port.setBaudRate(QSerialPort::Baud2400) &&
           port.setDataBits(QSerialPort::Data8) && port.setParity(QSerialPort::NoParity) &&
           port.setStopBits(QSerialPort::OneStop);
}

// A running simulator with the program's end of its line open.
struct Bench
{
    SimulatorProcess simulator;
    QSerialPort port;

    bool start(const QStringList &args = {})
    {
        return simulator.start(args) && openPort(port, simulator.linkPath());
    }
};

// Sends the request and reads until `wanted` characters are in or the time is up, then listens
// on a while, so that a character too many is caught as well.
Reception ask(QSerialPort &port, const QByteArray &request, qsizetype wanted = answerLength,
              int timeoutMs = 3000, int quietMs = 300)
{
    Reception reception;
    QElapsedTimer clock;
    clock.start();
    port.write(request);
    port.flush();
    QDeadlineTimer deadline(timeoutMs);
    bool complete = false;
    while (deadline.remainingTime() > 0 && port.waitForReadyRead(int(deadline.remainingTime()))) {
        const QByteArray chunk = port.readAll();
        if (reception.firstMs < 0 && !chunk.isEmpty())
            reception.firstMs = clock.elapsed();
        reception.bytes += chunk;
        reception.lastMs = clock.elapsed();
        if (!complete && reception.bytes.size() >= wanted) {
            complete = true;
            deadline.setRemainingTime(quietMs);
        }
    }
    return reception;
}

// The reading part of a field as a number, if it is one: four characters, blanks only in front.
std::optional<double> readingValue(const QByteArray &reading)
{
    const QByteArray number = reading.trimmed();
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (reading.size() != 4 || !ok || !reading.endsWith(number) || number.contains(' '))
        return std::nullopt;
    return value;
}

QByteArray field(const QByteArray &answer, int channel)
{
    return answer.mid(5 * channel - 3, 5);
}

// Empty when the program can read the answer; otherwise what is wrong with it.
QString answerProblem(const QByteArray &answer, int address)
{
    const QString shown = QString::fromLatin1(answer.toHex(' '));
    if (answer.size() != answerLength || answer.at(1) != char('0' + address))
        return QStringLiteral("bad length or address: ") + shown;
    for (int channel = 1; channel <= 6; ++channel) {
        const QByteArray f = field(answer, channel);
        if ((f.at(0) != '0' && f.at(0) != '1') || !readingValue(f.mid(1)))
            return QStringLiteral("bad field %1: ").arg(channel) + shown;
    }
    return {};
}

QList<double> readings(const QByteArray &answer)
{
    QList<double> values;
    for (int channel = 1; channel <= 6; ++channel)
        values << readingValue(field(answer, channel).mid(1)).value_or(qQNaN());
    return values;
}

} // namespace

class SimulatorTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SimulatorProcess::isolateRuntimeFolder(); }
    void answersItsOwnAddress_data();
    void answersItsOwnAddress();
    void readingsAgreeAcrossUnits();
    void staysSilentUnlessAddressedProperly_data();
    void staysSilentUnlessAddressedProperly();
    void severalCardsShareTheLine();
    void requestWhileAnsweringIsNotAnswered();
    void faultsHaveTheirShape_data();
    void faultsHaveTheirShape();
    void faultEveryNthRequest();
    void unplugAndReplug_data();
    void unplugAndReplug();
    void linkGoesWithTheSimulator_data();
    void linkGoesWithTheSimulator();
    void keepsAnsweringWhenInputCloses();
    void nameIsClaimedOnlyOnce();
    void commandsChangeTheCardWhileItRuns();
    void badOptionsAreRefused();
};

void SimulatorTest::answersItsOwnAddress_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statuses");
    QTest::addColumn<bool>("paced");

    const QStringList unpaced{"--no-pacing", "--delay", "0"};
    for (const char *request : {"t0ca", "t0fa", "t0ra"})
        QTest::addRow("%s", request)
            << QStringList{} << QByteArray(request) << QByteArray("000000") << true;
    QTest::newRow("address 5, 2 and 6 open") << QStringList{"--address", "5", "--open", "2,6"}
                                             << QByteArray("t5ca") << QByteArray("010001") << true;
    QTest::newRow("unpaced") << unpaced << QByteArray("t0ca") << QByteArray("000000") << false;
    QTest::newRow("unpaced raw, all open")
        << unpaced + QStringList{"--address", "7", "--open", "1,2,3,4,5,6"} << QByteArray("t7ra")
        << QByteArray("111111") << false;
}

void SimulatorTest::answersItsOwnAddress()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statuses);
    QFETCH(bool, paced);

    Bench bench;
    QVERIFY(bench.start(args));
    const Reception answer = ask(bench.port, request);
    const QString problem = answerProblem(answer.bytes, request.at(1) - '0');
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY2(answer.lastMs < 1500, qPrintable(QStringLiteral("took %1 ms").arg(answer.lastMs)));
    for (int channel = 1; channel <= 6; ++channel) {
        const QByteArray f = field(answer.bytes, channel);
        QCOMPARE(f.at(0), statuses.at(channel - 1));
        if (request.at(2) == 'r')
            QVERIFY2(!f.contains('.') && *readingValue(f.mid(1)) <= 4095, f.constData());
    }
    // 32 characters of ten bits at 2400 baud take 133 ms on the wire; unpaced, they come at once.
    if (paced)
        QVERIFY2(answer.lastMs >= 133, qPrintable(QString::number(answer.lastMs)));
    else
        QVERIFY2(answer.lastMs - answer.firstMs < 50, qPrintable(QString::number(answer.lastMs)));
    QVERIFY(bench.simulator.waitForRequests(1, 2000));
    QCOMPARE(bench.simulator.requests(), QStringList{QString::fromLatin1(request)});
}

// Channel by channel, Fahrenheit and raw counts must tell the same story as Celsius, and the
// probes must sit where a user expects them.
void SimulatorTest::readingsAgreeAcrossUnits()
{
    Bench bench;
    QVERIFY(bench.start({"--no-pacing", "--delay", "0", "--seed", "7"}));
    const QList<double> celsius = readings(ask(bench.port, "t0ca").bytes);
    const QList<double> fahrenheit = readings(ask(bench.port, "t0fa").bytes);
    const QList<double> raw = readings(ask(bench.port, "t0ra").bytes);
    for (int i = 0; i < 6; ++i)
        QVERIFY2(std::abs(fahrenheit[i] - (celsius[i] * 1.8 + 32.0)) < 3.0,
                 qPrintable(QStringLiteral("channel %1: %2 C, %3 F")
                                .arg(i + 1)
                                .arg(celsius[i])
                                .arg(fahrenheit[i])));
    // Freezer, room, body, warm bath, boiling water, oven: channels 3, 1, 2, 5, 4, 6.
    const QList<int> coldToHot{2, 0, 1, 4, 3, 5};
    for (int k = 1; k < 6; ++k) {
        QVERIFY2(celsius[coldToHot[k - 1]] < celsius[coldToHot[k]], "probes out of their places");
        QVERIFY2(raw[coldToHot[k - 1]] < raw[coldToHot[k]], "counts do not follow temperature");
    }
}

void SimulatorTest::staysSilentUnlessAddressedProperly_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("seen");

    QTest::newRow("another card") << QByteArray("t0ca") << QStringList{"t0ca"};
    QTest::newRow("two other cards") << QByteArray("t7fat2ra") << QStringList{"t7fa", "t2ra"};
    QTest::newRow("no unit") << QByteArray("t3a") << QStringList{};
    QTest::newRow("line noise") << QByteArray("\xff\x00\r\n\x7f", 5) << QStringList{};
}

void SimulatorTest::staysSilentUnlessAddressedProperly()
{
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, seen);

    Bench bench;
    QVERIFY(bench.start({"--address", "3", "--delay", "0"}));
    const Reception silence = ask(bench.port, sent, 1, 500);
    QVERIFY2(silence.bytes.isEmpty(), silence.bytes.toHex(' ').constData());
    // The card must have found its feet again: the next proper request is answered.
    const QString problem = answerProblem(ask(bench.port, "t3ca").bytes, 3);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(bench.simulator.waitForRequests(int(seen.size()) + 1, 2000));
    QCOMPARE(bench.simulator.requests(), seen + QStringList{"t3ca"});
}

// Each card answers for itself with readings of its own, and a fault given to one card leaves
// the others alone until a command for every card takes it back.
void SimulatorTest::severalCardsShareTheLine()
{
    Bench bench;
    QVERIFY(bench.start({"--address", "0,3,5", "--no-pacing", "--delay", "0", "--seed", "7"}));
    auto request = [](int address) { return "t" + QByteArray::number(address) + "ca"; };
    QList<QByteArray> answers;
    for (const int address : {0, 3, 5}) {
        answers << ask(bench.port, request(address)).bytes;
        const QString problem = answerProblem(answers.last(), address);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    QVERIFY2(readings(answers[0]) != readings(answers[1]), answers[0].constData());
    QVERIFY2(readings(answers[1]) != readings(answers[2]), answers[1].constData());
    const QByteArray nobody = ask(bench.port, request(1), 1, 500).bytes;
    QVERIFY2(nobody.isEmpty(), nobody.toHex(' ').constData());

    QVERIFY(bench.simulator.command(QStringLiteral("card 3 fault no-answer")));
    const QByteArray silenced = ask(bench.port, request(3), 1, 500).bytes;
    QVERIFY2(silenced.isEmpty(), silenced.toHex(' ').constData());
    for (const int address : {0, 5})
        QVERIFY(answerProblem(ask(bench.port, request(address)).bytes, address).isEmpty());
    QVERIFY(bench.simulator.command(QStringLiteral("fault none")));
    QVERIFY(answerProblem(ask(bench.port, request(3)).bytes, 3).isEmpty());
}

void SimulatorTest::requestWhileAnsweringIsNotAnswered()
{
    Bench bench;
    QVERIFY(bench.start({"--delay", "300"}));
    bench.port.write("t0ca");
    QVERIFY(bench.simulator.waitForRequests(1, 2000));
    const Reception answers = ask(bench.port, "t0fa", 2 * answerLength, 2000);
    QVERIFY2(answerProblem(answers.bytes, 0).isEmpty(), answers.bytes.constData());
    QVERIFY(bench.simulator.waitForRequests(2, 2000));
}

void SimulatorTest::faultsHaveTheirShape_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("byCommand");

    for (const char *fault : {"short", "garbage", "stray", "extra", "no-answer"})
        QTest::addRow("%s", fault) << QString::fromLatin1(fault) << false;
    for (const char *fault : {"garbage", "no-answer"})
        QTest::addRow("%s by command", fault) << QString::fromLatin1(fault) << true;
}

void SimulatorTest::faultsHaveTheirShape()
{
    QFETCH(QString, fault);
    QFETCH(bool, byCommand);

    // Channel 2 open, so that a fault that hides the status shows.
    Bench bench;
    QVERIFY(bench.start(QStringList{"--address", "4", "--open", "2"} +
                        (byCommand ? QStringList{} : QStringList{"--fault", fault})));
    if (byCommand)
        QVERIFY(bench.simulator.command(QStringLiteral("fault ") + fault));

    // Characters beyond the 32nd follow within a few character times and are caught while
    // listening on; a short or missing answer just waits out the time.
    const QByteArray bytes = ask(bench.port, "t4ca", answerLength, 1500).bytes;
    const QByteArray hex = bytes.toHex(' ');
    const char *shown = hex.constData();
    if (fault == QLatin1String("short")) {
        QVERIFY2(bytes.size() > 2 && bytes.size() < answerLength && bytes.startsWith("T4"), shown);
        for (int channel = 1; 5 * channel + 2 <= bytes.size(); ++channel)
            QVERIFY2(readingValue(field(bytes, channel).mid(1)), shown);
    } else if (fault == QLatin1String("garbage")) {
        QVERIFY2(bytes.size() == answerLength && bytes.startsWith("T4"), shown);
        for (int channel = 1; channel <= 6; ++channel) {
            const QByteArray f = field(bytes, channel);
            QCOMPARE(f.at(0), '0');
            QVERIFY2(
                std::none_of(f.begin() + 1, f.end(), [](char c) { return c >= '0' && c <= '9'; }),
                f.constData());
        }
    } else if (fault == QLatin1String("stray")) {
        QVERIFY2(bytes.size() == answerLength + 1 && answerProblem(bytes.mid(1), 4).isEmpty(),
                 shown);
    } else if (fault == QLatin1String("extra")) {
        QVERIFY2(bytes.size() > answerLength &&
                     answerProblem(bytes.left(answerLength), 4).isEmpty(),
                 shown);
    } else {
        QVERIFY2(bytes.isEmpty(), shown);
    }
    QVERIFY(bench.simulator.waitForRequests(1, 2000));

    // Taking the fault back gives a proper answer again.
    QVERIFY(bench.simulator.command(QStringLiteral("fault none")));
    const QString problem = answerProblem(ask(bench.port, "t4ca").bytes, 4);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void SimulatorTest::faultEveryNthRequest()
{
    const int every = 3;
    Bench bench;
    QVERIFY(bench.start({"--fault", "no-answer", "--fault-every", QString::number(every),
                         "--no-pacing", "--delay", "0"}));
    QList<bool> answered, expected;
    for (int i = 1; i <= 2 * every; ++i) {
        answered << !ask(bench.port, "t0ca", answerLength, 500, 50).bytes.isEmpty();
        expected << (i % every != 0);
    }
    QCOMPARE(answered, expected);
}

void SimulatorTest::unplugAndReplug_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("byCommand");

    // With every second request unplugging, the first is answered, the second pulls the plug,
    // and the one after the replug is answered again.
    QTest::newRow("fault") << QStringList{"--fault", "unplug",      "--fault-every",
                                          "2",       "--replug-ms", "300"}
                           << false;
    QTest::newRow("command") << QStringList{"--replug-ms", "300"} << true;
}

void SimulatorTest::unplugAndReplug()
{
    QFETCH(QStringList, args);
    QFETCH(bool, byCommand);

    Bench bench;
    QVERIFY(bench.start(args));
    SimulatorProcess &simulator = bench.simulator;
    const QString link = simulator.linkPath();
    QVERIFY(answerProblem(ask(bench.port, "t0ca").bytes, 0).isEmpty());
    if (byCommand)
        QVERIFY(simulator.command(QStringLiteral("unplug")));
    else
        QVERIFY(ask(bench.port, "t0ca", 1, 500).bytes.isEmpty());
    QVERIFY(simulator.waitForLine(QStringLiteral("UNPLUGGED"), 3000));
    QVERIFY2(!QFileInfo(link).isSymLink(), "the link outlived the unplug");
    bench.port.close();

    QVERIFY(simulator.waitForLine(QStringLiteral("READY"), 5000));
    QCOMPARE(simulator.linkPath(), link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), simulator.ptyPath());
    QVERIFY2(openPort(bench.port, link), qPrintable(bench.port.errorString()));
    const QString problem = answerProblem(ask(bench.port, "t0fa").bytes, 0);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void SimulatorTest::linkGoesWithTheSimulator_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: the quit command
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("quit") << 0;
}

void SimulatorTest::linkGoesWithTheSimulator()
{
    QFETCH(int, signalNumber);

    // The program's port stays open: it must not keep the simulator from cleaning up.
    Bench bench;
    QVERIFY(bench.start());
    const QString link = bench.simulator.linkPath();
    QCOMPARE(QFileInfo(link).symLinkTarget(), bench.simulator.ptyPath());
    if (signalNumber == 0)
        QVERIFY(bench.simulator.command(QStringLiteral("quit")));
    else
        QCOMPARE(::kill(pid_t(bench.simulator.processId()), signalNumber), 0);
    QVERIFY(bench.simulator.waitForFinished(5000));
    QCOMPARE(bench.simulator.exitCode(), 0);
    QVERIFY2(!QFileInfo(link).isSymLink(), "the link was left behind");
}

void SimulatorTest::keepsAnsweringWhenInputCloses()
{
    Bench bench;
    QVERIFY(bench.start({"--no-pacing"}));
    bench.simulator.closeInput();
    QTest::qWait(300);
    QVERIFY(bench.simulator.isRunning());
    QVERIFY(answerProblem(ask(bench.port, "t0ca").bytes, 0).isEmpty());
}

// Two simulators under one name would leave the program talking to whichever linked last; the
// second must give up instead, while a link left dangling by a killed simulator is reclaimed.
void SimulatorTest::nameIsClaimedOnlyOnce()
{
    SimulatorProcess first, second, third;
    QVERIFY(first.start({"--link", "bench"}));
    QVERIFY(!second.start({"--link", "bench"}));
    QVERIFY(second.exitCode() != 0);
    QCOMPARE(QFileInfo(first.linkPath()).symLinkTarget(), first.ptyPath());

    const QString stale = QFileInfo(first.linkPath()).path() + QStringLiteral("/stale");
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts/99"), stale));
    QVERIFY(third.start({"--link", "stale"}));
    QCOMPARE(third.linkPath(), stale);
    QCOMPARE(QFileInfo(stale).symLinkTarget(), third.ptyPath());
}

void SimulatorTest::commandsChangeTheCardWhileItRuns()
{
    Bench bench;
    QVERIFY(bench.start({"--no-pacing", "--delay", "0"}));
    auto statuses = [&] {
        const QByteArray answer = ask(bench.port, "t0ca").bytes;
        QByteArray status;
        for (int channel = 1; answer.size() == answerLength && channel <= 6; ++channel)
            status += field(answer, channel).at(0);
        return status;
    };
    QVERIFY(bench.simulator.command(QStringLiteral("open 1,3")));
    QCOMPARE(statuses(), QByteArray("101000"));
    QVERIFY(bench.simulator.command(QStringLiteral("open")));
    QCOMPARE(statuses(), QByteArray("000000"));
    QVERIFY(bench.simulator.command(QStringLiteral("delay 400")));
    const Reception late = ask(bench.port, "t0ca");
    QVERIFY2(late.bytes.size() == answerLength && late.lastMs >= 400,
             qPrintable(QString::number(late.lastMs)));

    for (const char *line : {"fault smoke", "open 7", "delay soon", "fault-every 0", "launch",
                             "card 4 fault none", "card 0 unplug"})
        QVERIFY2(!bench.simulator.command(QString::fromLatin1(line)), line);
    QVERIFY(bench.simulator.isRunning());
}

void SimulatorTest::badOptionsAreRefused()
{
    for (const QStringList &args : QList<QStringList>{{"--address", "8"},
                                                      {"--address", "0,3,3"},
                                                      {"--open", "0"},
                                                      {"--fault", "smoke"},
                                                      {"--link", "a/b"}}) {
        SimulatorProcess simulator;
        QVERIFY2(!simulator.start(args) && simulator.exitCode() == 2, qPrintable(args.join(' ')));
    }
}

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
