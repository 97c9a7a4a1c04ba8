// tervalo-log's command line in process: every option's accepted and refused values, what the
// stored choices fill in, and which port a run opens. The program itself, its exit status and
// its streams are checked in logger_test.

#include "logger/options.h"
#include "settings/registryfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tervalo;
using Outcome = LoggerOptionsResult::Outcome;

Q_DECLARE_METATYPE(tervalo::LoggerOptionsResult::Outcome)
Q_DECLARE_METATYPE(tervalo::StoredChoices)

namespace {

LoggerOptionsResult parse(const QStringList &args, const StoredChoices &stored = {})
{
    return parseLoggerOptions(QStringList{QStringLiteral("tervalo-log")} + args, stored);
}

// The channel boxes as "101100": 1 for a checked one.
QString boxes(const std::array<bool, channelCount> &checked)
{
    QString text;
    for (bool on : checked)
        text += on ? QLatin1Char('1') : QLatin1Char('0');
    return text;
}

// One field of the options by name, so that one table can speak of all of them.
QVariant field(const LoggerOptions &options, const QString &name)
{
    if (name == QLatin1String("portNumber"))
        return options.portNumber ? QVariant(*options.portNumber) : QVariant();
    if (name == QLatin1String("device"))
        return options.device ? QVariant(*options.device) : QVariant();
    if (name == QLatin1String("storedDevice"))
        return options.storedDevice;
    if (name == QLatin1String("iso"))
        return options.timeStyle == RecordTimeStyle::Iso;
    if (name == QLatin1String("header"))
        return options.header;
    if (name == QLatin1String("quiet"))
        return options.quiet;
    if (name == QLatin1String("address"))
        return options.address;
    if (name == QLatin1String("addresses"))
        return options.addresses.join(QLatin1Char(','));
    if (name == QLatin1String("unit"))
        return options.unit;
    if (name == QLatin1String("intervalMs"))
        return options.intervalMs;
    if (name == QLatin1String("checked"))
        return boxes(options.checked);
    if (name == QLatin1String("logFile"))
        return options.logFile;
    if (name == QLatin1String("keepRunning"))
        return options.keepRunning;
    if (name == QLatin1String("count"))
        return options.count;
    if (name == QLatin1String("durationMs"))
        return options.durationMs;
    if (name == QLatin1String("listPorts"))
        return options.listPorts;
    if (name == QLatin1String("alarms"))
        return alarmRulesText(options.alarmRules);
    if (name == QLatin1String("alarmHysteresis"))
        return options.alarmHysteresis;
    if (name == QLatin1String("alarmDelay"))
        return options.alarmDelay;
    if (name == QLatin1String("onAlarm"))
        return options.onAlarm;
    if (name == QLatin1String("mqtt")) {
        if (!options.mqtt)
            return QStringLiteral("none");
        const MqttSettings &m = *options.mqtt;
        return QStringLiteral("%1 %2 %3 ca=%4 user=%5 password=%6 prefix=%7 discovery=%8 queue=%9")
            .arg(m.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), m.host)
            .arg(m.port)
            .arg(m.caFile, m.user, m.password, m.topicPrefix)
            .arg(m.discovery)
            .arg(m.queueLimit);
    }
    QTest::qFail(qPrintable(QStringLiteral("no field %1").arg(name)), __FILE__, __LINE__);
    return {};
}

// Where the tests put files and links; "@dir@" in a table stands for it.
QString g_dir;

QString placed(QString text)
{
    return text.replace(QStringLiteral("@dir@"), g_dir);
}

QStringList placed(QStringList texts)
{
    for (QString &text : texts)
        text = placed(text);
    return texts;
}

} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void informationOnly_data();
    void informationOnly();
    void storedChoices_data();
    void storedChoices();
    void readStored_data();
    void readStored();
    void port_data();
    void port();

private:
    QTemporaryDir m_dir;
};

void OptionsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    g_dir = m_dir.path();
    QFile existing(m_dir.filePath(QStringLiteral("existing.csv")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), m_dir.filePath(QStringLiteral("card"))));
    QFile password(m_dir.filePath(QStringLiteral("password")));
    QVERIFY(password.open(QIODevice::WriteOnly));
    password.write(" s3cret \r\nsecond line\n");
    QCoreApplication::setApplicationName(QStringLiteral("tervalo-log"));
    QCoreApplication::setApplicationVersion(QStringLiteral("4.5.6"));
}

void OptionsTest::accepted_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("value");
    const auto row = [](const char *title, const QStringList &args, const char *name,
                        const QVariant &value) {
        QTest::newRow(title) << placed(args) << QString::fromLatin1(name) << value;
    };
    row("address lowest", {"--address", "0"}, "address", "0");
    row("address highest", {"--address", "7"}, "address", "7");
    row("one card", {"--address", "4"}, "addresses", "4");
    row("the window's card", {}, "addresses", "0");
    row("three cards, in the order given", {"--address", "5,0,3", "--rate", "1sps"}, "addresses", "5,0,3");
    row("the first of several", {"--address", "5,0,3", "--rate", "1sps"}, "address", "5");
    row("eight cards at the fastest rate that fits", {"--address", "0,1,2,3,4,5,6,7", "--rate", "6spm"}, "addresses", "0,1,2,3,4,5,6,7");
    row("two cards at 2 a second", {"--address", "0,1", "--rate", "2sps"}, "intervalMs", 500);
    row("a log for each card", {"--address", "0,1", "--rate", "1sps", "--log", "@dir@/oven-%a.csv"}, "logFile", placed("@dir@/oven-%a.csv"));
    row("Fahrenheit", {"--unit", "f"}, "unit", "f");
    row("six a minute", {"--rate", "6spm"}, "intervalMs", 10000);
    row("a rate the list does not offer", {"--rate", "4sps"}, "intervalMs", 250);
    row("count 1", {"--count", "1"}, "count", 1LL);
    row("count with a plus", {"--count", "+3"}, "count", 3LL);
    row("count with blanks", {"--count", " 3 "}, "count", 3LL);
    row("count in one argument", {"--count=3"}, "count", 3LL);
    row("largest count", {"--count", "9223372036854775807"}, "count", 9223372036854775807LL);
    row("no count", {}, "count", 0LL);
    row("seconds, bare", {"--duration", "90"}, "durationMs", 90000LL);
    row("seconds", {"--duration", "90s"}, "durationMs", 90000LL);
    row("minutes", {"--duration", "15m"}, "durationMs", 900000LL);
    row("hours", {"--duration", "12h"}, "durationMs", 43200000LL);
    row("days", {"--duration", "2d"}, "durationMs", 172800000LL);
    row("a year of days", {"--duration", "366d"}, "durationMs", 366LL * 86400000);
    row("a year of hours", {"--duration", "8784h"}, "durationMs", 366LL * 86400000);
    row("a year of minutes", {"--duration", "527040m"}, "durationMs", 366LL * 86400000);
    row("a year of seconds", {"--duration", "31622400"}, "durationMs", 366LL * 86400000);
    row("no duration", {}, "durationMs", 0LL);
    row("keep running", {"--keep-running"}, "keepRunning", true);
    row("stop at the first failure", {}, "keepRunning", false);
    row("new log", {"--log", "@dir@/new.csv"}, "logFile", placed("@dir@/new.csv"));
    row("existing log", {"--log", "@dir@/existing.csv"}, "logFile", placed("@dir@/existing.csv"));
    row("no log", {}, "logFile", "");
    row("port", {"--port", "1"}, "portNumber", 1);
    row("port with a plus", {"--port", "+3"}, "portNumber", 3);
    row("port beyond any list", {"--port", "70000"}, "portNumber", 70000);
    row("no port", {}, "portNumber", QVariant());
    row("device", {"--device", "/dev/ttyUSB0"}, "device", "/dev/ttyUSB0");
    row("device left empty", {"--device", ""}, "device", "");
    row("no device", {}, "device", QVariant());
    row("list ports", {"--list-ports"}, "listPorts", true);
    row("list ports, whatever the port", {"--list-ports", "--port", "0"}, "listPorts", true);
    row("read", {}, "listPorts", false);
    row("channels", {"--channels", "1,3,6"}, "checked", "101001");
    row("channels out of order, twice, with blanks", {"--channels", "6, 1,6"}, "checked", "100001");
    row("one channel", {"--channels=4"}, "checked", "000100");
    row("ISO time", {"--time", "iso"}, "iso", true);
    row("the window's time", {"--time", "local"}, "iso", false);
    row("the window's time unless asked", {}, "iso", false);
    row("header", {"--header"}, "header", true);
    row("quiet", {"--quiet"}, "quiet", true);
    // Rules read back as their text: a unit given stays the rule's own, none leaves the run's.
    row("alarm in Celsius", {"--unit", "c", "--alarm", "ch3>250C"}, "alarms", "ch3>250C");
    row("alarm in Fahrenheit over Celsius", {"--unit", "c", "--alarm", "ch1<-10f"}, "alarms",
        "ch1<-10F");
    row("alarm in the run's unit", {"--unit", "f", "--alarm", "ch1<-10"}, "alarms", "ch1<-10");
    row("alarm in raw counts, short and long",
        {"--unit", "r", "--alarm", "ch2>600r", "--alarm", "ch2<100raw"}, "alarms",
        "ch2>600raw;ch2<100raw");
    row("alarm before the unit it needs", {"--alarm", "ch3>250C", "--unit", "c"}, "alarms",
        "ch3>250C");
    row("open alarm in any unit", {"--unit", "r", "--alarm", "ch6:open"}, "alarms", "ch6:open");
    row("alarms in the order given", {"--unit", "c", "--alarm", "ch6:open", "--alarm", "ch1>30.5"},
        "alarms", "ch6:open;ch1>30.5");
    row("no alarm", {}, "alarms", "");
    row("no broker", {}, "mqtt", "none");
    row("a broker", {"--mqtt", "mqtt://broker.lab"}, "mqtt",
        "mqtt broker.lab 1883 ca= user= password= prefix= discovery=0 queue=300000");
    // The first line of the file, without its line end (an editor leaves one), blanks kept.
    row("a broker with TLS and a user", {"--mqtt", "mqtts://10.0.0.5:8884", "--mqtt-ca", "ca.pem",
        "--mqtt-user", "oven", "--mqtt-password-file", "@dir@/password", "--mqtt-topic", "lab/oven",
        "--mqtt-discovery", "--mqtt-queue", "10"}, "mqtt",
        "mqtts 10.0.0.5 8884 ca=ca.pem user=oven password= s3cret  prefix=lab/oven discovery=1 queue=10");
    row("hysteresis", {"--alarm-hysteresis", "2.5"}, "alarmHysteresis", 2.5);
    row("hysteresis 0", {"--alarm-hysteresis", "0"}, "alarmHysteresis", 0.0);
    row("delay", {"--alarm-delay", "3"}, "alarmDelay", 3);
    row("no delay", {}, "alarmDelay", 1);
    row("alarm command", {"--on-alarm", "logger -t oven \"$TERVALO_ALARM_TEXT\""}, "onAlarm",
        "logger -t oven \"$TERVALO_ALARM_TEXT\"");
    row("no alarm command", {}, "onAlarm", "");
}

