// The history's range statistics and cursor differences, against figures worked out by hand.

#include "common/logrecord.h"
#include "history/historydata.h"
#include "history/historystats.h"

#include <QElapsedTimer>
#include <QTest>

#include <cmath>
#include <ctime>
#include <limits>

using namespace tervalo;

namespace {

const double none = std::numeric_limits<double>::quiet_NaN();
const float noReading = std::numeric_limits<float>::quiet_NaN();
constexpr double base = 1.8e9; // the records' times are given from here

// Records of one value on every channel but the second, which never has a reading. units holds
// a unit letter for each record; the shown unit is the last record's.
HistoryData dataOf(const QList<double> &times, const QList<float> &values,
                   const QString &units = {})
{
    HistoryData data;
    for (qsizetype i = 0; i < times.size(); ++i) {
        LogRecord r;
        r.time = base + times[i];
        r.unit = units.isEmpty() ? 'c' : units[i].toLatin1();
        r.values.fill(values[i]);
        r.values[1] = noReading;
        data.add(r);
    }
    data.updateInterval();
    return data;
}

bool same(double actual, double expected)
{
    if (std::isnan(expected))
        return std::isnan(actual);
    return std::abs(actual - expected) <= 1e-9 * std::max(1.0, std::abs(expected));
}

// The population standard deviation from the mean of the squares and the mean.
double sdOf(double meanOfSquares, double mean)
{
    return std::sqrt(meanOfSquares - mean * mean);
}

// A time since base, NaN staying NaN.
double since(double t)
{
    return t - base;
}

// The first of the named figures that differs from what is expected, or nothing.
QString mismatch(const QStringList &names, const QList<double> &got, const QList<double> &expected,
                 int channel)
{
    for (qsizetype k = 0; k < names.size(); ++k) {
        if (!same(got[k], expected[k]))
            return QStringLiteral("channel %1, %2: %3, not %4")
                .arg(channel + 1)
                .arg(names[k])
                .arg(got[k], 0, 'g', 12)
                .arg(expected[k], 0, 'g', 12);
    }
    return {};
}

#define CHECK_FIGURES(...)                                                                         \
    do {                                                                                           \
        if (const QString wrong = mismatch(__VA_ARGS__); !wrong.isEmpty())                         \
            QFAIL(qPrintable(wrong));                                                              \
    } while (false)

} // namespace

class HistoryStatsTest : public QObject
{
    Q_OBJECT
private slots:
    void rangeStatistics_data();
    void rangeStatistics();
    void spreadOfLargeValues();
    void cursorDifferences_data();
    void cursorDifferences();
    void copiedAndSavedTables();
    void tenMillionRecords();
};

