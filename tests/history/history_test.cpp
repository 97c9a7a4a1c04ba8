// The history's data: gaps, the decimated lines, the unit shown and the readings in memory.

#include "common/logrecord.h"
#include "device/cardreading.h"
#include "history/historydata.h"
#include "history/logsource.h"

#include <QTest>

#include <cmath>
#include <random>
#include <set>

using namespace tervalo;

namespace {

// Records of one value on every channel; units holds a letter for each record, or one for all.
HistoryData dataOf(const std::vector<std::pair<double, float>> &points,
                   const QByteArray &units = "c")
{
    HistoryData data;
    for (size_t i = 0; i < points.size(); ++i) {
        LogRecord r;
        r.time = points[i].first;
        r.unit = units.size() == 1 ? units[0] : units[qsizetype(i)];
        r.values.fill(points[i].second);
        data.add(r);
    }
    data.updateInterval();
    return data;
}

QList<qsizetype> gapsOf(const HistoryData &data)
{
    QList<qsizetype> gaps;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data.gapBefore(i))
            gaps << i;
    }
    return gaps;
}

} // namespace

class HistoryTest : public QObject
{
    Q_OBJECT
private slots:
    void breaksLinesAtGaps_data();
    void breaksLinesAtGaps();
    void decidesGapsByTheStepsAround_data();
    void decidesGapsByTheStepsAround();
    void decimationKeepsEveryPeak_data();
    void decimationKeepsEveryPeak();
    void showsLatestUnit();
    void keepsReadings_data();
    void keepsReadings();
    void memoryDropsOldest();
};

void HistoryTest::breaksLinesAtGaps_data()
{
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QList<float>>("values"); // NaN: open, disabled or err
    QTest::addColumn<QList<double>>("drawn"); // NaN where the line breaks
    QTest::addColumn<QByteArray>("units");    // of each record; none: Celsius
    QTest::addColumn<char>("shown");          // the unit chosen; 0: the latest record's

    const float no = std::nanf("");
    const double br = std::nan("");
    const QByteArray c;
    // The steps are one second, so more than three seconds without a reading is a gap.
    QTest::newRow("even steps") << QList<double>{0, 1, 2, 3} << QList<float>{1, 2, 3, 4}
                                << QList<double>{1, 2, 3, 4} << c << char(0);
    QTest::newRow("three steps missing")
        << QList<double>{0, 1, 2, 5, 6} << QList<float>{1, 2, 3, 4, 5}
        << QList<double>{1, 2, 3, 4, 5} << c << char(0);
    QTest::newRow("longer pause") << QList<double>{0, 1, 2, 9, 10} << QList<float>{1, 2, 3, 4, 5}
                                  << QList<double>{1, 2, 3, br, 4, 5} << c << char(0);
    QTest::newRow("open channel") << QList<double>{0, 1, 2, 3, 4} << QList<float>{1, no, no, 4, 5}
                                  << QList<double>{1, br, 4, 5} << c << char(0);
    // Readings of one second share a time, and so a column: its lowest and highest stay.
    QTest::newRow("three per second")
        << QList<double>{0, 0, 0, 1, 1, 1, 8} << QList<float>{1, 3, 2, 4, 6, 5, 7}
        << QList<double>{1, 3, 2, 4, 6, 5, br, 7} << c << char(0);
    // Temperatures in the unit chosen; raw counts are none, never converted and drawn alone.
    const QList<double> seconds{0, 1, 2, 3, 4};
    QTest::newRow("Celsius in Fahrenheit")
        << seconds << QList<float>{0, 100, -40} << QList<double>{32, 212, -40} << QByteArray("ccc")
        << 'f';
    QTest::newRow("Fahrenheit in Celsius")
        << seconds << QList<float>{212, 50} << QList<double>{100, 10} << QByteArray("ff") << 'c';
    QTest::newRow("Celsius back in its own")
        << seconds << QList<float>{21.5f, 22} << QList<double>{21.5, 22} << QByteArray("cc")
        << char(0);
    QTest::newRow("mixed, the latest's unit")
        << seconds << QList<float>{20, 212, 25} << QList<double>{20, 100, 25} << QByteArray("cfc")
        << char(0);
    QTest::newRow("mixed in Fahrenheit") << seconds << QList<float>{100, 734, 50, 735}
                                         << QList<double>{212, br, 50} << QByteArray("crfr") << 'f';
    QTest::newRow("mixed in raw counts")
        << seconds << QList<float>{100, 734, 50, 735, 60} << QList<double>{734, br, 735}
        << QByteArray("crfrf") << 'r';
    QTest::newRow("raw stretch in Celsius")
        << QList<double>{0, 1, 2, 3, 4, 5} << QList<float>{1, 2, 700, 701, 3, 4}
        << QList<double>{1, 2, br, 3, 4} << QByteArray("ccrrcc") << char(0);
}

