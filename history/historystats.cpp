#include "history/historystats.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace tervalo {

namespace {

// The first record at or after t (records are in time order).
qsizetype firstAtOrAfter(const HistoryData &data, double t)
{
    qsizetype low = 0;
    qsizetype high = data.size();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (data.time(middle) < t)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// The first record after t.
qsizetype firstAfter(const HistoryData &data, double t)
{
    qsizetype low = 0;
    qsizetype high = data.size();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (data.time(middle) <= t)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

int sideOf(double difference)
{
    return difference > 0 ? 1 : difference < 0 ? -1 : 0;
}

// What each channel carries from one record to the next.
struct Running
{
    // Sums of (reading - shift), shift being the channel's first reading in the range: in double
    // and near zero, they keep the variance of ten million readings of 300 °C that differ by
    // hundredths, where plain sums of squares would lose it all to rounding.
    double shift = 0;
    double sum = 0;
    double sumSquares = 0;
    float previous = std::numeric_limits<float>::quiet_NaN();
    int previousSide = 0;    // of the threshold, of the record before; 0 at it or missing
    int side = 0;            // of the last reading not at the threshold; 0: none since a break
    double reach = noFigure; // when the line came to lie at the threshold, if it does now
};

template <bool withThreshold>
void gather(const HistoryData &data, RangeStats &stats, qsizetype begin, qsizetype end,
            qsizetype first, qsizetype last)
{
    const double from = stats.from;
    const double to = stats.to;
    const double threshold = withThreshold ? *stats.threshold : 0;
    std::array<Running, historyChannels> running{};
    const auto clipped = [from, to](double a, double b) {
        return std::max(0.0, std::min(b, to) - std::max(a, from));
    };

    double previousTime = noFigure;
    bool any = false;    // a shown record before this one
    bool broken = false; // a gap since the shown record before
    for (qsizetype i = begin; i <= end; ++i) {
        if (withThreshold && i > begin && data.gapBefore(i))
            broken = true;
        if (!data.shows(i))
            continue;
        const double t = data.time(i);
        const bool inRange = i >= first && i <= last;
        const double length = any ? clipped(previousTime, t) : 0;
        stats.covered += length;

        for (int c = 0; c < historyChannels; ++c) {
            const float v = data.value(i, c);
            ChannelStats &s = stats.channels[size_t(c)];
            Running &r = running[size_t(c)];
            const bool have = !std::isnan(v);
            if (inRange && have) {
                if (s.count == 0) {
                    r.shift = v;
                    s.min = s.max = v;
                    s.minTime = s.maxTime = t;
                } else if (v < s.min) {
                    s.min = v;
                    s.minTime = t;
                } else if (v > s.max) {
                    s.max = v;
                    s.maxTime = t;
                }
                ++s.count;
                const double d = double(v) - r.shift;
                r.sum += d;
                r.sumSquares += d * d;
            }
            if constexpr (withThreshold) {
                const double d = double(v) - threshold;
                const int side = sideOf(d); // 0 for a missing reading too
                if (side != 0 && side == r.previousSide && !broken) {
                    // Most steps stay on one side: only their time to add.
                    (side > 0 ? s.above : s.below) += length;
                } else if (!any || broken || !have || std::isnan(r.previous)) {
                    // The line starts again here, if there is a reading to start it.
                    if (any)
                        s.unknown += length;
                    r.side = side;
                    r.reach = noFigure;
                } else {
                    const double dp = double(r.previous) - threshold;
                    double crossing = noFigure;
                    if ((dp > 0 && d < 0) || (dp < 0 && d > 0)) {
                        crossing = previousTime + (t - previousTime) * (dp / (dp - d));
                        (dp > 0 ? s.above : s.below) += clipped(previousTime, crossing);
                        (d > 0 ? s.above : s.below) += clipped(crossing, t);
                    } else if (dp > 0 || d > 0) {
                        s.above += length; // above but for the point where it meets the threshold
                    } else {
                        s.below += length;
                    }
                    if (side == 0) {
                        if (std::isnan(r.reach))
                            r.reach = t;
                    } else {
                        if (r.side != 0 && side != r.side) {
                            const double when = std::isnan(r.reach) ? crossing : r.reach;
                            if (when >= from && when <= to) {
                                if (s.crossings++ == 0)
                                    s.firstCrossing = when;
                                s.lastCrossing = when;
                            }
                        }
                        r.side = side;
                        r.reach = noFigure;
                    }
                }
                r.previousSide = side;
            }
            r.previous = v;
        }
        previousTime = t;
        any = true;
        broken = false;
    }

    for (int c = 0; c < historyChannels; ++c) {
        ChannelStats &s = stats.channels[size_t(c)];
        if (s.count == 0)
            continue;
        const Running &r = running[size_t(c)];
        const double n = double(s.count);
        const double meanShifted = r.sum / n;
        s.mean = r.shift + meanShifted;
        s.sd = std::sqrt(std::max(0.0, r.sumSquares / n - meanShifted * meanShifted));
    }
}

} // namespace

RangeStats rangeStats(const HistoryData &data, double from, double to,
                      std::optional<double> threshold)
{
    RangeStats stats;
    stats.from = from;
    stats.to = to;
    // A threshold not yet typed in (NaN) is none rather than one nothing is above.
    if (threshold && std::isnan(*threshold))
        threshold.reset();
    stats.threshold = threshold;
    if (!(from <= to) || data.isEmpty())
        return stats;
    const qsizetype first = firstAtOrAfter(data, from);
    const qsizetype last = firstAfter(data, to) - 1;
    // The line comes into the range from the shown record before it and leaves it towards the
    // one after, so the time covered, above and below reaches the range's edges.
    qsizetype begin = first - 1;
    while (begin >= 0 && !data.shows(begin))
        --begin;
    qsizetype end = last + 1;
    while (end < data.size() && !data.shows(end))
        ++end;
    begin = std::max<qsizetype>(begin, 0);
    end = std::min(end, data.size() - 1);
    if (threshold)
        gather<true>(data, stats, begin, end, first, last);
    else
        gather<false>(data, stats, begin, end, first, last);
    return stats;
}

CursorDelta cursorDelta(const HistoryData &data, double t1, double t2)
{
    CursorDelta delta;
    for (auto *figures : {&delta.value1, &delta.value2, &delta.delta, &delta.ratePerMinute})
        figures->fill(noFigure);
    const qsizetype a = data.nearest(t1);
    const qsizetype b = data.nearest(t2);
    if (a < 0 || b < 0)
        return delta;
    delta.record1 = a;
    delta.record2 = b;
    delta.time1 = data.time(a);
    delta.time2 = data.time(b);
    delta.dt = delta.time2 - delta.time1;
    for (int c = 0; c < historyChannels; ++c) {
        const size_t k = size_t(c);
        delta.value1[k] = data.value(a, c);
        delta.value2[k] = data.value(b, c);
        delta.delta[k] = delta.value2[k] - delta.value1[k];
        if (delta.dt != 0)
            delta.ratePerMinute[k] = delta.delta[k] / delta.dt * 60;
    }
    return delta;
}

// Formatting.

namespace {

// Readings come in tenths; figures worked out of many of them get one more digit.
constexpr int readingDecimals = 1;
constexpr int derivedDecimals = 2;

// QString::number is the same in every locale: a table pasted or saved reads alike anywhere.
QString number(double value, int decimals)
{
    if (std::isnan(value))
        return {};
    const QString text = QString::number(value, 'f', decimals);
    // -0.04 rounds to "-0.0", which reads as a fall that is not there.
    return text.toDouble() == 0 ? QString::number(0.0, 'f', decimals) : text;
}

QString timeText(double t)
{
    if (std::isnan(t))
        return {};
    return QDateTime::fromSecsSinceEpoch(std::llround(t))
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString durationCell(double seconds, CellStyle style)
{
    if (std::isnan(seconds))
        return {};
    return style == CellStyle::Csv ? number(seconds, 1) : durationText(seconds);
}

QString durationHeader(const QString &name, CellStyle style)
{
    return style == CellStyle::Csv ? name + QStringLiteral(" (s)") : name;
}

QString channelName(const QStringList &names, int c)
{
    return c < names.size() ? names[c] : QStringLiteral("Ch%1").arg(c + 1);
}

QString csvCell(const QString &cell)
{
    const bool quote = cell.contains(QLatin1Char(',')) || cell.contains(QLatin1Char('"')) ||
                       cell.contains(QLatin1Char('\n')) || cell.contains(QLatin1Char('\r')) ||
                       (!cell.isEmpty() && (cell.front().isSpace() || cell.back().isSpace()));
    if (!quote)
        return cell;
    QString quoted = cell;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString durationText(double seconds)
{
    if (std::isnan(seconds))
        return {};
    const qint64 rounded = std::llround(seconds);
    const QString sign = rounded < 0 ? QStringLiteral("-") : QString();
    const qint64 total = std::abs(rounded);
    const qint64 h = total / 3600;
    const qint64 min = total / 60 % 60;
    const qint64 s = total % 60;
    if (h > 0)
        return sign + QStringLiteral("%1 h %2 min %3 s")
                          .arg(h)
                          .arg(min, 2, 10, QLatin1Char('0'))
                          .arg(s, 2, 10, QLatin1Char('0'));
    if (min > 0)
        return sign + QStringLiteral("%1 min %2 s").arg(min).arg(s, 2, 10, QLatin1Char('0'));
    return sign + QStringLiteral("%1 s").arg(s);
}

QList<QStringList> rangeStatsRows(const RangeStats &stats, const QStringList &channelNames,
                                  const QString &unitName, CellStyle style)
{
    const auto inUnit = [&unitName](const QString &name) {
        return QStringLiteral("%1 (%2)").arg(name, unitName);
    };
    QStringList header = {QStringLiteral("Channel"),      QStringLiteral("Readings"),
                          inUnit(QStringLiteral("Min")),  QStringLiteral("Min at"),
                          inUnit(QStringLiteral("Max")),  QStringLiteral("Max at"),
                          inUnit(QStringLiteral("Mean")), inUnit(QStringLiteral("SD"))};
    QString threshold;
    if (stats.threshold) {
        threshold =
            QStringLiteral("%1 %2").arg(number(*stats.threshold, readingDecimals), unitName);
        header << durationHeader(QStringLiteral("Above ") + threshold, style)
               << durationHeader(QStringLiteral("At or below ") + threshold, style)
               << durationHeader(QStringLiteral("Unknown"), style) << QStringLiteral("Crossings")
               << QStringLiteral("First crossing") << QStringLiteral("Last crossing");
    }
    QList<QStringList> rows = {header};
    for (int c = 0; c < historyChannels; ++c) {
        const ChannelStats &s = stats.channels[size_t(c)];
        QStringList row = {channelName(channelNames, c),    QString::number(s.count),
                           number(s.min, readingDecimals),  timeText(s.minTime),
                           number(s.max, readingDecimals),  timeText(s.maxTime),
                           number(s.mean, derivedDecimals), number(s.sd, derivedDecimals)};
        if (stats.threshold) {
            row << durationCell(s.above, style) << durationCell(s.below, style)
                << durationCell(s.unknown, style) << QString::number(s.crossings)
                << timeText(s.firstCrossing) << timeText(s.lastCrossing);
        }
        rows << row;
    }
    return rows;
}

QList<QStringList> cursorDeltaRows(const CursorDelta &delta, const QStringList &channelNames,
                                   const QString &unitName, CellStyle style)
{
    const auto inUnit = [&unitName](const QString &name) {
        return QStringLiteral("%1 (%2)").arg(name, unitName);
    };
    QList<QStringList> rows = {
        {QStringLiteral("Channel"), QStringLiteral("Time 1"), inUnit(QStringLiteral("Value 1")),
         QStringLiteral("Time 2"), inUnit(QStringLiteral("Value 2")),
         durationHeader(QStringLiteral("Δt"), style), inUnit(QStringLiteral("Δ")),
         QStringLiteral("Rate (%1/min)").arg(unitName)}};
    for (int c = 0; c < historyChannels; ++c) {
        const size_t k = size_t(c);
        rows << QStringList{channelName(channelNames, c),
                            timeText(delta.time1),
                            number(delta.value1[k], readingDecimals),
                            timeText(delta.time2),
                            number(delta.value2[k], readingDecimals),
                            durationCell(delta.dt, style),
                            number(delta.delta[k], readingDecimals),
                            number(delta.ratePerMinute[k], derivedDecimals)};
    }
    return rows;
}

QString tabText(const QList<QStringList> &rows)
{
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells = row;
        // A tab or line end in a name would shift every cell after it.
        for (QString &cell : cells) {
            for (const QChar breaking : {u'\t', u'\n', u'\r'})
                cell.replace(breaking, QLatin1Char(' '));
        }
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

QString csvText(const QList<QStringList> &rows)
{
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        cells.reserve(row.size());
        for (const QString &cell : row)
            cells << csvCell(cell);
        text += cells.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    return text;
}

QString rangeStatsText(const RangeStats &stats, const QStringList &channelNames,
                       const QString &unitName)
{
    return tabText(rangeStatsRows(stats, channelNames, unitName, CellStyle::Display));
}

QString rangeStatsCsv(const RangeStats &stats, const QStringList &channelNames,
                      const QString &unitName)
{
    return csvText(rangeStatsRows(stats, channelNames, unitName, CellStyle::Csv));
}

QString cursorDeltaText(const CursorDelta &delta, const QStringList &channelNames,
                        const QString &unitName)
{
    return tabText(cursorDeltaRows(delta, channelNames, unitName, CellStyle::Display));
}

QString cursorDeltaCsv(const CursorDelta &delta, const QStringList &channelNames,
                       const QString &unitName)
{
    return csvText(cursorDeltaRows(delta, channelNames, unitName, CellStyle::Csv));
}

} // namespace tervalo
