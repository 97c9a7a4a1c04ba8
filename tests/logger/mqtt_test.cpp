// tervalo-log's MQTT publisher: the address, topic and message rules in process, and the
// connection against the distribution's mosquitto, run by the test on a free local port with a
// configuration of its own. A libmosquitto client of the test's own sees what arrived.

#include "logger/mqttpublisher.h"
#include "tests/support/mqttpeers.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace tervalo;
using namespace tervalo::test;

namespace {

const QDateTime baseTime(QDate(2026, 12, 8), QTime(10, 15, 2, 125), Qt::OffsetFromUTC, 3600);

// Reading `n` of a card: channel 1 holds n / 10, channel 2 is open.
CardReading cardReading(const QString &address, int n)
{
    const QString answer = QStringLiteral("T") + address +
                           QStringLiteral("0%1").arg(n / 10.0, 4, 'f', 1) +
                           QStringLiteral("1    0-1.50 734055550  +5");
    CardReading reading = decodeAnswer(answer, {true, true, true, true, true, true},
                                       baseTime.addMSecs(n), QStringLiteral("c"));
    reading.address = address; // as the session sets it
    return reading;
}


QList<int> range(int first, int last)
{
    QList<int> numbers;
    for (int i = first; i <= last; ++i)
        numbers.append(i);
    return numbers;
}

MqttSettings localSettings(int port)
{
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    settings.topicPrefix = QStringLiteral("test/logger");
    settings.reconnectMinMs = 200;
    settings.reconnectMaxMs = 400;
    return settings;
}

} // namespace

class MqttTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { mosquitto_lib_init(); }
    void parseUrl_data();
    void parseUrl();
    void portName_data();
    void portName();
    void payload_data();
    void payload();
    void delivery_data();
    void delivery();
    void discovery();
    void brokerRestart();
    void queueBound();
    void refusedStart_data();
    void refusedStart();
    void tls_data();
    void tls();
};

void MqttTest::parseUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected"); // host:port:tls, or part of the error

    QTest::newRow("plain") << "mqtt://broker" << "broker:1883:0";
    QTest::newRow("port") << "mqtt://broker.lan:1884" << "broker.lan:1884:0";
    QTest::newRow("tls, its default port") << "mqtts://broker" << "broker:8883:1";
    QTest::newRow("scheme case, trailing slash") << "MQTTS://Broker:65535/" << "Broker:65535:1";
    QTest::newRow("ipv6") << "mqtt://[::1]:1" << "::1:1:0";
    QTest::newRow("no scheme") << "broker:1883" << "mqtt://host[:port]";
    QTest::newRow("other scheme") << "http://broker" << "\"http\"";
    QTest::newRow("user info") << "mqtt://user:pw@broker" << "user name or password";
    QTest::newRow("path") << "mqtt://broker/topic" << "path";
    QTest::newRow("port 0") << "mqtt://broker:0" << "1 to 65535";
    QTest::newRow("port too high") << "mqtt://broker:65536" << "1 to 65535";
    QTest::newRow("port signed") << "mqtt://broker:+80" << "1 to 65535";
    QTest::newRow("colon, no port") << "mqtt://broker:" << "without a port";
    QTest::newRow("no host") << "mqtt://:1883" << "no host";
    QTest::newRow("ipv6 bare") << "mqtt://::1" << "brackets";
    QTest::newRow("name in brackets") << "mqtt://[broker]" << "not an IPv6";
    QTest::newRow("blank in host") << "mqtt://bro ker" << "not a host name";
}

void MqttTest::parseUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QString error;
    const std::optional<MqttSettings> settings = parseMqttUrl(url, &error);
    if (settings)
        QCOMPARE(QStringLiteral("%1:%2:%3")
                     .arg(settings->host)
                     .arg(settings->port)
                     .arg(int(settings->tls)),
                 expected);
    else
        QVERIFY2(error.contains(expected), qPrintable(error));
}

