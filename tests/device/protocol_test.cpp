#include "device/outstandingrequests.h"
#include "device/protocol.h"

#include <QLocale>
#include <QTest>

using namespace tervalo;

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void request_data();
    void request();
    void fields_data();
    void fields();
    void readingValue_data();
    void readingValue();
    void decodeChannel_data();
    void decodeChannel();
    void readingsIgnoreRegionalSettings();
    void records();
    void outstandingRequests_data();
    void outstandingRequests();
};

void ProtocolTest::request_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("expected");
    QTest::newRow("address 3, Celsius") << "3" << "c" << "t3ca";
    QTest::newRow("raw") << "0" << "r" << "t0ra";
    QTest::newRow("unvalidated address sent unchanged") << "12" << "f" << "t12fa";
    QTest::newRow("empty unit gives three characters") << "5" << "" << "t5a";
}

void ProtocolTest::request()
{
    QFETCH(QString, address);
    QFETCH(QString, unit);
    QFETCH(QString, expected);
    QCOMPARE(buildRequest(address, unit), expected);
}

void ProtocolTest::fields_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("32 characters")
        << "T0011110222203333044440555506666"
        << QStringList{"01111", "02222", "03333", "04444", "05555", "06666"};
    QTest::newRow("a stray character shifts every field")
        << "xT0011110222203333044440555506666"
        << QStringList{"00111", "10222", "20333", "30444", "40555", "50666"};
    QTest::newRow("characters past the 32nd are ignored")
        << "T0011110222203333044440555506666EXTRA!!!"
        << QStringList{"01111", "02222", "03333", "04444", "05555", "06666"};
    QTest::newRow("short answer gives short and empty fields")
        << "T001111022" << QStringList{"01111", "022", "", "", "", ""};
}

void ProtocolTest::fields()
{
    QFETCH(QString, answer);
    QFETCH(QStringList, expected);
    for (int i = 0; i < channelCount; ++i)
        QCOMPARE(channelField(answer, i), expected[i]);
}

void ProtocolTest::readingValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "1234" << true << 1234;
    QTest::newRow("leading blanks") << " 734" << true << 734;
    QTest::newRow("trailing blank") << "73 " << true << 73;
    QTest::newRow("negative with leading zero") << "-012" << true << -12;
    QTest::newRow("plus sign") << "+5.0" << true << 5;
    QTest::newRow("half goes to even below") << "12.5" << true << 12;
    QTest::newRow("half goes to even above") << "13.5" << true << 14;
    QTest::newRow("negative half to even") << "-2.5" << true << -2;
    QTest::newRow("over half rounds up") << "12.51" << true << 13;
    QTest::newRow("under half rounds down") << "23.4" << true << 23;
    QTest::newRow("fraction only") << ".5" << true << 0;
    QTest::newRow("trailing point") << "7." << true << 7;
    QTest::newRow("zero") << "0000" << true << 0;
    QTest::newRow("upper bound") << "32767" << true << 32767;
    QTest::newRow("lower bound") << "-32768" << true << -32768;
    QTest::newRow("above range") << "32768" << false << 0;
    QTest::newRow("rounds above range") << "32767.5" << false << 0;
    QTest::newRow("below range") << "-32769" << false << 0;
    QTest::newRow("huge") << "99999999999999999999" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("blanks") << "    " << false << 0;
    QTest::newRow("letters") << "ab12" << false << 0;
    QTest::newRow("sign alone") << "-" << false << 0;
    QTest::newRow("point alone") << " .  " << false << 0;
    QTest::newRow("comma decimal is not the card's") << "12,5" << false << 0;
    QTest::newRow("two points") << "1.2." << false << 0;
    QTest::newRow("inner blank") << "1 2" << false << 0;
    QTest::newRow("tab and newline blanks") << "\t-7\n" << true << -7;
    QTest::newRow("negative fraction only") << "-.5" << true << 0;
    QTest::newRow("half with zeros after") << "2.5000" << true << 2;
    QTest::newRow("just over half far out") << "2.500001" << true << 3;
    QTest::newRow("negative over half") << "-3.6" << true << -4;
    QTest::newRow("many leading zeros") << "00000000012" << true << 12;
    QTest::newRow("seven digits") << "1000000" << false << 0;
    QTest::newRow("blank after sign") << "- 5" << false << 0;
    QTest::newRow("two signs") << "+-5" << false << 0;
    QTest::newRow("sign at the end") << "5-" << false << 0;
    QTest::newRow("exponent") << "1e3" << false << 0;
    QTest::newRow("sign and point only") << "-." << false << 0;
    QTest::newRow("no-break space is not a blank") << QString::fromUtf8("\u00a012") << false << 0;
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("\u0661\u0662") << false << 0;
}

void ProtocolTest::readingValue()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, value);
    const std::optional<qint16> result = tervalo::readingValue(text);
    QCOMPARE(result.has_value(), valid);
    if (valid)
        QCOMPARE(int(*result), value);
}