void HistoryTest::breaksLinesAtGaps()
{
    QFETCH(QList<double>, times);
    QFETCH(QList<float>, values);
    QFETCH(QList<double>, drawn);
    QFETCH(QByteArray, units);
    QFETCH(char, shown);

    std::vector<std::pair<double, float>> points;
    for (qsizetype i = 0; i < values.size(); ++i)
        points.emplace_back(1e9 + times[i], values[i]);
    HistoryData data = dataOf(points, units.isEmpty() ? "c" : units);
    data.setShownUnit(shown == 'r' ? 'c' : 'r'); // chosen after another
    data.setShownUnit(shown);
    // As many columns as seconds: nothing is decimated, so every point shows.
    const PlotLine line = decimateAll(data, 1e9, 1e9 + 20, 20 * 8)[0];
    QCOMPARE(line.values.size(), drawn.size());
    for (qsizetype i = 0; i < drawn.size(); ++i) {
        QCOMPARE(std::isnan(line.values[i]), std::isnan(drawn[i]));
        if (!std::isnan(drawn[i]))
            QCOMPARE(line.values[i], drawn[i]);
    }
    for (qsizetype i = 1; i < line.keys.size(); ++i)
        QVERIFY(line.keys[i] >= line.keys[i - 1]);
}

void HistoryTest::decidesGapsByTheStepsAround_data()
{
    QTest::addColumn<QList<double>>(
        "runs"); // pairs: how many records, seconds from one to the next
    QTest::addColumn<QList<qsizetype>>("gaps"); // the records after a gap

    // Written with whole seconds, as a log in the locale's form is: three a second share one.
    const double fast = 1.0 / 3;
    QTest::newRow("slow then fast") << QList<double>{60, 60, 900, fast} << QList<qsizetype>{};
    QTest::newRow("fast then slow") << QList<double>{900, fast, 60, 60} << QList<qsizetype>{};
    QTest::newRow("pause within fast")
        << QList<double>{900, fast, 1, 600, 900, fast} << QList<qsizetype>{900};
    QTest::newRow("pause within slow")
        << QList<double>{30, 60, 1, 3600, 30, 60} << QList<qsizetype>{30};
    QTest::newRow("two pauses in a row")
        << QList<double>{300, fast, 1, 600, 1, 600, 300, fast} << QList<qsizetype>{300, 301};
    QTest::newRow("pause at the start")
        << QList<double>{1, 60, 1, 3600, 30, 60} << QList<qsizetype>{1};
    QTest::newRow("pause at the end") << QList<double>{30, 60, 1, 3600} << QList<qsizetype>{30};
    // One step that is not zero has nothing to be measured against; two have each other.
    QTest::newRow("two records") << QList<double>{2, 3600} << QList<qsizetype>{};
    // 40 s after 10 s steps is a gap only by the 6 s step among the 12, 6, 54 and 60 s after it.
    QTest::newRow("a gap by the steps after it")
        << QList<double>{5, 10, 1, 40, 1, 12, 1, 6, 1, 54, 4, 60} << QList<qsizetype>{5};
}

