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
    // Keeps time order; a record older than the newest (a clock put back) is put in its place.
    void add(const LogRecord &record);
    // For reading a whole log: appends as it comes, and sortByTime() puts the records in order
    // once at the end. An hour of records put back by the clock change in autumn would otherwise
    // each move every record after it.
    void append(const LogRecord &record);
    void sortByTime();
    // Forgets the oldest records beyond limit.
    void dropOldest(qsizetype limit);

    qsizetype size() const { return qsizetype(m_times.size()); }
    bool isEmpty() const { return m_times.empty(); }
    double time(qsizetype i) const { return m_times[size_t(i)]; }
    float value(qsizetype i, int channel) const { return m_values[channel][size_t(i)]; }
    char unit(qsizetype i) const { return m_units[size_t(i)]; }

    // One unit per view: that of the latest record. The records of the others are left out.
    char shownUnit() const { return m_lastUnit; }
    qsizetype leftOut() const;

    // The time between readings: the median of the steps from one record time to the next that
    // are not zero (the log's times have whole seconds, so three readings a second share one).
    // Worked out again by updateInterval(); 0 while there are too few records to tell.
    double interval() const { return m_interval; }
    void updateInterval();
    // Where the line breaks for lack of readings.
    double gapLimit() const { return m_interval > 0 ? 3 * m_interval : 0; }

    // The first and last time of the shown unit; equal when there is one record.
    std::pair<double, double> span() const;
    // The record of the shown unit nearest to t, or -1.
    qsizetype nearest(double t) const;

    // A summary of each run of blockSize records, so that a wide view takes a whole block at a
    // time instead of each of its records: its one unit (0 when mixed), its longest step in
    // time, and per channel where its first, lowest, highest and last reading are, or -1 for all
    // four when the channel misses a reading in it. Worked out when first asked for after a
    // change that is not an append at the end.
    static constexpr qsizetype blockSize = 64;
    struct Block
    {
        char unit = 0;
        double longestStep = 0;
        std::array<std::array<qint32, 4>, historyChannels> kept{};
    };
    const std::vector<Block> &blocks() const;

private:
    void forgetBlocks() { m_blocks.clear(); }

    mutable std::vector<Block> m_blocks; // of complete blocks from the start
    std::vector<double> m_times;
    std::array<std::vector<float>, historyChannels> m_values;
    std::vector<char> m_units;
    char m_lastUnit = 'r';
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
// with four readings or fewer keep all of them. A missing reading or a step in time longer than
// the data's gap limit breaks the line.
// All six channels in one pass over the records.
std::array<PlotLine, historyChannels> decimateAll(const HistoryData &data, double from, double to,
                                                 int buckets);

} // namespace tervalo
