#include "history/historydata.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tervalo {

namespace {

int unitIndex(char unit)
{
    return unit == 'c' ? 1 : unit == 'f' ? 2 : 0;
}

} // namespace

void HistoryData::clear()
{
    *this = HistoryData{};
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
    if (at + 1 == m_times.size())
        m_lastUnit = record.unit;
    else
        forgetBlocks();
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
    m_lastUnit = m_units.back();
}

void HistoryData::dropOldest(qsizetype limit)
{
    if (size() <= limit)
        return;
    const auto drop = size() - limit;
    for (qsizetype i = 0; i < drop; ++i)
        --m_unitCounts[unitIndex(m_units[size_t(i)])];
    forgetBlocks();
    m_times.erase(m_times.begin(), m_times.begin() + drop);
    m_units.erase(m_units.begin(), m_units.begin() + drop);
    for (auto &values : m_values)
        values.erase(values.begin(), values.begin() + drop);
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
            block.longestStep = std::max(block.longestStep, time(i) - time(i - 1));
        }
        for (int c = 0; c < historyChannels; ++c) {
            auto &[first, low, high, last] = block.kept[size_t(c)];
            first = low = high = qint32(begin);
            last = qint32(end - 1);
            for (qsizetype i = begin; i < end; ++i) {
                const float v = value(i, c);
                if (std::isnan(v)) {
                    block.kept[size_t(c)].fill(-1);
                    break;
                }
                if (v < value(low, c))
                    low = qint32(i);
                if (v > value(high, c))
                    high = qint32(i);
            }
        }
        m_blocks.push_back(block);
    }
    return m_blocks;
}

qsizetype HistoryData::leftOut() const
{
    return size() - m_unitCounts[unitIndex(m_lastUnit)];
}

void HistoryData::updateInterval()
{
    std::vector<double> steps;
    steps.reserve(m_times.size());
    for (size_t i = 1; i < m_times.size(); ++i) {
        if (const double step = m_times[i] - m_times[i - 1]; step > 0)
            steps.push_back(step);
    }
    if (steps.size() < 2) {
        m_interval = 0;
        return;
    }
    // The lower median: with few records, the shorter step is the safer guess.
    const auto middle = steps.begin() + qsizetype((steps.size() - 1) / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    m_interval = *middle;
}

std::pair<double, double> HistoryData::span() const
{
    double first = 0;
    double last = 0;
    for (size_t i = 0; i < m_times.size(); ++i) {
        if (m_units[i] == m_lastUnit) {
            first = m_times[i];
            break;
        }
    }
    for (size_t i = m_times.size(); i-- > 0;) {
        if (m_units[i] == m_lastUnit) {
            last = m_times[i];
            break;
        }
    }
    return {first, last};
}

qsizetype HistoryData::nearest(double t) const
{
    const qsizetype at = std::lower_bound(m_times.begin(), m_times.end(), t) - m_times.begin();
    qsizetype after = at;
    while (after < size() && m_units[size_t(after)] != m_lastUnit)
        ++after;
    qsizetype before = at - 1;
    while (before >= 0 && m_units[size_t(before)] != m_lastUnit)
        --before;
    if (before < 0)
        return after < size() ? after : -1;
    if (after >= size())
        return before;
    return t - m_times[size_t(before)] <= m_times[size_t(after)] - t ? before : after;
}

std::array<PlotLine, historyChannels> decimateAll(const HistoryData &data, double from, double to,
                                                 int buckets)
{
    std::array<PlotLine, historyChannels> lines;
    if (data.isEmpty() || buckets < 1 || !(to > from))
        return lines;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double width = (to - from) / buckets;
    const double gapLimit = data.gapLimit();
    const char unit = data.shownUnit();

    qsizetype begin = data.nearest(from);
    if (begin < 0)
        return lines; // nothing of the shown unit
    while (begin > 0 && data.time(begin) >= from)
        --begin;
    qsizetype end = data.nearest(to);
    while (end + 1 < data.size() && data.time(end) <= to)
        ++end;

    // The column being gathered, for each channel: record indices of its first, lowest, highest
    // and last reading.
    struct Column
    {
        qsizetype first = -1, low = -1, high = -1, last = -1;
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

    // A block of records that lies in one column, in the shown unit, without a gap in time
    // and without a missing reading counts as its summary.
    const auto &blocks = data.blocks();
    const auto wholeBlock = [&](qsizetype i, double columnEnd) -> const HistoryData::Block * {
        const qsizetype b = i / HistoryData::blockSize;
        if (i % HistoryData::blockSize != 0 || b >= qsizetype(blocks.size()) ||
            i + HistoryData::blockSize - 1 > end)
            return nullptr;
        const HistoryData::Block &block = blocks[size_t(b)];
        if (block.unit != unit || (gapLimit > 0 && block.longestStep > gapLimit) ||
            data.time(i + HistoryData::blockSize - 1) >= columnEnd)
            return nullptr;
        for (const auto &kept : block.kept) {
            if (kept[0] < 0)
                return nullptr;
        }
        return &block;
    };

    // Times only grow, so a column changes only when a time passes the next column's start;
    // no division for every reading.
    double columnEnd = -std::numeric_limits<double>::infinity();
    double previous = nan;
    for (qsizetype i = begin; i <= end; ++i) {
        if (data.unit(i) != unit)
            continue;
        const double t = data.time(i);
        if (gapLimit > 0 && t - previous > gapLimit) {
            for (int c = 0; c < historyChannels; ++c)
                breakLine(c, previous + (t - previous) / 2);
        }
        previous = t;
        if (t >= columnEnd) {
            for (int c = 0; c < historyChannels; ++c)
                flush(c);
            columnEnd = from + (std::floor((t - from) / width) + 1) * width;
        }
        if (const HistoryData::Block *block = wholeBlock(i, columnEnd)) {
            for (int c = 0; c < historyChannels; ++c) {
                const auto &[first, low, high, last] = block->kept[size_t(c)];
                Column &col = columns[size_t(c)];
                if (col.first < 0) {
                    col.first = first;
                    col.low = low;
                    col.high = high;
                } else {
                    if (data.value(low, c) < data.value(col.low, c))
                        col.low = low;
                    if (data.value(high, c) > data.value(col.high, c))
                        col.high = high;
                }
                col.last = last;
            }
            i += HistoryData::blockSize - 1;
            previous = data.time(i);
            continue;
        }
        for (int c = 0; c < historyChannels; ++c) {
            const float v = data.value(i, c);
            Column &col = columns[size_t(c)];
            if (std::isnan(v)) {
                breakLine(c, t);
            } else if (col.first < 0) {
                col.first = col.low = col.high = col.last = i;
            } else {
                if (v < data.value(col.low, c))
                    col.low = i;
                if (v > data.value(col.high, c))
                    col.high = i;
                col.last = i;
            }
        }
    }
    for (int c = 0; c < historyChannels; ++c)
        flush(c);
    return lines;
}

} // namespace tervalo
