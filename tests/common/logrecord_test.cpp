// The reading of logs: dates and times of every locale, items, foreign lines and records without
// a readable time. (What the program writes is checked with the card's exchange, in
// tests/device/protocol_test.cpp.)

#include "common/logrecord.h"

#include <QScopeGuard>
#include <QTest>

#include <cmath>
#include <ctime>

using namespace tervalo;

namespace {

const QDateTime evening(QDate(2026, 12, 7), QTime(20, 56, 55));
const QByteArray items = " 734,23.4,-012,open,disabled,err,";

std::vector<LogRecord> readAll(LogReader &reader, const QByteArray &bytes)
{
    std::vector<LogRecord> records;
    reader.read(bytes, [&](const LogRecord &r, QByteArrayView) { records.push_back(r); });
    return records;
}

double seconds(const QDateTime &when)
{
    return double(when.toSecsSinceEpoch());
}

} // namespace

class LogRecordTest : public QObject
{
    Q_OBJECT
private slots:
    void readsDateAndTime_data();
    void readsDateAndTime();
    void readsTimesInTurn_data();
    void readsTimesInTurn();
    void readsItems_data();
    void readsItems();
    void placesUnreadableTimes_data();
    void placesUnreadableTimes();
    void placesClockChanges_data();
    void placesClockChanges();
};

void LogRecordTest::readsDateAndTime_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QLocale>("reader");
    QTest::addColumn<bool>("placed");

    // As this program writes them in every locale it may run under ("C" is a service's, or a
    // small board's), read back in every other: a log moves between machines.
    const char *const writers[] = {"C", "en_US", "en_GB", "de_DE", "be_BY", "sv_SE", "fr_FR",
                                   "ja_JP", "ko_KR", "zh_CN", "ar_EG"};
    const char *const readers[] = {"C", "en_US", "en_GB", "de_DE", "be_BY"};
    for (const char *writer : writers) {
        for (const char *reader : readers) {
            QTest::addRow("%s read in %s", writer, reader)
                << (recordPrefix(evening, QStringLiteral("c"), QLocale(QString::fromLatin1(writer)))
                        .toUtf8() + items)
                << QLocale(QString::fromLatin1(reader)) << true;
        }
    }
    for (const char *reader : {"C", "de_DE"})
        QTest::addRow("ISO time read in %s", reader)
            << (recordPrefix(evening, QStringLiteral("c"), QLocale::c(), RecordTimeStyle::Iso).toUtf8() + items)
            << QLocale(QString::fromLatin1(reader)) << true;
    for (const char *writer : {"ja_JP", "ko_KR", "zh_CN", "ar_EG", "fr_FR"})
        QTest::addRow("%s read in its own", writer)
            << (recordPrefix(evening, QStringLiteral("c"), QLocale(QString::fromLatin1(writer))).toUtf8() + items)
            << QLocale(QString::fromLatin1(writer)) << true;
    // Earlier versions wrote the long time format with its zone, sometimes after a comma.
    QTest::newRow("zone") << "07.12.26,20:56:55 MEZ,c," + items << QLocale(QLocale::English) << true;
    QTest::newRow("zone after comma")
        << "12/7/2026,8:56:55 PM, Coordinated Universal Time,c," + items
        << QLocale(QLocale::German) << true;
    // Day or month first, by the shape: two digits each in Europe, not in America.
    QTest::newRow("07/12/2026 read in en_US") << "07/12/2026,20:56:55,c," + items
                                              << QLocale(QLocale::English, QLocale::UnitedStates) << true;
    QTest::newRow("12/7/2026 read in en_GB") << "12/7/2026,20:56:55,c," + items
                                             << QLocale(QLocale::English, QLocale::UnitedKingdom) << true;
    // A log keeps to the order its first readable date showed, though a later date would read
    // the other way in the reader's own form or in one tried before.
    const auto log = [](const QByteArray &first, const QByteArray &last) {
        return first + ",20:56:55,c," + items + "\r\n" + last + ",20:56:55,c," + items;
    };
    QTest::newRow("day first, 13/12/26 then 07/12/26, read in en_US")
        << log("13/12/26", "07/12/26") << QLocale(QLocale::English, QLocale::UnitedStates) << true;
    QTest::newRow("day first, 13/12/2026 then 7/12/2026, read in en_US")
        << log("13/12/2026", "7/12/2026") << QLocale(QLocale::English, QLocale::UnitedStates) << true;
    QTest::newRow("month first, 12/13/2026 then 12/07/2026, read in en_GB")
        << log("12/13/2026", "12/07/2026") << QLocale(QLocale::English, QLocale::UnitedKingdom) << true;
    QTest::newRow("date not a date") << "Monday,20:56:55,c," + items << QLocale(QLocale::English) << false;
    QTest::newRow("time not a time") << "2026-12-07,noon,c," + items << QLocale(QLocale::English) << false;
    QTest::newRow("hour 25") << "2026-12-07,25:56:55,c," + items << QLocale(QLocale::English) << false;
    QTest::newRow("13 PM") << "12/7/26,13:56:55 PM,c," + items << QLocale(QLocale::English) << false;
}