void HistoryTest::decidesGapsByTheStepsAround()
{
    QFETCH(QList<double>, runs);
    QFETCH(QList<qsizetype>, gaps);

    std::vector<LogRecord> records;
    qint64 thirds = 0;
    for (qsizetype r = 0; r < runs.size(); r += 2) {
        for (int k = 0; k < int(runs[r]); ++k) {
            thirds += std::llround(runs[r + 1] * 3);
            records.push_back({1e9 + double(thirds / 3), 'c', {}});
        }
    }
    // Read in one go; taken live, in order, backwards, or with one record near a gap last (as
    // when the clock was put back): the same gaps.
    HistoryData bulk;
    for (const LogRecord &record : records)
        bulk.append(record);
    bulk.sortByTime();
    bulk.updateInterval();
    QCOMPARE(gapsOf(bulk), gaps);
    const auto live =
        [&records](qsizetype last) { // last: the record taken last; -1 none, -2 all backwards
            HistoryData data;
            for (qsizetype i = 0; i < qsizetype(records.size()); ++i) {
                if (i != last)
                    data.add(
                        records[size_t(last < -1 ? records.size() - 1 - size_t(i) : size_t(i))]);
            }
            if (last >= 0)
                data.add(records[size_t(last)]);
            return data;
        };
    QCOMPARE(gapsOf(live(-2)), gaps); // backwards
    for (const qsizetype gap : gaps) {
        for (qsizetype last = std::max<qsizetype>(0, gap - 3);
             last <= gap + 3 && last < bulk.size(); ++last)
            QVERIFY2(gapsOf(live(last)) == gaps, qPrintable(QStringLiteral("%1 last").arg(last)));
    }
    // The oldest dropped, up to the first gap: what is left decides as if it were all there was.
    HistoryData kept = live(-1);
    QCOMPARE(gapsOf(kept), gaps);
    kept.dropOldest(kept.size() - (gaps.isEmpty() ? kept.size() / 4 : gaps.first()));
    HistoryData rest;
    for (auto it = records.end() - kept.size(); it != records.end(); ++it)
        rest.append(*it);
    rest.updateInterval();
    QCOMPARE(gapsOf(kept), gapsOf(rest));

    // The line breaks at each gap and nowhere else; one column a second keeps every reading.
    const auto [from, to] = bulk.span();
    const PlotLine line = decimateAll(bulk, from, to, int(to - from) + 1)[0];
    QCOMPARE(std::count_if(line.values.begin(), line.values.end(),
                           [](double v) { return std::isnan(v); }),
             gaps.size());
}

void HistoryTest::decimationKeepsEveryPeak_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("openEvery"); // 0: never
    QTest::addColumn<int>("pauseEvery"); // a pause in the readings; 0: never
    QTest::addColumn<int>("otherEvery"); // a record in otherUnit among Celsius; 0: never
    QTest::addColumn<char>("otherUnit");
    QTest::addColumn<char>("shown");

    QTest::newRow("100000 into 800") << 100000 << 800 << 0 << 0 << 0 << 'c' << 'c';
    QTest::newRow("100000 into 7") << 100000 << 7 << 0 << 0 << 0 << 'c' << 'c';
    QTest::newRow("with open channel") << 50000 << 300 << 997 << 0 << 0 << 'c' << 'c';
    QTest::newRow("with pauses") << 50000 << 300 << 0 << 1009 << 0 << 'c' << 'c';
    QTest::newRow("fewer than columns") << 500 << 800 << 0 << 0 << 0 << 'c' << 'c';
    // Blocks of Celsius alone still stand for their records in Fahrenheit; those with a
    // Fahrenheit record among them do not.
    QTest::newRow("in Fahrenheit, some records so") << 50000 << 300 << 0 << 0 << 997 << 'f' << 'f';
    QTest::newRow("with raw counts") << 50000 << 300 << 0 << 0 << 1013 << 'r' << 'c';
}

