#pragma once

#include "common/logrecord.h"
#include "device/cardreading.h"

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <array>
#include <deque>
#include <optional>

namespace tervalo {

// One reading as the history keeps it in memory: when, in seconds since the epoch to the
// millisecond, the unit letter, each channel's reading with its fraction (NaN where it has none)
// and what became of each channel, so that an export can still tell "open" from "err". The
// states fill what would otherwise be padding: 40 bytes a reading.
struct HistorySample
{
    double time = 0;
    std::array<float, historyChannels> values{};
    char unit = 'r';
    std::array<quint8, historyChannels> states{}; // ChannelState

    ChannelState state(int channel) const { return ChannelState(states[size_t(channel)]); }
    LogRecord record() const { return {time, unit, values}; }
};

// What the history keeps of a reading; nothing when its unit is none the history has an axis
// for (the log's reader passes over such a record too).
std::optional<HistorySample> historySample(const CardReading &reading);

// The log's record of a sample, without its line end, as the program logs a reading, except that
// a reading is written in its shortest form ("734" where the card sent " 734").
QString sampleRecord(const HistorySample &sample, const QLocale &locale = QLocale::system());

// The readings taken since the program started, for a history window to show when nothing is
// logged, oldest first; the oldest goes once there are more than the limit. A million take
// about 41 MB.
class SampleBuffer
{
public:
    explicit SampleBuffer(qsizetype limit = 1'000'000) : m_limit(limit) {}

    void append(const HistorySample &sample);
    qsizetype size() const { return qsizetype(m_samples.size()); }
    qsizetype limit() const { return m_limit; }
    auto begin() const { return m_samples.begin(); }
    auto end() const { return m_samples.end(); }

private:
    qsizetype m_limit;
    std::deque<HistorySample> m_samples;
};

// Follows a log file as it grows: each read returns only the bytes added since the last one, up
// to the last line end, so a record still being written waits for its end.
class LogTail
{
public:
    enum class State { Read, Missing, Unreadable, Shrunk };

    explicit LogTail(const QString &fileName) : m_fileName(fileName) {}
    QString fileName() const { return m_fileName; }

    // At most limit new bytes of whole lines into bytes. Shrunk means the file is shorter than
    // what was read: it starts from its beginning again on the next read.
    State read(QByteArray &bytes, qint64 limit = 8 << 20);
    qint64 offset() const { return m_offset; }

private:
    QString m_fileName;
    qint64 m_offset = 0;
};

} // namespace tervalo