void MqttTest::portName_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("name");
    QTest::newRow("usb") << "/dev/ttyUSB0" << "ttyUSB0";
    QTest::newRow("windows device path") << "\\\\.\\COM10" << "COM10";
    QTest::newRow("wildcards") << "/dev/serial/by-id/usb-A+B#1" << "usb-A_B_1";
    QTest::newRow("nul") << QStringLiteral("tty") + QChar(0) + QStringLiteral("x") << "tty_x";
    QTest::newRow("folder only") << "/dev/" << "_";
}

void MqttTest::portName()
{
    QFETCH(QString, device);
    QFETCH(QString, name);
    QCOMPARE(topicPortName(device), name);
}

void MqttTest::payload_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QByteArray>("expected");

    // Channel 5 is unchecked in every row.
    QTest::newRow("celsius: open, disabled, fraction, sign")
        << "T3" "022.5" "1    " "0-1.5" "00.25" "0 734" "0  +5" << "c" << 3600 << "/dev/ttyUSB0"
        << QByteArray(R"({"time":"2026-12-08T10:15:02.125+01:00","unit":"C","address":3,)"
                      R"("port":"ttyUSB0","seq":7,"channels":[{"channel":1,"value":22.5},)"
                      R"({"channel":2,"status":"open"},{"channel":3,"value":-1.5},)"
                      R"({"channel":4,"value":0.25},{"channel":5,"status":"disabled"},)"
                      R"({"channel":6,"value":5}]})");
    QTest::newRow("raw counts, UTC, negative zero")
        << "T0" "0 734" "0-012" "09999" "0-0.0" "00000" "0-999" << "r" << 0 << "ttyS0"
        << QByteArray(R"({"time":"2026-12-08T09:15:02.125+00:00","unit":"raw","address":0,)"
                      R"("port":"ttyS0","seq":7,"channels":[{"channel":1,"value":734},)"
                      R"({"channel":2,"value":-12},{"channel":3,"value":9999},)"
                      R"({"channel":4,"value":0},{"channel":5,"status":"disabled"},)"
                      R"({"channel":6,"value":-999}]})");
    QTest::newRow("fahrenheit west of UTC, no float noise, JSON escapes")
        << "T7" "01.05" "099.9" "0 -40" "0.125" "03276" "11234" << "f" << -34200 << "/dev/a\"b\t"
        << QByteArray(R"({"time":"2026-12-07T23:45:02.125-09:30","unit":"F","address":7,)"
                      R"("port":"a\"b\u0009","seq":7,"channels":[{"channel":1,"value":1.05},)"
                      R"({"channel":2,"value":99.9},{"channel":3,"value":-40},)"
                      R"({"channel":4,"value":0.125},{"channel":5,"status":"disabled"},)"
                      R"({"channel":6,"status":"open"}]})");
    // One field without a number makes every channel an error, the unchecked one too.
    QTest::newRow("failed answer")
        << "T1" "022.5" "0ab12" "0 734" "1    " "05555" "0  +5" << "c" << 3600 << "ttyUSB1"
        << QByteArray(R"({"time":"2026-12-08T10:15:02.125+01:00","unit":"C","address":1,)"
                      R"("port":"ttyUSB1","seq":7,"channels":[{"channel":1,"status":"err"},)"
                      R"({"channel":2,"status":"err"},{"channel":3,"status":"err"},)"
                      R"({"channel":4,"status":"err"},{"channel":5,"status":"err"},)"
                      R"({"channel":6,"status":"err"}]})");
}