void HistoryStatsTest::rangeStatistics_data()
{
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QList<float>>("values");
    QTest::addColumn<QString>("units"); // a letter a record; empty: all Celsius
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<double>("threshold");       // NaN: none
    QTest::addColumn<QList<double>>("readings"); // in the order of readingFigures
    QTest::addColumn<QList<double>>("line");     // in the order of lineFigures

    // 10 s between records, so 1000 s without one is a gap.
    const QList<double> four = {0, 10, 20, 30};
    const QList<float> zigzag = {10, 30, 10, 30};
    // Mean 20, and every reading 10 from it; the lowest, 10, comes first at 0 s.
    const QList<double> ofZigzag = {4, 10, 0, 30, 10, 20, 10};
    const QList<double> noReadings = {0, none, none, none, none, none, none};

    // Each segment crosses 25 a quarter of the way from its 30: at 7.5, 12.5 and 27.5 s.
    QTest::newRow("crossings mid-segment")
        << four << zigzag << "" << 0.0 << 30.0 << 25.0 << ofZigzag
        << QList<double>{30, 3 * 2.5, 3 * 7.5, 0, 3, 7.5, 27.5};
    QTest::newRow("no threshold") << four << zigzag << "" << 0.0 << 30.0 << none << ofZigzag
                                  << QList<double>{30, 0, 0, 0, 0, none, none};
    // 5..25 s: the readings at 10 and 20 s; the line from 5 s (below, up to 7.5) to 25 s
    // (below from 12.5 on); the crossing at 27.5 s lies outside.
    QTest::newRow("range cuts the data")
        << four << zigzag << "" << 5.0 << 25.0 << 25.0 << QList<double>{2, 10, 20, 30, 10, 20, 10}
        << QList<double>{20, 2.5 + 2.5, 2.5 + 7.5 + 5, 0, 2, 7.5, 12.5};
    // No reading between 12 and 18 s, but the line falls through 25 at 12.5 s.
    QTest::newRow("no records in range")
        << four << zigzag << "" << 12.0 << 18.0 << 25.0 << noReadings
        << QList<double>{6, 0.5, 5.5, 0, 1, 12.5, 12.5};
    QTest::newRow("after the last record")
        << four << zigzag << "" << 40.0 << 50.0 << 25.0 << noReadings
        << QList<double>{0, 0, 0, 0, 0, none, none};
    // 1000 s without a record between 20 and 1020 s: neither above nor below, though 30 is on
    // both sides of it. The other steps from 10 to 30 and back cross 20 halfway.
    QTest::newRow("gap") << QList<double>{0, 10, 20, 1020, 1030, 1040}
                         << QList<float>{10, 30, 30, 30, 10, 30} << "" << 0.0 << 1040.0 << 20.0
                         << QList<double>{6, 10, 0, 30, 10, 140.0 / 6, sdOf(3800.0 / 6, 140.0 / 6)}
                         << QList<double>{1040, 5 + 10 + 5 + 5, 5 + 5 + 5, 1000, 3, 5, 1035};
    // No line to or from the missing reading at 20 s; 30 before it and 10 after it are no
    // crossing either.
    QTest::newRow("missing reading")
        << QList<double>{0, 10, 20, 30, 40} << QList<float>{10, 30, noReading, 10, 30} << "" << 0.0
        << 40.0 << 20.0 << ofZigzag << QList<double>{40, 5 + 5, 5 + 5, 20, 2, 5, 35};
    // 10 touches 20 at 10 s and turns back: no crossing. It comes up to 20 again at 30 s,
    // stays there till 40 s (below: at the threshold) and rises: one crossing, at 30 s.
    QTest::newRow("readings at the threshold")
        << QList<double>{0, 10, 20, 30, 40, 50} << QList<float>{10, 20, 10, 20, 20, 30} << "" << 0.0
        << 50.0 << 20.0 << QList<double>{6, 10, 0, 30, 50, 110.0 / 6, sdOf(2300.0 / 6, 110.0 / 6)}
        << QList<double>{50, 10, 40, 0, 1, 30, 30};
    // The record of raw counts at 20 s is not shown among temperatures: the line runs straight
    // from 30 at 10 s to 10 at 30 s, crossing 25 at 15 s.
    QTest::newRow("record not shown")
        << QList<double>{0, 10, 20, 30, 40} << QList<float>{10, 30, 1000, 10, 30} << "ccrcc" << 0.0
        << 40.0 << 25.0 << ofZigzag
        << QList<double>{40, 2.5 + 5 + 2.5, 7.5 + 15 + 7.5, 0, 3, 7.5, 37.5};
}

void HistoryStatsTest::rangeStatistics()
{
    QFETCH(QList<double>, times);
    QFETCH(QList<float>, values);
    QFETCH(QString, units);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(double, threshold);
    QFETCH(QList<double>, readings);
    QFETCH(QList<double>, line);

    const HistoryData data = dataOf(times, values, units);
    const RangeStats stats =
        rangeStats(data, base + from, base + to,
                   std::isnan(threshold) ? std::nullopt : std::optional<double>(threshold));
    const QStringList readingFigures = {"count", "min", "min at", "max", "max at", "mean", "sd"};
    const QStringList lineFigures = {"covered",   "above",          "below",        "unknown",
                                     "crossings", "first crossing", "last crossing"};
    for (const int c : {0, 2, 3, 4, 5}) {
        const ChannelStats &s = stats.channels[size_t(c)];
        CHECK_FIGURES(
            readingFigures,
            {double(s.count), s.min, since(s.minTime), s.max, since(s.maxTime), s.mean, s.sd},
            readings, c);
        CHECK_FIGURES(lineFigures,
                      {stats.covered, s.above, s.below, s.unknown, double(s.crossings),
                       since(s.firstCrossing), since(s.lastCrossing)},
                      line, c);
    }
    // The second channel never has a reading: nothing to tell but that the time is not known.
    const ChannelStats &open = stats.channels[1];
    CHECK_FIGURES(
        readingFigures,
        {double(open.count), open.min, open.minTime, open.max, open.maxTime, open.mean, open.sd},
        {0, none, none, none, none, none, none}, 1);
    CHECK_FIGURES(lineFigures,
                  {stats.covered, open.above, open.below, open.unknown, double(open.crossings),
                   open.firstCrossing, open.lastCrossing},
                  {line[0], 0, 0, std::isnan(threshold) ? 0 : line[0], 0, none, none}, 1);
}