void ProtocolTest::decodeChannel_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("ok");
    QTest::newRow("valid, leading zeros kept") << "00042" << true << "0042" << "0042" << 42 << true;
    QTest::newRow("valid, blanks kept") << "0  73" << true << "  73" << "  73" << 73 << true;
    QTest::newRow("blank status is valid") << " 23.4" << true << "23.4" << "23.4" << 23 << true;
    QTest::newRow("negative") << "0-012" << true << "-012" << "-012" << -12 << true;
    QTest::newRow("open whatever the reading") << "1abcd" << true << "Open" << "open" << 0 << true;
    QTest::newRow("disabled whatever the field") << "1abcd" << false << "Disabled" << "disabled"
                                                 << 0 << true;
    QTest::newRow("disabled valid") << "01234" << false << "Disabled" << "disabled" << 0 << true;
    QTest::newRow("not a number") << "0ab12" << true << "Err" << "err" << 0 << false;
    QTest::newRow("missing field") << "" << true << "Err" << "err" << 0 << false;
}

void ProtocolTest::decodeChannel()
{
    QFETCH(QString, field);
    QFETCH(bool, checked);
    const ChannelReading reading = tervalo::decodeChannel(field, checked);
    QTEST(reading.label, "label");
    QTEST(reading.item, "item");
    QTEST(int(reading.value), "value");
    QTEST(reading.ok, "ok");
}

void ProtocolTest::readingsIgnoreRegionalSettings()
{
    // A German user's computer writes 12,5; the card still sends 12.5.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const std::optional<qint16> value = tervalo::readingValue(QStringLiteral("13.5"));
    QLocale::setDefault(saved);
    QVERIFY(value.has_value());
    QCOMPARE(int(*value), 14);
}

void ProtocolTest::records()
{
    const QDateTime when(QDate(2026, 12, 7), QTime(14, 3, 9));
    const QString prefix = recordPrefix(when, QStringLiteral("c"));
    QVERIFY(prefix.endsWith(QStringLiteral(",c,")));
    QVERIFY2(prefix.contains(QStringLiteral("09")), qPrintable(prefix)); // the seconds are there
    QCOMPARE(errorRecord(when, QStringLiteral("f")),
             recordPrefix(when, QStringLiteral("f")) + QStringLiteral("err,err,err,err,err,err,"));

    // Whatever the user's locale, the time adds no column and no zone: some write the zone with
    // a comma, in brackets or ahead of the time.
    QStringList broken;
    const QList<QLocale> locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    for (const QLocale &locale : locales) {
        if (locale.dateFormat(QLocale::ShortFormat).contains(QLatin1Char(',')) ||
            locale.timeFormat(QLocale::ShortFormat).contains(QLatin1Char(',')))
            continue;
        const QString record = errorRecord(when, QStringLiteral("c"), locale);
        const QString time = record.section(QLatin1Char(','), 1, 1);
        if (record.count(QLatin1Char(',')) != 9 || time != time.trimmed() ||
            !time.contains(locale.toString(QTime(0, 0, 9), QStringLiteral("s"))) ||
            logTimeFormat(locale).contains(QLatin1Char('t')))
            broken << locale.name() + QStringLiteral(": ") + record;
    }
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QLatin1Char('\n'))));
    QVERIFY(locales.size() > 100);
}

void ProtocolTest::outstandingRequests_data()
{
    // Events in order: "s" a request sent, "a" an answer taken, "t" the time-out, each at a time
    // in ms; then how many requests wait at the time asked.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("at");
    QTest::addColumn<int>("waiting");
    QTest::newRow("nothing sent") << QStringList{} << 0 << 0;
    QTest::newRow("answered") << QStringList{"s0", "a350"} << 360 << 0;
    QTest::newRow("slow card: the next tick's answer is on its way")
        << QStringList{"s0", "s333", "a352"} << 666 << 1;
    QTest::newRow("one answer for two requests leaves one")
        << QStringList{"s0", "s100", "a200"} << 250 << 1;
    QTest::newRow("unanswered beyond the time-out") << QStringList{"s0", "s333", "a352"} << 834 << 0;
    QTest::newRow("still within the time-out") << QStringList{"s0"} << 500 << 1;
    QTest::newRow("the time-out ends them all") << QStringList{"s0", "s100", "t500"} << 520 << 0;
    QTest::newRow("a stray answer counts for nothing") << QStringList{"a10", "s20"} << 30 << 1;
}

void ProtocolTest::outstandingRequests()
{
    QFETCH(QStringList, events);
    QFETCH(int, at);
    QFETCH(int, waiting);
    OutstandingRequests requests(500);
    for (const QString &event : events) {
        const qint64 when = event.mid(1).toLongLong();
        if (event.startsWith(QLatin1Char('s')))
            requests.sent(when);
        else if (event.startsWith(QLatin1Char('a')))
            requests.answered(when);
        else
            requests.clear();
    }
    QCOMPARE(requests.count(at), waiting);
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "protocol_test.moc"