void MqttTest::payload()
{
    QFETCH(QString, answer);
    QFETCH(QString, unit);
    QFETCH(int, offset);
    QFETCH(QString, device);
    QFETCH(QByteArray, expected);
    CardReading reading = decodeAnswer(answer, {true, true, true, true, false, true},
                                       baseTime.toOffsetFromUtc(offset), unit);
    reading.address = answer.mid(1, 1);
    const QByteArray actual = readingPayload(reading, device, 7);
    QCOMPARE(actual, expected);
    QJsonParseError error;
    QJsonDocument::fromJson(actual, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void MqttTest::delivery_data()
{
    QTest::addColumn<QStringList>("cards"); // port|address
    QTest::addColumn<int>("count");         // readings of each
    QTest::newRow("one card") << QStringList{"/dev/ttyUSB0|0"} << 30;
    QTest::newRow("three cards, two on one port")
        << QStringList{"/dev/ttyUSB0|0", "/dev/ttyUSB0|3", "/dev/ttyUSB1|0"} << 40;
}

void MqttTest::delivery()
{
    REQUIRE_BROKER();
    QFETCH(QStringList, cards);
    QFETCH(int, count);
    QTemporaryDir folder;
    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start());
    Subscriber live(port, QStringLiteral("test/logger/#"));
    QTRY_VERIFY(live.subscribed());

    MqttPublisher publisher(localSettings(port));
    QCOMPARE(publisher.start(5000), QString());
    QVERIFY(publisher.connected());
    for (int i = 1; i <= count; ++i) {
        for (const QString &card : cards)
            publisher.publish(cardReading(card.section(u'|', 1), i), card.section(u'|', 0, 0));
    }
    for (const QString &card : cards) {
        const QString topic =
            QStringLiteral("test/logger/%1/%2/reading")
                .arg(topicPortName(card.section(u'|', 0, 0)), card.section(u'|', 1));
        QTRY_COMPARE(live.seqs(topic), range(1, count)); // each once, in order
        const QJsonObject last =
            QJsonDocument::fromJson(live.messages(topic).last().payload).object();
        QCOMPARE(last[QLatin1String("time")].toString(),
                 baseTime.addMSecs(count).toString(Qt::ISODateWithMs));
        QCOMPARE(last[QLatin1String("address")].toInt(), card.section(u'|', 1).toInt());
        QCOMPARE(last[QLatin1String("channels")][0][QLatin1String("value")].toDouble(),
                 count / 10.0);
        QVERIFY(!live.messages(topic).last().retained);
    }
    // A client that comes later learns from the retained status that the logger is there, and
    // after the stop that it has gone.
    Subscriber later(port, QStringLiteral("test/logger/status"));
    QTRY_COMPARE(later.messages().size(), 1);
    QCOMPARE(later.messages()[0].payload, QByteArray("online"));
    QVERIFY(later.messages()[0].retained);
    publisher.stop();
    QCOMPARE(publisher.queued(), 0);
    Subscriber afterwards(port, QStringLiteral("test/logger/status"));
    QTRY_COMPARE(afterwards.messages().size(), 1);
    QCOMPARE(afterwards.messages()[0].payload, QByteArray("offline"));
    QVERIFY(afterwards.messages()[0].retained);
}

// Home Assistant's configs for the channels in use; those of an earlier run's other channels go.
void MqttTest::discovery()
{
    REQUIRE_BROKER();
    QTemporaryDir folder;
    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start());
    MqttSettings settings = localSettings(port);
    settings.discovery = true;
    for (const auto &checked : {std::array{true, true, true, true, true, true},
                                std::array{true, false, true, false, false, true}}) {
        MqttPublisher publisher(settings);
        QCOMPARE(publisher.start(5000), QString());
        publisher.announceCard(QStringLiteral("/dev/ttyUSB0"), QStringLiteral("2"),
                               QStringLiteral("f"), checked);
        publisher.stop();
    }
    Subscriber ha(port, QStringLiteral("homeassistant/#"));
    const QString topic =
        QStringLiteral("homeassistant/sensor/test_logger_ttyUSB0_2/channel_%1/config");
    QTRY_COMPARE(ha.messages().size(), 3);
    for (int channel : {1, 3, 6})
        QCOMPARE(ha.messages(topic.arg(channel)).size(), 1);
    const QJsonObject config = QJsonDocument::fromJson(ha.messages(topic.arg(3))[0].payload).object();
    const auto field = [&config](const char *name) { return config[QLatin1String(name)]; };
    QCOMPARE(field("state_topic").toString(), QStringLiteral("test/logger/ttyUSB0/2/reading"));
    QCOMPARE(field("value_template").toString(),
             QStringLiteral("{{ value_json.channels[2].value if value_json.channels[2].value is "
                            "defined else None }}"));
    QCOMPARE(field("unit_of_measurement").toString(), QStringLiteral("°F"));
    QCOMPARE(field("availability_topic").toString(), QStringLiteral("test/logger/status"));
    QCOMPARE(field("device")[QLatin1String("identifiers")][0].toString(),
             QStringLiteral("test_logger_ttyUSB0_2"));
}