void OptionsTest::accepted()
{
    QFETCH(QStringList, args);
    QFETCH(QString, name);
    QFETCH(QVariant, value);
    const LoggerOptionsResult result = parse(args);
    QVERIFY2(result.outcome == Outcome::Run, qPrintable(result.text));
    QCOMPARE(result.exitStatus, 0);
    QCOMPARE(field(result.options, name), value);
}

void OptionsTest::refused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    const QString rates = QStringLiteral(
        "--rate must be one of 5sps, 4sps, 3sps, 2sps, 1sps, 6spm, 3spm, 2spm, 1spm, 6sph, 3sph, "
        "2sph, 1sph");
    const auto row = [](const char *title, const QStringList &args, int status, const QString &message) {
        QTest::newRow(title) << placed(args) << status << placed(message);
    };
    const QString address = QStringLiteral("--address must be 0 to 7");
    const QString unit = QStringLiteral("--unit must be r, c or f");
    const QString count = QStringLiteral("--count must be a whole number above 0");
    const QString duration =
        QStringLiteral("--duration must be a time such as 90, 90s, 15m, 12h or 2d");
    const QString port = QStringLiteral("--port must be a port number, see --list-ports");

    row("unknown option", {"--frobnicate"}, 2, "Unknown option 'frobnicate'.");
    row("value missing", {"--count"}, 2, "Missing value after '--count'.");
    row("unknown option beats help", {"--frobnicate", "--help"}, 2, "Unknown option 'frobnicate'.");
    row("argument", {"extra"}, 2, "unexpected argument 'extra'");
    row("port and device", {"--port", "1", "--device", "/dev/ttyS0"}, 2, "give --port or --device, not both");
    row("address above 7", {"--address", "8"}, 2, address);
    row("address with a line end", {"--address", "5\n"}, 2, address);
    row("address before unit", {"--address", "9", "--unit", "k"}, 2, address);
    row("an empty place in the list", {"--address", "0,,3", "--rate", "1sps"}, 2, address);
    row("blank in the list", {"--address", "0, 3", "--rate", "1sps"}, 2, address);
    row("a card twice", {"--address", "0,3,0", "--rate", "1sps"}, 2, "--address lists 0 twice");
    row("three cards at 2 a second", {"--address", "0,3,5", "--rate", "2sps"}, 2,
        "--rate 2sps is too fast for 3 cards: asking them in turn takes about 600 ms; the fastest "
        "rate that fits is 1sps");
    row("eight cards at 1 a second", {"--address", "0,1,2,3,4,5,6,7", "--rate", "1sps"}, 2,
        "--rate 1sps is too fast for 8 cards: asking them in turn takes about 1600 ms; the fastest "
        "rate that fits is 6spm");
    row("one log for several cards", {"--address", "0,3", "--rate", "1sps", "--log", "@dir@/oven.csv"}, 2,
        "--log needs %a in its name with several cards, so that each card has its own log (e.g. oven-%a.csv)");
    row("a card's log in a missing folder", {"--address", "0,3", "--rate", "1sps", "--log", "@dir@/no/oven-%a.csv"}, 1,
        placed("cannot write the log '@dir@/no/oven-0.csv'"));
    row("unit", {"--unit", "k"}, 2, unit);
    row("unit in capitals", {"--unit", "C"}, 2, unit);
    row("rate", {"--rate", "7sps"}, 2, rates);
    row("rate in capitals", {"--rate", "3SPS"}, 2, rates);
    row("count 0", {"--count", "0"}, 2, count);
    row("count below 0", {"--count", "-1"}, 2, count);
    row("count with a fraction", {"--count", "1.5"}, 2, count);
    row("count beyond 64 bits", {"--count", "9223372036854775808"}, 2, count);
    row("count given twice, the last counts", {"--count", "3", "--count", "0"}, 2, count);
    row("duration word", {"--duration", "soon"}, 2, duration);
    row("duration 0", {"--duration", "0"}, 2, duration);
    row("duration with a plus", {"--duration", "+3"}, 2, duration);
    row("duration with a plus and a unit", {"--duration", "+3m"}, 2, duration);
    row("duration in capitals", {"--duration", "3S"}, 2, duration);
    row("duration in milliseconds", {"--duration", "3ms"}, 2, duration);
    row("duration with a fraction", {"--duration", "1.5h"}, 2, duration);
    row("a day more than a year", {"--duration", "367d"}, 2, duration);
    row("an hour more than a year", {"--duration", "8785h"}, 2, duration);
    row("a minute more than a year", {"--duration", "527041m"}, 2, duration);
    row("a second more than a year", {"--duration", "31622401"}, 2, duration);
    row("log in a missing folder", {"--log", "@dir@/missing/run.csv"}, 1,
        "cannot write the log '@dir@/missing/run.csv'");
    row("log is a folder", {"--log", "@dir@/folder"}, 1, "cannot write the log '@dir@/folder'");
    row("log empty", {"--log", ""}, 1, "cannot write the log ''");
    row("log before port", {"--port", "0", "--log", "@dir@/missing/run.csv"}, 1,
        "cannot write the log '@dir@/missing/run.csv'");
    row("port 0", {"--port", "0"}, 2, port);
    row("port with a fraction", {"--port", "1.0"}, 2, port);
    row("port name", {"--port", "COM1"}, 2, port);
    row("port beyond 32 bits", {"--port", "4294967297"}, 2, port);
    const QString channels = QStringLiteral("--channels must list channels 1 to 6, e.g. 1,2,3");
    row("channel 0", {"--channels", "0,1"}, 2, channels);
    row("channel 7", {"--channels", "7"}, 2, channels);
    row("no channel", {"--channels", ""}, 2, channels);
    row("a channel left out between commas", {"--channels", "1,,2"}, 2, channels);
    row("channels by name", {"--channels", "all"}, 2, channels);
    row("time style", {"--time", "utc"}, 2, "--time must be local or iso");
    const auto notARule = [](const char *rule) {
        return QStringLiteral("--alarm '%1' is not a rule such as ch3>250C, ch1<-10 or ch6:open")
            .arg(QLatin1String(rule));
    };
    row("alarm on channel 9", {"--alarm", "ch9>5"}, 2, notARule("ch9>5"));
    row("alarm in kelvin", {"--alarm", "ch3>250K"}, 2, notARule("ch3>250K"));
    row("the bad one of two alarms", {"--unit", "c", "--alarm", "ch1>5", "--alarm", "ch1>>5"}, 2,
        notARule("ch1>>5"));
    row("raw alarm over Celsius", {"--unit", "c", "--alarm", "ch2<100raw"}, 2,
        "--alarm 'ch2<100raw' is in raw counts and the run reads Celsius; give the limit in C or F "
        "or use --unit r");
    row("Celsius alarm over raw counts", {"--unit", "r", "--alarm", "ch3>250C"}, 2,
        "--alarm 'ch3>250C' is in Celsius and the run reads raw counts; give the limit in raw "
        "counts or use --unit c or f");
    // The window's unit is the run's when --unit is not given: raw counts on a first start.
    row("Fahrenheit alarm over the stored raw counts", {"--alarm", "ch3>480F"}, 2,
        "--alarm 'ch3>480F' is in Fahrenheit and the run reads raw counts; give the limit in raw "
        "counts or use --unit c or f");
    const QString hysteresis =
        QStringLiteral("--alarm-hysteresis must be a number of 0 or more, e.g. 2.5");
    row("hysteresis below 0", {"--alarm-hysteresis", "-1"}, 2, hysteresis);
    row("hysteresis not a number", {"--alarm-hysteresis", "nan"}, 2, hysteresis);
    row("hysteresis without end", {"--alarm-hysteresis", "inf"}, 2, hysteresis);
    row("hysteresis with a unit", {"--alarm-hysteresis", "2C"}, 2, hysteresis);
    const QString delay =
        QStringLiteral("--alarm-delay must be a whole number of readings above 0");
    row("delay 0", {"--alarm-delay", "0"}, 2, delay);
    row("delay with a fraction", {"--alarm-delay", "1.5"}, 2, delay);
    row("alarm command left empty", {"--on-alarm", " "}, 2, "--on-alarm names no command");
    row("broker at a web address", {"--mqtt", "http://broker"}, 2,
        "--mqtt: the broker address has the scheme \"http\": it must be mqtt:// or mqtts://");
    row("a password in the address", {"--mqtt", "mqtt://oven:pw@broker"}, 2,
        "--mqtt: the broker address cannot hold a user name or password");
    row("a user without a broker", {"--mqtt-user", "oven"}, 2, "--mqtt-user needs --mqtt");
    row("a CA without TLS", {"--mqtt", "mqtt://broker", "--mqtt-ca", "ca.pem"}, 2,
        "--mqtt-ca needs an mqtts:// broker");
    row("a password without a user", {"--mqtt", "mqtt://broker", "--mqtt-password-file", "@dir@/password"}, 2,
        "--mqtt-password-file needs --mqtt-user");
    row("a password file nobody wrote", {"--mqtt", "mqtt://broker", "--mqtt-user", "oven",
        "--mqtt-password-file", "@dir@/none"}, 1,
        "cannot read the password file '@dir@/none': No such file or directory");
    const QString topic = QStringLiteral("--mqtt-topic must be a topic such as lab/oven, without + or # and not ending in /");
    row("a wildcard in the topic", {"--mqtt", "mqtt://broker", "--mqtt-topic", "lab/+"}, 2, topic);
    row("a topic ending in /", {"--mqtt", "mqtt://broker", "--mqtt-topic", "lab/"}, 2, topic);
    row("an empty queue", {"--mqtt", "mqtt://broker", "--mqtt-queue", "0"}, 2,
        "--mqtt-queue must be a whole number of readings above 0");
}

