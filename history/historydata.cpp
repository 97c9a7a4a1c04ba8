#include "history/historydata.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace tervalo {

namespace {

int unitIndex(char unit)
{
    return unit == 'c' ? 1 : unit == 'f' ? 2 : 0;
}

// A step is a gap when it is longer than this many times the steps around it.
constexpr double gapFactor = 3;
// How many steps on either side of a step tell the rate around it: enough that one pause among
// them does not pass for the rate, few enough that a change of rate is seen at once.
constexpr int stepsAround = 4;

// The lower median of one to four steps: with few steps, the shorter is the safer guess.
double lowerMedian(const double *s, int n)
{
    switch (n) {
    case 1:
        return s[0];
    case 2:
        return std::min(s[0], s[1]);
    case 3:
        return std::max(std::min(s[0], s[1]), std::min(std::max(s[0], s[1]), s[2]));
    default: // the second lowest of four: the higher of the two lows, unless a high is lower
        return std::min(std::max(std::min(s[0], s[1]), std::min(s[2], s[3])),
                        std::min(std::max(s[0], s[1]), std::max(s[2], s[3])));
    }
}

// The first record at t or after it (after: the first after it), or data.size().
qsizetype firstFrom(const HistoryData &data, double t, bool after)
{
    qsizetype low = 0;
    qsizetype high = data.size();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (after ? data.time(middle) <= t : data.time(middle) < t)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

} // namespace

void HistoryData::clear()
{
    *this = HistoryData{};
}

void HistoryData::reserve(qsizetype records)
{
    m_times.reserve(size_t(records));
    m_units.reserve(size_t(records));
    for (auto &values : m_values)
        values.reserve(size_t(records));
}

void HistoryData::add(const LogRecord &record)
{
    size_t at = m_times.size();
    if (!m_times.empty() && record.time < m_times.back())
        at = size_t(std::upper_bound(m_times.begin(), m_times.end(), record.time) - m_times.begin());
    m_times.insert(m_times.begin() + qsizetype(at), record.time);
    m_units.insert(m_units.begin() + qsizetype(at), record.unit);
    for (int c = 0; c < historyChannels; ++c)
        m_values[c].insert(m_values[c].begin() + qsizetype(at), record.values[c]);
    ++m_unitCounts[unitIndex(record.unit)];
    const auto i = qsizetype(at);
    if (at + 1 == m_times.size()) {
        m_lastUnit = record.unit;
        // Its step is new, and the last few steps before it have their first neighbours after.
        markGaps(stepsBack(i, stepsAround), i);
    } else {
        forgetBlocks();
        markGaps(stepsBack(i, stepsAround), stepsAhead(i + 1, stepsAround));
    }
}

void HistoryData::append(const LogRecord &record)
{
    m_times.push_back(record.time);
    m_units.push_back(record.unit);
    for (int c = 0; c < historyChannels; ++c)
        m_values[c].push_back(record.values[c]);
    ++m_unitCounts[unitIndex(record.unit)];
}

void HistoryData::sortByTime()
{
    if (m_times.empty())
        return;
    if (!std::is_sorted(m_times.begin(), m_times.end())) {
        std::vector<qsizetype> order(m_times.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = qsizetype(i);
        std::stable_sort(order.begin(), order.end(),
                         [this](qsizetype a, qsizetype b) { return m_times[size_t(a)] < m_times[size_t(b)]; });
        const auto reorder = [&order](auto &values) {
            auto sorted = values;
            for (size_t i = 0; i < order.size(); ++i)
                sorted[i] = values[size_t(order[i])];
            values = std::move(sorted);
        };
        forgetBlocks();
        reorder(m_times);
        reorder(m_units);
        for (auto &values : m_values)
            reorder(values);
    }
    m_lastUnit = unit(size() - 1);
}

void HistoryData::dropOldest(qsizetype limit)
{
    if (size() <= limit)
        return;
    const auto drop = size() - limit;
    for (qsizetype i = 0; i < drop; ++i)
        --m_unitCounts[unitIndex(unit(i))];
    forgetBlocks();
    m_times.erase(m_times.begin(), m_times.begin() + drop);
    m_units.erase(m_units.begin(), m_units.begin() + drop);
    for (auto &values : m_values)
        values.erase(values.begin(), values.begin() + drop);
    // The first steps have lost the steps before them.
    if (!m_times.empty())
        markGaps(0, stepsAhead(0, stepsAround));
}

const std::vector<HistoryData::Block> &HistoryData::blocks() const
{
    const qsizetype complete = size() / blockSize;
    m_blocks.reserve(size_t(complete));
    for (qsizetype b = qsizetype(m_blocks.size()); b < complete; ++b) {
        Block block;
        const qsizetype begin = b * blockSize;
        const qsizetype end = begin + blockSize;
        block.unit = unit(begin);
        for (qsizetype i = begin + 1; i < end; ++i) {
            if (unit(i) != block.unit)
                block.unit = 0;
            block.gapInside = block.gapInside || gapBefore(i);
        }
        for (int c = 0; c < historyChannels; ++c) {
            auto &[first, low, high, last] = block.kept[size_t(c)];
            first = low = high = qint32(begin);
            last = qint32(end - 1);
            for (qsizetype i = begin; i < end; ++i) {
                const float v = storedValue(i, c);
                if (std::isnan(v)) {
                    block.kept[size_t(c)].fill(-1);
                    break;
                }
                if (v < storedValue(low, c))
                    low = qint32(i);
                if (v > storedValue(high, c))
                    high = qint32(i);
            }
        }
        m_blocks.push_back(block);
    }
    return m_blocks;
}

void HistoryData::setShownUnit(char unit)
{
    m_chosenUnit = unit == 'c' || unit == 'f' || unit == 'r' ? unit : 0;
}

qsizetype HistoryData::count(char unit) const
{
    return unit == 'c' || unit == 'f' || unit == 'r' ? m_unitCounts[unitIndex(unit)] : 0;
}

qsizetype HistoryData::leftOut() const
{
    return shownUnit() == 'r' ? size() - count('r') : count('r');
}

void HistoryData::updateInterval()
{
    // A month of records would want 80 MB for all its steps; beyond a million, one step in every
    // few stands for those around it, which leaves the median where it was.
    constexpr size_t mostSteps = 1 << 20;
    const size_t stride = m_times.size() / mostSteps + 1;
    std::vector<double> steps;
    steps.reserve(std::min(m_times.size(), mostSteps));
    for (size_t i = 1; i < m_times.size(); i += stride) {
        if (const double step = m_times[i] - m_times[i - 1]; step > 0)
            steps.push_back(step);
    }
    if (steps.size() < 2) {
        m_interval = 0;
    } else {
        // The lower median: with few records, the shorter step is the safer guess.
        const auto middle = steps.begin() + qsizetype((steps.size() - 1) / 2);
        std::nth_element(steps.begin(), middle, steps.end());
        m_interval = *middle;
    }
    markGaps(0, size() - 1);
}

qsizetype HistoryData::stepsBack(qsizetype i, int steps) const
{
    int found = 0;
    while (i > 1 && found < steps) {
        --i;
        if (m_times[size_t(i)] > m_times[size_t(i - 1)])
            ++found;
    }
    return i;
}

qsizetype HistoryData::stepsAhead(qsizetype i, int steps) const
{
    int found = 0;
    while (i + 1 < size() && found < steps) {
        ++i;
        if (m_times[size_t(i)] > m_times[size_t(i - 1)])
            ++found;
    }
    return i;
}

void HistoryData::markGaps(qsizetype first, qsizetype last)
{
    if (first > last)
        return;
    const auto mark = [this](qsizetype i, bool gap) {
        char &u = m_units[size_t(i)];
        u = gap ? char(u | gapMark) : char(u & ~gapMark);
    };
    if (first == 0)
        mark(0, false);

    // One pass over the steps that are not zero (three readings a second share a whole second,
    // so most steps of a fast log are zero), each decided once the steps after it have come:
    // the rate is that of the side that is slower, so the first step of a slower rate is no gap.
    // Each step keeps the median of itself and the steps before it: that is the "before" of the
    // step after it, and the "after" of the step stepsAround before it.
    struct Step
    {
        double length;
        double medianToHere;
        qsizetype at;
    };
    constexpr size_t ringSize = 16; // holds the steps either side of the one decided
    std::array<Step, ringSize> ring{};
    const auto stepAt = [&ring](qsizetype k) -> Step & { return ring[size_t(k) % ringSize]; };
    qsizetype seen = 0;
    qsizetype decided = 0;
    const auto decide = [&](qsizetype k) {
        const Step &step = stepAt(k);
        if (step.at < first || step.at > last)
            return;
        const double before = k > 0 ? stepAt(k - 1).medianToHere : 0;
        double after = 0;
        if (k + stepsAround < seen) {
            after = stepAt(k + stepsAround).medianToHere;
        } else if (k + 1 < seen) {
            double lengths[stepsAround];
            int n = 0;
            for (qsizetype j = k + 1; j < seen; ++j)
                lengths[n++] = stepAt(j).length;
            after = lowerMedian(lengths, n);
        }
        // A single step that is not zero has nothing to be measured against: no gap.
        const double around = std::max(before, after);
        mark(step.at, around > 0 && step.length > gapFactor * around);
    };
    const qsizetype scanEnd = stepsAhead(last, stepsAround);
    for (qsizetype i = std::max<qsizetype>(1, stepsBack(first, stepsAround)); i <= scanEnd; ++i) {
        const double length = m_times[size_t(i)] - m_times[size_t(i - 1)];
        if (length > 0) {
            double lengths[stepsAround];
            int n = 0;
            for (qsizetype j = std::max<qsizetype>(0, seen - stepsAround + 1); j < seen; ++j)
                lengths[n++] = stepAt(j).length;
            lengths[n++] = length;
            stepAt(seen) = {length, lowerMedian(lengths, n), i};
            if (++seen - decided > stepsAround)
                decide(decided++);
        } else if (i >= first && i <= last) {
            mark(i, false);
        }
    }
    while (decided < seen)
        decide(decided++);

    // The blocks already summed up keep up with their records' gaps.
    for (qsizetype b = first / blockSize; b <= last / blockSize && b < qsizetype(m_blocks.size());
         ++b) {
        bool gap = false;
        for (qsizetype i = b * blockSize + 1; i < (b + 1) * blockSize; ++i)
            gap = gap || gapBefore(i);
        m_blocks[size_t(b)].gapInside = gap;
    }
}

qsizetype HistoryData::nextShown(qsizetype i, int direction) const
{
    const bool raw = shownUnit() == 'r';
    while (i >= 0 && i < size()) {
        // A summed-up block of one unit not shown is passed over at once.
        if (const qsizetype b = i / blockSize; b < qsizetype(m_blocks.size())) {
            const char blockUnit = m_blocks[size_t(b)].unit;
            if (blockUnit != 0 && (blockUnit == 'r') != raw) {
                i = direction > 0 ? (b + 1) * blockSize : b * blockSize - 1;
                continue;
            }
        }
        if (shows(i))
            return i;
        i += direction;
    }
    return i;
}

std::pair<double, double> HistoryData::span() const
{
    const qsizetype first = nextShown(0, 1);
    if (first >= size())
        return {0, 0};
    return {time(first), time(nextShown(size() - 1, -1))};
}

qsizetype HistoryData::nearest(double t) const
{
    const qsizetype at = firstFrom(*this, t, false);
    const qsizetype after = nextShown(at, 1);
    const qsizetype before = at > 0 ? nextShown(at - 1, -1) : -1;
    if (before < 0)
        return after < size() ? after : -1;
    if (after >= size())
        return before;
    return t - time(before) <= time(after) - t ? before : after;
}

std::array<PlotLine, historyChannels> decimateAll(const HistoryData &data, double from, double to,
                                                 int buckets)
{
    std::array<PlotLine, historyChannels> lines;
    if (data.leftOut() == data.size() || buckets < 1 || !(to > from))
        return lines; // nothing shown, or nowhere to show it
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double width = (to - from) / buckets;

    // The record on either side of the range too. One that is not shown breaks the line there,
    // so there is no need to look further out for one that is.
    const qsizetype begin = std::max<qsizetype>(0, firstFrom(data, from, false) - 1);
    const qsizetype end = std::min(data.size() - 1, firstFrom(data, to, true));

    // The column being gathered, for each channel: record indices of its first, lowest, highest
    // and last reading, and the lowest and highest in the unit shown.
    struct Column
    {
        qsizetype first = -1, low = -1, high = -1, last = -1;
        float lowValue = 0, highValue = 0;

        // Takes in readings from first to last whose lowest and highest are given.
        void take(qsizetype from, qsizetype lowest, float lowestValue, qsizetype highest,
                  float highestValue, qsizetype to)
        {
            if (first < 0) {
                first = from;
                low = lowest;
                high = highest;
                lowValue = lowestValue;
                highValue = highestValue;
            } else {
                if (lowestValue < lowValue) {
                    low = lowest;
                    lowValue = lowestValue;
                }
                if (highestValue > highValue) {
                    high = highest;
                    highValue = highestValue;
                }
            }
            last = to;
        }
    };
    std::array<Column, historyChannels> columns;
    const auto flush = [&](int c) {
        Column &col = columns[size_t(c)];
        if (col.first < 0)
            return;
        std::array<qsizetype, 4> kept = {col.first, col.low, col.high, col.last};
        std::sort(kept.begin(), kept.end());
        for (size_t k = 0; k < kept.size(); ++k) {
            if (k > 0 && kept[k] == kept[k - 1])
                continue;
            lines[size_t(c)].keys.append(data.time(kept[k]));
            lines[size_t(c)].values.append(data.value(kept[k], c));
        }
        col = Column{};
    };
    const auto breakLine = [&](int c, double key) {
        flush(c);
        PlotLine &line = lines[size_t(c)];
        if (!line.values.isEmpty() && !std::isnan(line.values.constLast())) {
            line.keys.append(key);
            line.values.append(nan);
        }
    };

    // A block of records that lies in one column, all of one unit that is shown, without a gap
    // between its records and without a missing reading counts as its summary. Its lowest and
    // highest stay so in the unit shown, the conversion rising with the temperature; a block of
    // Celsius and Fahrenheit together would not keep them.
    const auto &blocks = data.blocks();
    const auto wholeBlock = [&](qsizetype i, double columnEnd) -> const HistoryData::Block * {
        const qsizetype b = i / HistoryData::blockSize;
        if (i % HistoryData::blockSize != 0 || b >= qsizetype(blocks.size()) ||
            i + HistoryData::blockSize - 1 > end)
            return nullptr;
        const HistoryData::Block &block = blocks[size_t(b)];
        if (block.unit == 0 || block.gapInside ||
            data.time(i + HistoryData::blockSize - 1) >= columnEnd)
            return nullptr;
        for (const auto &kept : block.kept) {
            if (kept[0] < 0)
                return nullptr;
        }
        return &block;
    };

    // A record shown is of the unit shown or, a temperature, of the other one, which is then
    // converted: whether is known once a record or block, so the readings are taken by a loop
    // made for each case.
    const char shown = data.shownUnit();
    const auto inShownUnit = [shown](float v, auto convert) {
        if constexpr (decltype(convert)::value)
            return HistoryData::converted(v, shown);
        else
            return v;
    };
    const auto takeBlock = [&](const HistoryData::Block &block, auto convert) {
        for (int c = 0; c < historyChannels; ++c) {
            const auto &[first, low, high, last] = block.kept[size_t(c)];
            const float lowValue = inShownUnit(data.storedValue(low, c), convert);
            const float highValue = inShownUnit(data.storedValue(high, c), convert);
            columns[size_t(c)].take(first, low, lowValue, high, highValue, last);
        }
    };
    const auto takeRecord = [&](qsizetype i, double t, auto convert) {
        for (int c = 0; c < historyChannels; ++c) {
            const float v = inShownUnit(data.storedValue(i, c), convert);
            if (std::isnan(v))
                breakLine(c, t);
            else
                columns[size_t(c)].take(i, i, v, i, v, i);
        }
    };

    // Times only grow, so a column changes only when a time passes the next column's start;
    // no division for every reading.
    double columnEnd = -std::numeric_limits<double>::infinity();
    double previous = nan; // the time of the last record shown
    bool hidden = false;   // a record not shown since then
    for (qsizetype i = begin; i <= end; ++i) {
        if (!data.shows(i)) {
            hidden = true;
            continue;
        }
        const double t = data.time(i);
        if (!std::isnan(previous) && (hidden || data.gapBefore(i))) {
            for (int c = 0; c < historyChannels; ++c)
                breakLine(c, previous + (t - previous) / 2);
        }
        hidden = false;
        previous = t;
        if (t >= columnEnd) {
            for (int c = 0; c < historyChannels; ++c)
                flush(c);
            columnEnd = from + (std::floor((t - from) / width) + 1) * width;
        }
        if (const HistoryData::Block *block = wholeBlock(i, columnEnd)) {
            if (block->unit != shown)
                takeBlock(*block, std::true_type{});
            else
                takeBlock(*block, std::false_type{});
            i += HistoryData::blockSize - 1;
            previous = data.time(i);
        } else if (data.unit(i) != shown) {
            takeRecord(i, t, std::true_type{});
        } else {
            takeRecord(i, t, std::false_type{});
        }
    }
    for (int c = 0; c < historyChannels; ++c)
        flush(c);
    return lines;
}

} // namespace tervalo
