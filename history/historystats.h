#pragma once

#include "history/historydata.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <limits>
#include <optional>

namespace tervalo {

// What the history window tells about a stretch of a log and about two cursors on it, worked out
// here without a window so that the window, the clipboard and a saved table all agree.

inline constexpr double noFigure = std::numeric_limits<double>::quiet_NaN();

// One channel over a range. The figures of the readings are NaN when the channel has no reading
// in the range (count 0). Times are seconds since the epoch; durations are seconds.
struct ChannelStats
{
    qint64 count = 0; // readings in the range: records shown, not NaN
    double min = noFigure;
    double minTime = noFigure; // the first reading at the lowest value
    double max = noFigure;
    double maxTime = noFigure; // the first reading at the highest value
    double mean = noFigure;
    // Population standard deviation: the readings of the range are all there is, not a sample
    // of something larger.
    double sd = noFigure;

    // With a threshold only. The line between two readings is straight, and the range's covered
    // time is split along it: "above" is strictly above the threshold, "below" is at or below it
    // (a line lying on the threshold has to go somewhere), and "unknown" is where the line is
    // broken: across a gap in the log, or to or from a missing reading. The three add up to the
    // covered time. A channel without readings in the range still has the line passing through
    // it from the readings either side.
    double above = 0;
    double below = 0;
    double unknown = 0;
    // A crossing is the line going from strictly one side of the threshold to strictly the other
    // without a break. Readings exactly at the threshold on the way do not count on their own: a
    // line that touches the threshold and turns back does not cross it. The crossing's time is
    // when the line first reaches the threshold; it counts when that lies in the range.
    qint64 crossings = 0;
    double firstCrossing = noFigure;
    double lastCrossing = noFigure;
};

struct RangeStats
{
    double from = noFigure;
    double to = noFigure;
    // The part of [from, to] the shown records span, in seconds: a range reaching before the
    // first record or after the last one has no line out there at all.
    double covered = 0;
    std::optional<double> threshold;
    std::array<ChannelStats, historyChannels> channels{};
};

// The readings of the shown records with from <= time <= to, in one pass over the records and
// without allocating. Records in another unit than the one shown are passed over; the line
// between the shown records on either side of them stays as it is drawn.
RangeStats rangeStats(const HistoryData &data, double from, double to,
                      std::optional<double> threshold = std::nullopt);

// Two cursors on the time axis, each standing for the shown record nearest to it.
struct CursorDelta
{
    qsizetype record1 = -1; // -1: no shown record at all, and every figure NaN
    qsizetype record2 = -1;
    double time1 = noFigure;
    double time2 = noFigure;
    double dt = noFigure; // time2 - time1, seconds
    std::array<double, historyChannels> value1{};
    std::array<double, historyChannels> value2{};
    std::array<double, historyChannels> delta{};         // value2 - value1; NaN if either misses
    std::array<double, historyChannels> ratePerMinute{}; // delta / dt * 60; NaN when dt is 0
};

CursorDelta cursorDelta(const HistoryData &data, double t1, double t2);

// The tables, as rows of cells with a header row first and one row per channel. Display cells
// are what the window shows and the clipboard gets: durations as "1 h 02 min 05 s", times as
// local "yyyy-MM-dd HH:mm:ss". Csv cells give durations in seconds instead. Numbers are written
// with "." in every locale, and a figure that is not there is an empty cell.
// channelNames holds the six channels' names; unitName is the unit as shown, e.g. "°C".
enum class CellStyle { Display, Csv };

QList<QStringList> rangeStatsRows(const RangeStats &stats, const QStringList &channelNames,
                                  const QString &unitName, CellStyle style = CellStyle::Display);
QList<QStringList> cursorDeltaRows(const CursorDelta &delta, const QStringList &channelNames,
                                   const QString &unitName, CellStyle style = CellStyle::Display);

// Cells joined by tabs, one line each: pastes as a table into a spreadsheet or a text.
QString tabText(const QList<QStringList> &rows);
// Cells joined by commas, quoted where they need it, lines ending in CR LF.
QString csvText(const QList<QStringList> &rows);

QString rangeStatsText(const RangeStats &stats, const QStringList &channelNames,
                       const QString &unitName);
QString rangeStatsCsv(const RangeStats &stats, const QStringList &channelNames,
                      const QString &unitName);
QString cursorDeltaText(const CursorDelta &delta, const QStringList &channelNames,
                        const QString &unitName);
QString cursorDeltaCsv(const CursorDelta &delta, const QStringList &channelNames,
                       const QString &unitName);

// "1 h 02 min 05 s", "2 min 05 s", "5 s", to the nearest second.
QString durationText(double seconds);

} // namespace tervalo