void HistoryTest::decimationKeepsEveryPeak()
{
    QFETCH(int, points);
    QFETCH(int, columns);
    QFETCH(int, openEvery);
    QFETCH(int, pauseEvery);
    QFETCH(int, otherEvery);
    QFETCH(char, otherUnit);
    QFETCH(char, shown);

    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-500, 500);
    std::vector<std::pair<double, float>> data;
    QByteArray units;
    double t = 0;
    for (int i = 0; i < points; ++i) {
        t += pauseEvery && i % pauseEvery == 0 ? 10 : 1;
        data.emplace_back(t, openEvery && i % openEvery == 0 ? std::nanf("") : value(random));
        units += otherEvery && i % otherEvery == otherEvery - 1 ? otherUnit : 'c';
    }
    HistoryData history = dataOf(data, units);
    history.setShownUnit(shown);
    const double from = data.front().first;
    const double to = data.back().first;
    const PlotLine line = decimateAll(history, from, to, columns)[0];

    // Every column's lowest and highest reading shown is drawn, at its own time.
    const double width = (to - from) / columns;
    std::map<qint64, std::pair<qsizetype, qsizetype>>
        extremes; // column: where its lowest, highest are
    for (qsizetype i = 0; i < history.size(); ++i) {
        const float v = history.value(i, 0);
        if (std::isnan(v) || !history.shows(i))
            continue;
        auto [it, fresh] =
            extremes.try_emplace(qint64(std::floor((history.time(i) - from) / width)), i, i);
        if (v < history.value(it->second.first, 0))
            it->second.first = i;
        if (v > history.value(it->second.second, 0))
            it->second.second = i;
    }
    std::set<std::pair<double, double>> drawn;
    for (qsizetype i = 0; i < line.keys.size(); ++i)
        drawn.emplace(line.keys[i], line.values[i]);
    for (const auto &[column, where] : extremes) {
        for (const qsizetype i : {where.first, where.second})
            QVERIFY2(drawn.count({history.time(i), double(history.value(i, 0))}),
                     qPrintable(QStringLiteral("column %1 lost reading %2").arg(column).arg(i)));
    }
    // Every pause, and every record not shown, breaks the line: the steps are a second.
    qsizetype before = -1; // the record shown before
    for (qsizetype i = 0; i < history.size(); ++i) {
        if (!history.shows(i))
            continue;
        QCOMPARE(history.nearest(history.time(i)), i);
        if (before >= 0 && (i - before > 1 || history.time(i) - history.time(before) > 3)) {
            const auto breakAt = std::find_if(line.keys.begin(), line.keys.end(), [&](double key) {
                return key > history.time(before);
            });
            QVERIFY(breakAt != line.keys.end() && *breakAt < history.time(i) &&
                    std::isnan(line.values[breakAt - line.keys.begin()]));
        }
        before = i;
    }
    // Decimated: at most four points a column; a break splits a column and adds itself.
    const qsizetype breaks = openEvery          ? points / openEvery + 1
                             : pauseEvery       ? points / pauseEvery
                             : otherUnit == 'r' ? points / otherEvery
                                                : 0;
    QVERIFY(line.keys.size() <= std::min<qsizetype>(points, 4 * (columns + 1) + 5 * breaks));
}