void OptionsTest::refused()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, message);
    const LoggerOptionsResult result = parse(args);
    QCOMPARE(result.outcome, status == exitUsage ? Outcome::UsageError : Outcome::Failure);
    QCOMPARE(result.exitStatus, status);
    QCOMPARE(result.text, message);
}

void OptionsTest::informationOnly_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Outcome>("outcome");
    QTest::newRow("help") << QStringList{"--help"} << Outcome::Help;
    QTest::newRow("help beats a wrong value") << QStringList{"--address", "9", "--help"} << Outcome::Help;
    QTest::newRow("help beats version") << QStringList{"--version", "--help"} << Outcome::Help;
    QTest::newRow("help with Qt's options") << QStringList{"--help-all"} << Outcome::Help;
    QTest::newRow("version") << QStringList{"--version"} << Outcome::Version;
    QTest::newRow("version, capital") << QStringList{"-V"} << Outcome::Version;
    QTest::newRow("version beats port and device")
        << QStringList{"--port", "1", "--device", "x", "-v"} << Outcome::Version;
}

void OptionsTest::informationOnly()
{
    QFETCH(QStringList, args);
    QFETCH(Outcome, outcome);
    const LoggerOptionsResult result = parse(args);
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.exitStatus, 0);
    if (outcome == Outcome::Version) {
        QCOMPARE(result.text, QStringLiteral("tervalo-log 4.5.6\n"));
    } else {
        QVERIFY2(result.text.startsWith(QStringLiteral("Usage: ")), qPrintable(result.text));
        for (const char *option : {"--port <N>", "--device <PATH>", "--address <N[,N...]>", "--unit <U>",
                                   "--rate <CODE>", "--log <FILE>", "--keep-running", "--count <N>",
                                   "--duration <TIME>", "--list-ports", "--channels <LIST>",
                                   "--time <STYLE>", "--header", "--quiet", "--alarm <RULE>",
                                   "--alarm-hysteresis <X>", "--alarm-delay <N>",
                                   "--on-alarm <CMD>"})
            QVERIFY2(result.text.contains(QLatin1String(option)), option);
    }
}