void HistoryStatsTest::spreadOfLargeValues()
{
    // A million readings alternating between two floats 1/128 apart near 100000: the spread is
    // a hundred-millionth of the squares' sum, lost by summing squares without a shift or in
    // float. The readings are exact in float, so the figures are too.
    constexpr int records = 1'000'000;
    constexpr float low = 100000.0f;
    constexpr float high = 100000.0078125f;
    HistoryData data;
    for (int i = 0; i < records; ++i) {
        LogRecord r;
        r.time = base + i;
        r.unit = 'c';
        r.values.fill(i % 2 ? high : low);
        data.append(r);
    }
    data.sortByTime();
    data.updateInterval();
    const ChannelStats s = rangeStats(data, base, base + records).channels[3];
    QCOMPARE(s.count, records);
    QVERIFY2(same(s.mean, 100000.00390625), qPrintable(QString::number(s.mean, 'g', 17)));
    QVERIFY2(std::abs(s.sd - 0.00390625) < 1e-9, qPrintable(QString::number(s.sd, 'g', 12)));
}

void HistoryStatsTest::cursorDifferences_data()
{
    QTest::addColumn<double>("t1");
    QTest::addColumn<double>("t2");
    QTest::addColumn<double>("time1"); // of the record nearest the cursor
    QTest::addColumn<double>("time2");
    QTest::addColumn<double>("dt");
    QTest::addColumn<double>("delta");
    QTest::addColumn<double>("rate"); // per minute

    // Records at 0, 10, 20, 30, 40 and 40 s reading 10, 20, missing, 40, 25 and 35.
    QTest::newRow("rise") << 1.0 << 29.0 << 0.0 << 30.0 << 30.0 << 30.0 << 60.0;
    QTest::newRow("fall") << 30.0 << 38.0 << 30.0 << 40.0 << 10.0 << -15.0 << -90.0;
    QTest::newRow("second cursor first") << 31.0 << 9.0 << 30.0 << 10.0 << -20.0 << -20.0 << 60.0;
    QTest::newRow("missing reading") << 19.0 << 40.0 << 20.0 << 40.0 << 20.0 << none << none;
    QTest::newRow("same record") << 11.0 << 9.0 << 10.0 << 10.0 << 0.0 << 0.0 << none;
    // A second record at 40 s, reading 35 (readings a second apart share a time): a rise with no
    // time to it has no rate.
    QTest::newRow("records of one second") << 39.0 << 41.0 << 40.0 << 40.0 << 0.0 << 10.0 << none;
}

void HistoryStatsTest::cursorDifferences()
{
    QFETCH(double, t1);
    QFETCH(double, t2);
    QFETCH(double, time1);
    QFETCH(double, time2);
    QFETCH(double, dt);
    QFETCH(double, delta);
    QFETCH(double, rate);

    // Each channel 100 above the one before, so a channel mixed up with another shows.
    HistoryData data;
    const QList<float> values = {10, 20, noReading, 40, 25, 35};
    for (qsizetype i = 0; i < values.size(); ++i) {
        LogRecord r;
        r.time = base + 10.0 * double(std::min<qsizetype>(i, 4));
        r.unit = 'c';
        for (int c = 0; c < historyChannels; ++c)
            r.values[size_t(c)] = values[i] + 100.0f * float(c);
        data.add(r);
    }
    data.updateInterval();

    const CursorDelta d = cursorDelta(data, base + t1, base + t2);
    for (int c = 0; c < historyChannels; ++c) {
        const size_t k = size_t(c);
        CHECK_FIGURES(
            {"time 1", "time 2", "dt", "value 1", "delta", "rate"},
            {since(d.time1), since(d.time2), d.dt, d.value1[k], d.delta[k], d.ratePerMinute[k]},
            {time1, time2, dt, values[qsizetype(time1 / 10)] + 100.0 * c, delta, rate}, c);
    }
}

