#pragma once

#include "common/logrecord.h"

#include <QList>

#include <array>
#include <vector>

namespace tervalo {

// The readings a history window shows, in time order: one time, one unit letter and six values
// each, NaN where a channel had no reading. Plain vectors: a million records take about 33 MB.
class HistoryData
{
public:
    void clear();
    // Room for records in all, so that reading a month-long log does not copy what it has read
    // each time it outgrows its room: room not used costs address space, not memory.
    void reserve(qsizetype records);
    // Keeps time order; a record older than the newest (a clock put back) is put in its place.
    // The gaps around it are decided again.
    void add(const LogRecord &record);
    // For reading a whole log: appends as it comes, and sortByTime() puts the records in order
    // once at the end. An hour of records put back by the clock change in autumn would otherwise
    // each move every record after it. Its gaps wait for updateInterval().
    void append(const LogRecord &record);
    void sortByTime();
    // Forgets the oldest records beyond limit.
    void dropOldest(qsizetype limit);

    qsizetype size() const { return qsizetype(m_times.size()); }
    bool isEmpty() const { return m_times.empty(); }
    double time(qsizetype i) const { return m_times[size_t(i)]; }
    // A reading in the unit shown: a Celsius record shown in Fahrenheit is converted, and the
    // other way round. Raw counts are never converted, and a record not shown (see shows())
    // keeps its own value.
    float value(qsizetype i, int channel) const
    {
        return inUnit(storedValue(i, channel), unit(i), shownUnit());
    }
    // A reading of unit from as it reads in unit to: Celsius and Fahrenheit are converted, raw
    // counts never are.
    static float inUnit(float v, char from, char to)
    {
        return from == to || from == 'r' || to == 'r' ? v : converted(v, to);
    }
    // A temperature in the other of Celsius and Fahrenheit, to ('c' or 'f'). In double, so that
    // 212 °F is 100 °C and not a hair off it.
    static float converted(float v, char to)
    {
        return to == 'f' ? float(double(v) * 1.8 + 32) : float((double(v) - 32) * (5.0 / 9));
    }
    // A reading as its record holds it, in the record's own unit.
    float storedValue(qsizetype i, int channel) const { return m_values[channel][size_t(i)]; }
    char unit(qsizetype i) const { return char(m_units[size_t(i)] & ~gapMark); }
    // Whether record i is drawn: raw counts when raw counts are shown, temperatures in either
    // unit when a temperature is.
    bool shows(qsizetype i) const { return (unit(i) == 'r') == (shownUnit() == 'r'); }
    // Whether the line breaks for lack of readings between record i and the one before it: the
    // step between them is more than three times the steps around it. Worked out for every
    // record by updateInterval() and kept by add().
    bool gapBefore(qsizetype i) const { return (m_units[size_t(i)] & gapMark) != 0; }

    // The unit the user chose, or, while none is chosen (0), that of the latest record.
    void setShownUnit(char unit);
    char shownUnit() const { return m_chosenUnit ? m_chosenUnit : m_lastUnit; }
    // How many records are not shown, and how many are in a unit ('c', 'f' or 'r').
    qsizetype leftOut() const;
    qsizetype count(char unit) const;

    // The time between readings over the whole log: the median of the steps from one record
    // time to the next that are not zero (the log's times have whole seconds, so three readings
    // a second share one); 0 while there are too few records to tell. Worked out again, with
    // every record's gap, by updateInterval().
    double interval() const { return m_interval; }
    void updateInterval();
    // Three times interval(). The line no longer breaks by it, since a log that changes its rate
    // has no one limit: gapBefore() decides from the steps around each record.
    double gapLimit() const { return m_interval > 0 ? 3 * m_interval : 0; }

    // The first and last time of the records shown; equal when there is one record.
    std::pair<double, double> span() const;
    // The record shown nearest to t, or -1.
    qsizetype nearest(double t) const;

    // A summary of each run of blockSize records, so that a wide view takes a whole block at a
    // time instead of each of its records: its one unit (0 when mixed), whether the line breaks
    // for a gap between its records, and per channel where its first, lowest, highest and last
    // reading are (as stored), or -1 for all four when the channel misses a reading in it.
    // Worked out when first asked for after a change that is not an append at the end.
    static constexpr qsizetype blockSize = 64;
    struct Block
    {
        char unit = 0;
        bool gapInside = false;
        std::array<std::array<qint32, 4>, historyChannels> kept{};
    };
    const std::vector<Block> &blocks() const;

private:
    // The gap of each record rides in its unit byte: the unit letters leave the top bit free,
    // and ten million records need no other memory for it.
    static constexpr char gapMark = char(0x80);

    void forgetBlocks() { m_blocks.clear(); }
    // Where the `steps` steps that are not zero before record i begin, and where as many after
    // it end; the first or last record when there are fewer.
    qsizetype stepsBack(qsizetype i, int steps) const;
    qsizetype stepsAhead(qsizetype i, int steps) const;
    // Decides the gap before each record from first to last.
    void markGaps(qsizetype first, qsizetype last);
    // The next record shown from i on, going by direction (1 or -1); -1 or size() when none.
    qsizetype nextShown(qsizetype i, int direction) const;

    mutable std::vector<Block> m_blocks; // of complete blocks from the start
    std::vector<double> m_times;
    std::array<std::vector<float>, historyChannels> m_values;
    std::vector<char> m_units; // the record's unit letter, and gapMark when a gap comes before it
    char m_lastUnit = 'r';
    char m_chosenUnit = 0;
    std::array<qsizetype, 3> m_unitCounts{}; // r, c, f
    double m_interval = 0;
};

// A channel's line as it is drawn: keys and values, NaN values breaking the line.
struct PlotLine
{
    QList<double> keys;
    QList<double> values;
};

// The line of one channel between from and to (plus the record on either side, so the line runs
// on past the edges), cut into buckets columns. Each column keeps its first, lowest, highest and
// last reading in time order, so no peak is ever lost however far out the view is, and columns
// with four readings or fewer keep all of them. A missing reading, a gap (see gapBefore()) or a
// record not shown between two that are breaks the line.
// All six channels in one pass over the records.
std::array<PlotLine, historyChannels> decimateAll(const HistoryData &data, double from, double to,
                                                 int buckets);

} // namespace tervalo