void OptionsTest::storedChoices_data()
{
    QTest::addColumn<StoredChoices>("stored");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("value");
    const auto row = [](const char *title, const StoredChoices &stored, const QStringList &args,
                        const char *name, const QVariant &value) {
        QTest::newRow(title) << stored << args << QString::fromLatin1(name) << value;
    };
    const auto rate = [](int position) {
        StoredChoices stored;
        stored.rateListPosition = position;
        return stored;
    };
    StoredChoices window;
    window.address = QStringLiteral("5");
    window.unit = QStringLiteral("f");
    window.checked = {true, false, true, true, false, false};
    window.portDevice = QStringLiteral("/dev/ttyUSB1");
    window.rateListPosition = 3;

    row("first start", StoredChoices{}, {}, "intervalMs", 333);
    row("the list's second rate", rate(1), {}, "intervalMs", 500);
    row("the list's last rate", rate(8), {}, "intervalMs", 3600000);
    row("a rate position past the list", rate(9), {}, "intervalMs", 333);
    row("stored rate", window, {}, "intervalMs", 10000);
    row("rate given", window, {"--rate", "1sps"}, "intervalMs", 1000);
    row("stored address", window, {}, "address", "5");
    row("address given", window, {"--address", "0"}, "address", "0");
    row("stored unit", window, {}, "unit", "f");
    row("unit given", window, {"--unit", "r"}, "unit", "r");
    row("stored channels", window, {}, "checked", "101100");
    row("first start's channels", StoredChoices{}, {}, "checked", "111111");
    row("stored device", window, {}, "storedDevice", "/dev/ttyUSB1");
    row("channels given", window, {"--channels", "2"}, "checked", "010000");
}