void HistoryStatsTest::copiedAndSavedTables()
{
    // Numbers are written the same in every locale, German's decimal comma or not; times are
    // local, which on a machine kept on UTC only shows away from it.
    const QLocale before;
    const QByteArray zone = qgetenv("TZ");
    QLocale::setDefault(QLocale(QLocale::German));
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const auto restore = qScopeGuard([&before, &zone] {
        QLocale::setDefault(before);
        if (zone.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", zone);
        tzset();
    });

    // 100, 300, 100 with an hour, two minutes and five seconds between: halfway across 200 each
    // way, so 1 h 02 min 05 s above and as long below.
    const double start = double(QDateTime(QDate(2026, 12, 8), QTime(7, 0)).toSecsSinceEpoch());
    HistoryData data;
    for (const auto &[t, v] : {std::pair{0.0, 100.0f}, {3725.0, 300.0f}, {7450.0, 100.0f}}) {
        LogRecord r;
        r.time = start + t;
        r.unit = 'c';
        r.values.fill(v);
        data.add(r);
    }
    data.updateInterval();
    const QStringList names = {QStringLiteral("top shelf, left"),
                               QStringLiteral("Ch2"),
                               QStringLiteral("the \"hot\" one"),
                               QStringLiteral("Ch4"),
                               QStringLiteral("Ch5"),
                               QStringLiteral("Ch6")};
    const QString unit = QStringLiteral("°C");
    const RangeStats stats = rangeStats(data, start, start + 7450, 200.0);

    // Crossings at 1862.5 s and 5587.5 s, to the nearest second.
    const QString csv = rangeStatsCsv(stats, names, unit);
    const QStringList csvLines = csv.split(QStringLiteral("\r\n"));
    QCOMPARE(csvLines.value(0),
             QStringLiteral("Channel,Readings,Min (°C),Min at,Max (°C),Max at,Mean (°C),SD (°C),"
                            "Above 200.0 °C (s),At or below 200.0 °C (s),Unknown (s),Crossings,"
                            "First crossing,Last crossing"));
    QCOMPARE(csvLines.value(1),
             QStringLiteral("\"top shelf, left\",3,100.0,2026-12-08 07:00:00,300.0,"
                            "2026-12-08 08:02:05,166.67,94.28,3725.0,3725.0,0.0,2,"
                            "2026-12-08 07:31:03,2026-12-08 08:33:08"));
    QVERIFY2(csvLines.value(3).startsWith(QStringLiteral("\"the \"\"hot\"\" one\",3,100.0,")),
             qPrintable(csvLines.value(3)));
    QCOMPARE(csvLines.size(), 1 + historyChannels + 1); // the last line ends too

    const QStringList textLines = rangeStatsText(stats, names, unit).split(QLatin1Char('\n'));
    QCOMPARE(textLines.value(1),
             QStringLiteral("top shelf, left\t3\t100.0\t2026-12-08 07:00:00\t300.0\t"
                            "2026-12-08 08:02:05\t166.67\t94.28\t1 h 02 min 05 s\t"
                            "1 h 02 min 05 s\t0 s\t2\t2026-12-08 07:31:03\t2026-12-08 08:33:08"));

    // From the first record to the second: 200 up in 3725 s.
    const CursorDelta delta = cursorDelta(data, start, start + 3700);
    QCOMPARE(cursorDeltaCsv(delta, names, unit).split(QStringLiteral("\r\n")).value(1),
             QStringLiteral("\"top shelf, left\",2026-12-08 07:00:00,100.0,2026-12-08 08:02:05,"
                            "300.0,3725.0,200.0,3.22"));
    QCOMPARE(cursorDeltaText(delta, names, unit).split(QLatin1Char('\n')).value(3),
             QStringLiteral("the \"hot\" one\t2026-12-08 07:00:00\t100.0\t2026-12-08 08:02:05\t"
                            "300.0\t1 h 02 min 05 s\t200.0\t3.22"));
}

void HistoryStatsTest::tenMillionRecords()
{
    // Measures a Release build: TERVALO_TIME_STATS=1 historystats_test tenMillionRecords
    if (qEnvironmentVariableIsEmpty("TERVALO_TIME_STATS"))
        QSKIP("set TERVALO_TIME_STATS to time ten million records");
    constexpr int records = 10'000'000;
    HistoryData data;
    LogRecord r;
    r.unit = 'c';
    for (int i = 0; i < records; ++i) {
        r.time = base + i;
        for (int c = 0; c < historyChannels; ++c) {
            // Around 300, crossing it often; a channel open now and then.
            r.values[size_t(c)] =
                i % 997 == c ? noReading : 300.0f + float((i * (c + 7)) % 41) - 20.0f;
        }
        data.append(r);
    }
    data.sortByTime();
    data.updateInterval();

    // The processor time of this thread, not the wall clock: on a shared machine the wall clock
    // also counts the time others had the core.
    const auto cpuNow = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
    double best = std::numeric_limits<double>::infinity();
    double bestWall = best;
    qint64 crossings = 0;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer wall;
        wall.start();
        const double cpu = cpuNow();
        const RangeStats stats = rangeStats(data, base, base + records, 300.0);
        best = std::min(best, cpuNow() - cpu);
        bestWall = std::min(bestWall, double(wall.nsecsElapsed()) / 1e6);
        crossings = stats.channels[0].crossings;
    }
    qInfo("ten million records, six channels, threshold 300: %.0f ms (wall clock %.0f ms), "
          "%lld crossings on the first channel",
          best, bestWall, crossings);
#ifdef NDEBUG
    QVERIFY2(best < 500, qPrintable(QString::number(best)));
#endif
}

QTEST_GUILESS_MAIN(HistoryStatsTest)
#include "historystats_test.moc"