// The broker stops for five seconds while the card goes on being read, then is frozen and killed
// with three readings in flight. A persistent subscriber must see every reading in order: QoS 1
// may repeat one it has seen, but a reading may neither be skipped nor overtake an older one.
void MqttTest::brokerRestart()
{
    REQUIRE_BROKER();
    QTemporaryDir folder;
    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start());
    Subscriber subscriber(port, QStringLiteral("test/logger/+/+/reading"), "restart-watcher");
    QTRY_VERIFY(subscriber.subscribed());
    MqttPublisher publisher(localSettings(port));
    QSignalSpy changes(&publisher, &MqttPublisher::connectionChanged);
    QCOMPARE(publisher.start(5000), QString());
    int published = 0;
    const auto publishOne = [&] {
        publisher.publish(cardReading(QStringLiteral("0"), ++published),
                          QStringLiteral("/dev/ttyUSB0"));
    };
    QTimer card;
    connect(&card, &QTimer::timeout, &publisher, publishOne);
    card.start(40);
    QTest::qWait(1000);
    broker.stop();
    QTRY_VERIFY(!publisher.connected());
    QTest::qWait(5000);
    QVERIFY(publisher.queued() > 50);
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(publisher.connected(), 5000);
    QTest::qWait(500);
    card.stop();
    // The subscriber has all so far: the kill below loses what the broker keeps for it.
    QTRY_VERIFY_WITH_TIMEOUT(subscriber.seqs().contains(published), 5000);

    broker.signal(SIGSTOP);
    for (int i = 0; i < 3; ++i)
        publishOne();
    broker.kill();
    QTRY_VERIFY(!publisher.connected());
    for (int i = 0; i < 5; ++i)
        publishOne();
    QVERIFY(broker.start());

    QTRY_VERIFY_WITH_TIMEOUT(subscriber.seqs().contains(published), 10000);
    int highest = 0;
    int repeated = 0;
    for (int seq : subscriber.seqs()) {
        if (seq <= highest) {
            ++repeated;
            continue;
        }
        QCOMPARE(seq, highest + 1);
        highest = seq;
    }
    qInfo("%d readings across two restarts, %d repeated by QoS 1", published, repeated);
    QCOMPARE(highest, published);
    // The frozen broker never read the three in flight: libmosquitto sends them again, once.
    for (int seq = published - 7; seq <= published - 5; ++seq)
        QCOMPARE(subscriber.seqs().count(seq), 1);
    QTRY_COMPARE(publisher.queued(), 0);
    QCOMPARE(changes.first()[0].toBool(), true);
    QCOMPARE(changes[1][0].toBool(), false);
    QCOMPARE(changes.last()[0].toBool(), true);
}

// Without a broker the bound keeps the newest readings; the first delivered is the first kept.
void MqttTest::queueBound()
{
    REQUIRE_BROKER();
    QTemporaryDir folder;
    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start()); // the subscriber's session first, to keep what arrives for it
    {
        Subscriber session(port, QStringLiteral("test/logger/+/+/reading"), "bound-watcher");
        QTRY_VERIFY(session.subscribed());
    }
    broker.stop();

    MqttSettings settings = localSettings(port);
    settings.queueLimit = 40;
    MqttPublisher publisher(settings);
    QSignalSpy changes(&publisher, &MqttPublisher::connectionChanged);
    QSignalSpy drops(&publisher, &MqttPublisher::readingsDropped);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(publisher.start(5000), QString());
    QVERIFY(clock.elapsed() < 2000);
    QTRY_COMPARE(changes.size(), 1);
    QCOMPARE(changes[0],
             (QVariantList{false, QStringLiteral("broker unreachable: Connection refused")}));
    for (int i = 1; i <= 47; ++i)
        publisher.publish(cardReading(QStringLiteral("0"), i), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(publisher.dropped(), 7);
    QCOMPARE(publisher.queued(), 40);
    QCOMPARE(drops.size(), 7);
    QCOMPARE(drops.last()[0].toLongLong(), 7);

    QVERIFY(broker.start());
    QTRY_COMPARE(publisher.queued(), 0);
    Subscriber subscriber(port, QStringLiteral("test/logger/+/+/reading"), "bound-watcher");
    QTRY_COMPARE(subscriber.seqs(), range(8, 47));
}