void LogRecordTest::readsDateAndTime()
{
    QFETCH(QByteArray, line);
    QFETCH(QLocale, reader);
    QFETCH(bool, placed);

    // A readable record first, an hour earlier, so an unreadable one has a place to go.
    LogReader logReader(reader);
    const QByteArray before = "2026-12-07,19:56:55,c," + items + "\r\n";
    const std::vector<LogRecord> records = readAll(logReader, before + line + "\r\n");
    // The last record is the one placed; any before it in line set the reader's course.
    QCOMPARE(records.size(), size_t(2 + line.count('\n')));
    QCOMPARE(records.back().time, placed ? seconds(evening) : records[records.size() - 2].time);
    QCOMPARE(logReader.unplacedTimes(), placed ? 0 : 1);
}

void LogRecordTest::readsTimesInTurn_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<bool>("iso");
    for (const char *writer : {"C", "en_US", "de_DE", "ko_KR", "ar_EG", "ja_JP"})
        QTest::addRow("%s", writer) << QString::fromLatin1(writer) << false;
    QTest::newRow("ISO") << QStringLiteral("C") << true;
}

void LogRecordTest::readsTimesInTurn()
{
    QFETCH(QString, writer);
    QFETCH(bool, iso);

    // A record a second across noon (AM to PM) and across an hour and a minute: each time is
    // worked out from the one before where only its minutes and seconds changed.
    const QLocale locale(writer);
    QByteArray log;
    std::vector<double> written;
    for (const QTime from : {QTime(11, 59, 50), QTime(20, 58, 58)}) {
        for (int s = 0; s < 75; ++s) {
            const QDateTime when(QDate(2026, 12, 7), from.addSecs(s));
            written.push_back(seconds(when));
            log += recordPrefix(when, QStringLiteral("c"), locale,
                                iso ? RecordTimeStyle::Iso : RecordTimeStyle::Locale).toUtf8() +
                   items + "\r\n";
        }
    }
    LogReader reader(QLocale::c());
    const std::vector<LogRecord> records = readAll(reader, log);
    QCOMPARE(records.size(), written.size());
    for (size_t i = 0; i < records.size(); ++i)
        QCOMPARE(records[i].time, written[i]);
}

void LogRecordTest::readsItems_data()
{
    QTest::addColumn<QByteArray>("rest"); // after the date and time
    QTest::addColumn<QList<float>>("values"); // empty: not a record

    const float no = std::nanf("");
    QTest::newRow("card's readings") << QByteArray("r, 734,23.4,-012,+5,0000,  -3,")
                                     << QList<float>{734, 23.4f, -12, 5, 0, -3};
    QTest::newRow("no readings") << QByteArray("f,open,disabled,err,open,disabled,err,")
                                 << QList<float>{no, no, no, no, no, no};
    QTest::newRow("five items") << QByteArray("c,1,2,3,4,5,") << QList<float>{};
    QTest::newRow("seven items") << QByteArray("c,1,2,3,4,5,6,7,") << QList<float>{};
    QTest::newRow("no last comma") << QByteArray("c,1,2,3,4,5,6") << QList<float>{};
    QTest::newRow("unknown unit") << QByteArray("k,1,2,3,4,5,6,") << QList<float>{};
    QTest::newRow("word for a reading") << QByteArray("c,1,2,three,4,5,6,") << QList<float>{};
    QTest::newRow("comma decimal") << QByteArray("c,1,2,3,4,5,\"6,5\",") << QList<float>{};
}

void LogRecordTest::readsItems()
{
    QFETCH(QByteArray, rest);
    QFETCH(QList<float>, values);

    LogReader reader(QLocale(QLocale::English));
    const std::vector<LogRecord> records = readAll(reader, "2026-12-07,20:56:55," + rest + "\n");
    QCOMPARE(records.size(), size_t(values.isEmpty() ? 0 : 1));
    QCOMPARE(reader.unreadableLines(), values.isEmpty() ? 1 : 0);
    for (int c = 0; c < values.size(); ++c) {
        if (std::isnan(values[c]))
            QVERIFY2(std::isnan(records[0].values[c]), qPrintable(QString::number(c)));
        else
            QCOMPARE(records[0].values[c], values[c]);
    }
}

void LogRecordTest::placesUnreadableTimes_data()
{
    QTest::addColumn<QByteArrayList>("times"); // "x" cannot be read
    QTest::addColumn<QList<int>>("placed");    // seconds after 20:56:50

    QTest::newRow("after the one before") << QByteArrayList{"20:56:50", "x", "20:56:55"}
                                          << QList<int>{0, 0, 5};
    QTest::newRow("several in a row") << QByteArrayList{"20:56:51", "x", "x", "20:56:53"}
                                      << QList<int>{1, 1, 1, 3};
    QTest::newRow("first waits for a time") << QByteArrayList{"x", "x", "20:56:52"}
                                            << QList<int>{2, 2, 2};
}