void HistoryTest::showsLatestUnit()
{
    const auto record = [](double t, char unit) {
        LogRecord r;
        r.time = t;
        r.unit = unit;
        return r;
    };
    HistoryData live;
    for (const auto &[t, unit] : {std::pair{1.0, 'c'}, {2.0, 'c'}, {3.0, 'f'}, {4.0, 'c'}})
        live.add(record(t, unit));
    QCOMPARE(live.shownUnit(), 'c');
    QCOMPARE(live.leftOut(), 0); // the Fahrenheit record in Celsius
    live.add(record(5, 'f'));
    QCOMPARE(live.shownUnit(), 'f');
    QCOMPARE(live.leftOut(), 0);
    // A record from before the newest (a clock put back) does not change the unit shown.
    live.add(record(0.5, 'r'));
    QCOMPARE(live.shownUnit(), 'f');
    QCOMPARE(live.leftOut(), 1);
    QCOMPARE(live.span(), std::make_pair(1.0, 5.0));
    QCOMPARE(live.nearest(0.6), 1); // 1 s in Celsius, behind the raw record put first

    // Read in one go and sorted at the end: the same order, unit and count.
    HistoryData bulk;
    for (const auto &[t, unit] : {std::pair{4.0, 'c'}, {5.0, 'f'}, {1.0, 'c'}, {2.0, 'c'},
                                  {0.5, 'r'}, {3.0, 'f'}})
        bulk.append(record(t, unit));
    bulk.sortByTime();
    for (qsizetype i = 0; i < live.size(); ++i)
        QCOMPARE(std::pair(bulk.time(i), bulk.unit(i)), std::pair(live.time(i), live.unit(i)));
    QCOMPARE(bulk.shownUnit(), 'f');
    QCOMPARE(bulk.leftOut(), 1);
}

void HistoryTest::keepsReadings_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("checked"); // a 1 for each checked channel
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QList<float>>("values"); // empty: not kept
    QTest::addColumn<QString>("items");       // of the record written from what is kept

    // Each field of the answer apart: the status character and four of the reading.
    const QString answer = QStringLiteral("T0" "0 734" "023.4" "0-012" "1    " "05555" "0  +5");
    const float no = std::nanf("");
    QTest::newRow("readings with tenths")
        << answer << "111101" << "c" << QList<float>{734, 23.4f, -12, no, no, 5}
        << "734,23.4,-12,open,disabled,5,";
    QTest::newRow("answer that failed")
        << QStringLiteral("T0" "0 734" "0ab12" "0-012" "0 734" "05555" "0  +5") << "111111" << "f"
        << QList<float>{no, no, no, no, no, no} << "err,err,err,err,err,err,";
    QTest::newRow("no unit") << answer << "111101" << "" << QList<float>{} << "";
    QTest::newRow("unit of no axis") << answer << "111101" << "k" << QList<float>{} << "";
}

void HistoryTest::keepsReadings()
{
    QFETCH(QString, answer);
    QFETCH(QString, checked);
    QFETCH(QString, unit);
    QFETCH(QList<float>, values);
    QFETCH(QString, items);

    const QLocale english(QLocale::English);
    const QDateTime when(QDate(2026, 12, 7), QTime(20, 56, 55, 678));
    std::array<bool, channelCount> mask{};
    for (int c = 0; c < channelCount; ++c)
        mask[size_t(c)] = checked[c] == QLatin1Char('1');
    const std::optional<HistorySample> sample =
        historySample(decodeAnswer(answer, mask, when, unit, english));
    QCOMPARE(sample.has_value(), !values.isEmpty());
    if (!sample)
        return;
    QCOMPARE(std::llround(sample->time * 1000), when.toMSecsSinceEpoch());
    QCOMPARE(QString(QLatin1Char(sample->unit)), unit);
    for (int c = 0; c < historyChannels; ++c) {
        const float kept = sample->values[size_t(c)];
        QVERIFY2(std::isnan(values[c]) ? std::isnan(kept) : kept == values[c],
                 qPrintable(QString::number(c)));
    }

    // Written as the log would hold it, to the second.
    const QString record = sampleRecord(*sample, english);
    const QString prefix = recordPrefix(when, unit, english);
    QVERIFY2(record.startsWith(prefix), qPrintable(record));
    QCOMPARE(record.mid(prefix.size()), items);
}

void HistoryTest::memoryDropsOldest()
{
    SampleBuffer buffer(3);
    for (int i = 1; i <= 7; ++i) {
        HistorySample sample;
        sample.time = i;
        buffer.append(sample);
    }
    QCOMPARE(buffer.size(), 3);
    QList<double> held;
    for (const HistorySample &sample : buffer)
        held << sample.time;
    QCOMPARE(held, (QList<double>{5, 6, 7}));
}

QTEST_GUILESS_MAIN(HistoryTest)
#include "history_test.moc"