void OptionsTest::storedChoices()
{
    QFETCH(StoredChoices, stored);
    QFETCH(QStringList, args);
    QFETCH(QString, name);
    QFETCH(QVariant, value);
    const LoggerOptionsResult result = parse(args, stored);
    QVERIFY2(result.outcome == Outcome::Run, qPrintable(result.text));
    QCOMPARE(field(result.options, name), value);
}

void OptionsTest::readStored_data()
{
    QTest::addColumn<QString>("lines"); // under the settings key; empty: no settings file
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("value");
    const auto row = [](const char *title, const char *lines, const char *name, const QVariant &value) {
        QTest::newRow(title) << QString::fromLatin1(lines) << QString::fromLatin1(name) << value;
    };
    row("first start's address", "", "address", "0");
    row("first start's channels", "", "checked", "111111");
    row("first start's rate", "", "rateListPosition", 0);
    row("address", "\"Address\"=dword:00000005", "address", "5");
    row("unit", "\"Data Output\"=\"c\"", "unit", "c");
    row("channels off", "\"Channel 2\"=dword:00000000\n\"Channel 6\"=\"0\"", "checked", "101110");
    row("a stored grey state reads as unchecked, as in the window", "\"Channel 3\"=dword:00000002", "checked", "110111");
    row("port device", "\"Port No\"=dword:00000002\n\"Port Device\"=\"/dev/ttyUSB0\"", "portDevice", "/dev/ttyUSB0");
    row("no port device", "\"Port No\"=dword:00000002", "portDevice", "");
    row("rate position", "\"SampleRate\"=dword:00000008", "rateListPosition", 8);
    row("rate position as text with a plus", "\"SampleRate\"=\"+3\"", "rateListPosition", 3);
    row("rate position that is no number", "\"SampleRate\"=\"fast\"", "rateListPosition", 0);
}