void LogRecordTest::placesUnreadableTimes()
{
    QFETCH(QByteArrayList, times);
    QFETCH(QList<int>, placed);

    QByteArray log;
    for (const QByteArray &time : times)
        log += "2026-12-07," + time + ",c," + items + "\r\n";
    LogReader reader(QLocale(QLocale::English));
    const std::vector<LogRecord> records = readAll(reader, log);
    QCOMPARE(records.size(), size_t(placed.size()));
    const double start = seconds(QDateTime(QDate(2026, 12, 7), QTime(20, 56, 50)));
    for (qsizetype i = 0; i < placed.size(); ++i)
        QCOMPARE(records[size_t(i)].time - start, double(placed[i]));
    QCOMPARE(reader.unplacedTimes(), times.count("x"));
}

void LogRecordTest::placesClockChanges_data()
{
    QTest::addColumn<QDateTime>("start"); // in UTC: the local times of the change repeat
    QTest::addColumn<int>("stepMs");
    QTest::addColumn<int>("records");
    QTest::addColumn<RecordTimeStyle>("style");
    // How far the records of the repeated hour are put before their time.
    QTest::addColumn<int>("early");
    QTest::addColumn<int>("pause"); // minutes between the first record and the rest

    // Berlin's clocks went from 03:00 summer time back to 02:00 on 25 October 2026, 01:00 UTC,
    // and from 02:00 on to 03:00 on 29 March.
    const auto utc = [](int month, int day, int hour, int minute) {
        return QDateTime(QDate(2026, month, day), QTime(hour, minute), Qt::UTC);
    };
    const auto locale = RecordTimeStyle::Locale;
    QTest::newRow("autumn, three a second")
        << utc(10, 25, 0, 55) << 333 << 1800 << locale << 0 << 0;
    QTest::newRow("autumn, begun in the repeated hour")
        << utc(10, 25, 0, 30) << 60000 << 90 << locale << 0 << 0;
    // 02:30 again an hour after 02:30 is the second: the steps before tell, but not a pause.
    QTest::newRow("autumn, a reading an hour")
        << utc(10, 24, 22, 30) << 3600000 << 6 << locale << 0 << 0;
    QTest::newRow("autumn, a pause into the repeated hour")
        << utc(10, 25, 0, 5) << 1000 << 600 << locale << 0 << 55;
    QTest::newRow("autumn, begun in the second pass")
        << utc(10, 25, 1, 30) << 1000 << 3600 << locale << 3600 << 0;
    // An ISO time says its offset from UTC, and so which pass it is of.
    QTest::newRow("autumn, ISO, begun in the second pass")
        << utc(10, 25, 1, 30) << 1000 << 3600 << RecordTimeStyle::Iso << 0 << 0;
    QTest::newRow("spring") << utc(3, 29, 0, 55) << 1000 << 600 << locale << 0 << 0;
}

void LogRecordTest::placesClockChanges()
{
    QFETCH(QDateTime, start);
    QFETCH(int, stepMs);
    QFETCH(int, records);
    QFETCH(RecordTimeStyle, style);
    QFETCH(int, early);
    QFETCH(int, pause);
    const auto realTime = [&](int i) {
        return start.addMSecs(qint64(i) * stepMs - (i == 0 ? pause * 60000 : 0)).toLocalTime();
    };

    const std::optional<QByteArray> zone =
        qEnvironmentVariableIsSet("TZ") ? std::optional(qgetenv("TZ")) : std::nullopt;
    const auto restore = qScopeGuard([&zone] {
        zone ? qputenv("TZ", *zone) : qunsetenv("TZ");
        tzset();
    });
    qputenv("TZ", "Europe/Berlin");
    tzset();

    const QLocale german(QLocale::German, QLocale::Germany);
    QByteArray log;
    for (int i = 0; i < records; ++i)
        log +=
            recordPrefix(realTime(i), QStringLiteral("c"), german, style).toUtf8() + items + "\r\n";
    LogReader reader(german);
    const std::vector<LogRecord> placed = readAll(reader, log);
    QCOMPARE(placed.size(), size_t(records));
    for (int i = 0; i < records; ++i) {
        const QDateTime when = realTime(i);
        const bool repeated = when.date() == QDate(2026, 10, 25) && when.time().hour() == 2;
        const double expected = double(when.toSecsSinceEpoch() - (repeated ? early : 0));
        QVERIFY2(placed[size_t(i)].time == expected,
                 qPrintable(when.toString(Qt::ISODate) +
                            QStringLiteral(" off by %1 s").arg(placed[size_t(i)].time - expected)));
    }
}

QTEST_GUILESS_MAIN(LogRecordTest)
#include "logrecord_test.moc"
