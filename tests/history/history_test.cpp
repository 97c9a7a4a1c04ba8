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

HistoryData dataOf(const std::vector<std::pair<double, float>> &points, char unit = 'c')
{
    HistoryData data;
    for (const auto &[t, v] : points) {
        LogRecord r;
        r.time = t;
        r.unit = unit;
        r.values.fill(v);
        data.add(r);
    }
    data.updateInterval();
    return data;
}

} // namespace

class HistoryTest : public QObject
{
    Q_OBJECT
private slots:
    void breaksLinesAtGaps_data();
    void breaksLinesAtGaps();
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

    const float no = std::nanf("");
    const double br = std::nan("");
    // The steps are one second, so more than three seconds without a reading is a gap.
    QTest::newRow("even steps") << QList<double>{0, 1, 2, 3} << QList<float>{1, 2, 3, 4}
                                << QList<double>{1, 2, 3, 4};
    QTest::newRow("three steps missing") << QList<double>{0, 1, 2, 5, 6}
                                         << QList<float>{1, 2, 3, 4, 5}
                                         << QList<double>{1, 2, 3, 4, 5};
    QTest::newRow("longer pause") << QList<double>{0, 1, 2, 9, 10}
                                  << QList<float>{1, 2, 3, 4, 5}
                                  << QList<double>{1, 2, 3, br, 4, 5};
    QTest::newRow("open channel") << QList<double>{0, 1, 2, 3, 4} << QList<float>{1, no, no, 4, 5}
                                  << QList<double>{1, br, 4, 5};
    // Readings of one second share a time, and so a column: its lowest and highest stay.
    QTest::newRow("three per second") << QList<double>{0, 0, 0, 1, 1, 1, 8}
                                      << QList<float>{1, 3, 2, 4, 6, 5, 7}
                                      << QList<double>{1, 3, 2, 4, 6, 5, br, 7};
}

void HistoryTest::breaksLinesAtGaps()
{
    QFETCH(QList<double>, times);
    QFETCH(QList<float>, values);
    QFETCH(QList<double>, drawn);

    std::vector<std::pair<double, float>> points;
    for (qsizetype i = 0; i < times.size(); ++i)
        points.emplace_back(1e9 + times[i], values[i]);
    // As many columns as seconds: nothing is decimated, so every point shows.
    const PlotLine line = decimateAll(dataOf(points), 1e9, 1e9 + 20, 20 * 8)[0];
    QCOMPARE(line.values.size(), drawn.size());
    for (qsizetype i = 0; i < drawn.size(); ++i) {
        QCOMPARE(std::isnan(line.values[i]), std::isnan(drawn[i]));
        if (!std::isnan(drawn[i]))
            QCOMPARE(line.values[i], drawn[i]);
    }
    for (qsizetype i = 1; i < line.keys.size(); ++i)
        QVERIFY(line.keys[i] >= line.keys[i - 1]);
}

void HistoryTest::decimationKeepsEveryPeak_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("openEvery"); // 0: never
    QTest::addColumn<int>("pauseEvery"); // a pause in the readings; 0: never

    QTest::newRow("100000 into 800") << 100000 << 800 << 0 << 0;
    QTest::newRow("100000 into 7") << 100000 << 7 << 0 << 0;
    QTest::newRow("with open channel") << 50000 << 300 << 997 << 0;
    QTest::newRow("with pauses") << 50000 << 300 << 0 << 1009;
    QTest::newRow("fewer than columns") << 500 << 800 << 0 << 0;
}

void HistoryTest::decimationKeepsEveryPeak()
{
    QFETCH(int, points);
    QFETCH(int, columns);
    QFETCH(int, openEvery);
    QFETCH(int, pauseEvery);

    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-500, 500);
    std::vector<std::pair<double, float>> data;
    double t = 0;
    for (int i = 0; i < points; ++i) {
        t += pauseEvery && i % pauseEvery == 0 ? 10 : 1;
        data.emplace_back(t, openEvery && i % openEvery == 0 ? std::nanf("") : value(random));
    }
    const HistoryData history = dataOf(data);
    const double from = data.front().first;
    const double to = data.back().first;
    const PlotLine line = decimateAll(history, from, to, columns)[0];

    // Every column's lowest and highest reading is drawn, at its own time.
    const double width = (to - from) / columns;
    std::map<qint64, std::pair<size_t, size_t>> extremes; // column: where its lowest, highest are
    for (size_t i = 0; i < data.size(); ++i) {
        const float v = data[i].second;
        if (std::isnan(v))
            continue;
        auto [it, fresh] = extremes.try_emplace(qint64(std::floor((data[i].first - from) / width)), i, i);
        if (v < data[it->second.first].second)
            it->second.first = i;
        if (v > data[it->second.second].second)
            it->second.second = i;
    }
    std::set<std::pair<double, double>> drawn;
    for (qsizetype i = 0; i < line.keys.size(); ++i)
        drawn.emplace(line.keys[i], line.values[i]);
    for (const auto &[column, where] : extremes) {
        for (const size_t i : {where.first, where.second})
            QVERIFY2(drawn.count({data[i].first, double(data[i].second)}),
                     qPrintable(QStringLiteral("column %1 lost reading %2").arg(column).arg(i)));
    }
    // Every pause breaks the line.
    for (size_t i = 1; i < data.size(); ++i) {
        if (data[i].first - data[i - 1].first <= history.gapLimit())
            continue;
        const auto breakAt = std::find_if(line.keys.begin(), line.keys.end(),
                                          [&](double key) { return key > data[i - 1].first; });
        QVERIFY(breakAt != line.keys.end() && *breakAt < data[i].first &&
                std::isnan(line.values[breakAt - line.keys.begin()]));
    }
    // Decimated: at most four points a column; a break splits a column and adds itself.
    const qsizetype breaks = openEvery ? points / openEvery + 1 : pauseEvery ? points / pauseEvery : 0;
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
    QCOMPARE(live.leftOut(), 1);
    live.add(record(5, 'f'));
    QCOMPARE(live.leftOut(), 3);
    // A record from before the newest (a clock put back) does not change the unit shown.
    live.add(record(0.5, 'r'));
    QCOMPARE(live.shownUnit(), 'f');
    QCOMPARE(live.span(), std::make_pair(3.0, 5.0));
    QCOMPARE(live.nearest(3.9), 3); // 3 s in Fahrenheit, behind the record put first

    // Read in one go and sorted at the end: the same order, unit and count.
    HistoryData bulk;
    for (const auto &[t, unit] : {std::pair{4.0, 'c'}, {5.0, 'f'}, {1.0, 'c'}, {2.0, 'c'},
                                  {0.5, 'r'}, {3.0, 'f'}})
        bulk.append(record(t, unit));
    bulk.sortByTime();
    for (qsizetype i = 0; i < live.size(); ++i)
        QCOMPARE(std::pair(bulk.time(i), bulk.unit(i)), std::pair(live.time(i), live.unit(i)));
    QCOMPARE(bulk.shownUnit(), 'f');
    QCOMPARE(bulk.leftOut(), 4);
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