void MqttTest::refusedStart_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error"); // empty: accepted
    QTest::newRow("right password") << "logger" << "s3cret" << "";
    QTest::newRow("wrong password") << "logger" << "guess"
                                    << "the broker refused the user name or password";
    QTest::newRow("no user") << "" << "" << "not authorised";
}

// Refused credentials end the start, and nothing goes on knocking afterwards.
void MqttTest::refusedStart()
{
    REQUIRE_BROKER();
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, error);
    QTemporaryDir folder;
    const QString passwords = folder.filePath(QStringLiteral("passwords"));
    QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                               {"-c", "-b", passwords, "logger", "s3cret"}),
             0);
    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start(QStringLiteral("allow_anonymous false\npassword_file ") + passwords));
    MqttSettings settings = localSettings(port);
    settings.user = user;
    settings.password = password;
    MqttPublisher publisher(settings);
    const QString result = publisher.start(5000);
    qInfo().noquote() << "start():" << result;
    QCOMPARE(publisher.connected(), error.isEmpty());
    QVERIFY2(error.isEmpty() ? result.isEmpty() : result.contains(error), qPrintable(result));
    if (!error.isEmpty()) {
        QTest::qWait(3 * settings.reconnectMinMs);
        QCOMPARE(broker.connections(), 1);
    }
}

void MqttTest::tls_data()
{
    QTest::addColumn<QString>("caFile"); // in the certificates' folder
    QTest::addColumn<QString>("error");  // empty: connected
    QTest::newRow("the broker's CA") << "ca.pem" << "";
    QTest::newRow("another CA") << "other-ca.pem" << "certificate verify failed";
    QTest::newRow("no such CA file") << "missing.pem" << "cannot read the CA file";
}

void MqttTest::tls()
{
    REQUIRE_BROKER();
    QFETCH(QString, caFile);
    QFETCH(QString, error);
    QTemporaryDir folder;
    const auto openssl = [&folder](const QString &command) {
        QProcess process;
        process.setWorkingDirectory(folder.path());
        process.start(QStringLiteral("openssl"), command.split(u' '));
        return process.waitForFinished(20000) && process.exitCode() == 0;
    };
    const QString key = QStringLiteral(" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes");
    QVERIFY(openssl("req -x509 -days 2 -subj /CN=TestCA -keyout ca.key -out ca.pem" + key));
    QVERIFY(openssl("req -x509 -days 2 -subj /CN=OtherCA -keyout o.key -out other-ca.pem" + key));
    QVERIFY(openssl("req -subj /CN=localhost -keyout server.key -out server.csr" + key));
    QFile extensions(folder.filePath(QStringLiteral("server.ext")));
    QVERIFY(extensions.open(QIODevice::WriteOnly));
    extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    extensions.close();
    QVERIFY(openssl("x509 -req -days 2 -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                    "-extfile server.ext -out server.pem"));

    const int port = freePort();
    Broker broker(folder.path(), port);
    QVERIFY(broker.start(
        QStringLiteral(
            "allow_anonymous true\ncafile %1/ca.pem\ncertfile %1/server.pem\nkeyfile %1/server.key")
            .arg(folder.path())));
    MqttSettings settings = localSettings(port);
    settings.tls = true;
    settings.caFile = folder.filePath(caFile);
    MqttPublisher publisher(settings);
    const QString result = publisher.start(5000);
    qInfo().noquote() << "start():" << result;
    QCOMPARE(publisher.connected(), error.isEmpty());
    QVERIFY2(error.isEmpty() ? result.isEmpty() : result.contains(error), qPrintable(result));
}

QTEST_GUILESS_MAIN(MqttTest)

#include "mqtt_test.moc"