void OptionsTest::readStored()
{
    QFETCH(QString, lines);
    QFETCH(QString, name);
    QFETCH(QVariant, value);
    const QString file = m_dir.filePath(QStringLiteral("Tervalo.reg"));
    QFile::remove(file);
    if (!lines.isEmpty()) {
        QFile store(file);
        QVERIFY(store.open(QIODevice::WriteOnly));
        store.write("Windows Registry Editor Version 5.00\n\n"
                    "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo]\n" +
                    lines.toLatin1() + "\n");
    }
    RegistryManagement::setStoreFile(file.toStdString());
    const StoredChoices stored = readStoredChoices();
    RegistryManagement::setStoreFile({});
    // Only read: a first start of the logger leaves no settings behind.
    QCOMPARE(QFile::exists(file), !lines.isEmpty());

    QVariant actual;
    if (name == QLatin1String("address")) {
        actual = stored.address;
    } else if (name == QLatin1String("unit")) {
        actual = stored.unit;
    } else if (name == QLatin1String("checked")) {
        actual = boxes(stored.checked);
    } else if (name == QLatin1String("portDevice")) {
        actual = stored.portDevice;
    } else if (name == QLatin1String("rateListPosition")) {
        actual = stored.rateListPosition;
    }
    QCOMPARE(actual, value);
}

void OptionsTest::port_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("storedDevice"); // the window's choice
    QTest::addColumn<QStringList>("devices");   // today's ports, numbered 1, 2, ...
    QTest::addColumn<int>("number");            // 0: not among today's ports
    QTest::addColumn<QString>("device");        // what is opened
    QTest::addColumn<QString>("failure");
    const QStringList three{"/dev/zero", "/dev/null", "/dev/full"};
    const auto row = [](const char *title, const QStringList &args, const char *stored,
                        const QStringList &devices, int number, const char *device, const char *failure) {
        QTest::newRow(title) << placed(args) << placed(QString::fromUtf8(stored)) << devices << number
                             << placed(QString::fromUtf8(device)) << placed(QString::fromUtf8(failure));
    };
    const char *noDevice = "the window has not stored which device its port is; give --device (see --list-ports)";

    row("the window's device", {}, "/dev/null", three, 2, "/dev/null", "");
    row("the window's device through a link", {}, "@dir@/card", three, 2, "@dir@/card", "");
    // Its list position would name another card now: none rather than the wrong one.
    row("the window's device gone", {}, "/dev/ttyUSB7", three, 0, "",
        "the window's port /dev/ttyUSB7 is not here; give --device (see --list-ports)");
    row("the window stored no device", {}, "", three, 0, "", noDevice);
    row("no ports at all", {}, "/dev/null", {}, 0, "",
        "the window's port /dev/null is not here; give --device (see --list-ports)");
    row("port given", {"--port", "3"}, "/dev/null", three, 3, "/dev/full", "");
    row("port given beyond the list", {"--port", "9"}, "", three, 0, "", "there is no port 9 (see --list-ports)");
    row("device", {"--device", "/dev/null"}, "/dev/full", three, 2, "/dev/null", "");
    row("device by its name alone", {"--device", "null"}, "", three, 2, "/dev/null", "");
    row("a link kept as it is given", {"--device", "@dir@/card"}, "", three, 2, "@dir@/card", "");
    row("device not among today's ports", {"--device", "/dev/tty"}, "", three, 0, "/dev/tty", "");
    row("device empty", {"--device", ""}, "", three, 0, "", "--device names no device");
    // The serial library would look for a relative name under /dev.
    QTest::newRow("a relative path, from where it was given")
        << QStringList{"--device", "run/tervalo/card"} << QString() << three << 0
        << QDir::current().filePath(QStringLiteral("run/tervalo/card")) << QString();
}

void OptionsTest::port()
{
    QFETCH(QStringList, args);
    QFETCH(QString, storedDevice);
    QFETCH(QStringList, devices);
    QFETCH(int, number);
    QFETCH(QString, device);
    QFETCH(QString, failure);
    StoredChoices stored;
    stored.portDevice = storedDevice;
    const LoggerOptionsResult result = parse(args, stored);
    QVERIFY2(result.outcome == Outcome::Run, qPrintable(result.text));
    QList<SerialPortEntry> ports;
    for (const QString &path : devices)
        ports.append({int(ports.size()) + 1, path, {}});
    const PortChoice choice = choosePort(result.options, ports);
    QCOMPARE(choice.failure, failure);
    QCOMPARE(choice.portNumber, number);
    QCOMPARE(choice.device, device);
}

QTEST_GUILESS_MAIN(OptionsTest)
#include "options_test.moc"
