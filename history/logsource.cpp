#include "history/logsource.h"

#include <QFile>

#include <charconv>
#include <cmath>

namespace tervalo {

// A million readings are kept: every byte here is a megabyte there.
static_assert(sizeof(HistorySample) <= 40);

std::optional<HistorySample> historySample(const CardReading &reading)
{
    if (reading.unit.size() != 1 || !QStringLiteral("rcf").contains(reading.unit[0]))
        return std::nullopt;
    HistorySample sample;
    sample.time = double(reading.when.toMSecsSinceEpoch()) / 1000;
    sample.unit = char(reading.unit[0].unicode());
    for (int c = 0; c < historyChannels; ++c) {
        sample.values[size_t(c)] = float(reading.number(c));
        // The log writes "err" for every channel of an answer that failed.
        const ChannelState state = reading.ok() ? reading.channels[size_t(c)].state : ChannelState::Error;
        sample.states[size_t(c)] = quint8(state);
    }
    return sample;
}

QString sampleRecord(const HistorySample &sample, const QLocale &locale)
{
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(std::llround(sample.time * 1000));
    QString record = recordPrefix(when, QString(QLatin1Char(sample.unit)), locale);
    for (int c = 0; c < historyChannels; ++c) {
        switch (sample.state(c)) {
        case ChannelState::Reading: {
            // Shortest text that reads back as the same float, with "." whatever the locale.
            char text[32];
            const auto end = std::to_chars(text, text + sizeof text, sample.values[size_t(c)]).ptr;
            record += QLatin1StringView(text, end - text);
            break;
        }
        case ChannelState::Open:
            record += QStringLiteral("open");
            break;
        case ChannelState::Disabled:
            record += QStringLiteral("disabled");
            break;
        case ChannelState::Error:
            record += QStringLiteral("err");
            break;
        }
        record += QLatin1Char(',');
    }
    return record;
}

void SampleBuffer::append(const HistorySample &sample)
{
    m_samples.push_back(sample);
    while (size() > m_limit)
        m_samples.pop_front();
}

LogTail::State LogTail::read(QByteArray &bytes, qint64 limit)
{
    bytes.clear();
    QFile file(m_fileName);
    if (!file.exists())
        return State::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return State::Unreadable;
    const qint64 size = file.size();
    if (size < m_offset) {
        m_offset = 0;
        return State::Shrunk;
    }
    if (size == m_offset || !file.seek(m_offset))
        return State::Read;
    bytes = file.read(std::min(limit, size - m_offset));
    const qsizetype end = bytes.lastIndexOf('\n');
    // A line longer than the whole limit is no record; it is passed on in pieces as it is, so
    // the file still moves on.
    bytes.truncate(end >= 0 ? end + 1 : (bytes.size() == limit ? bytes.size() : 0));
    m_offset += bytes.size();
    return State::Read;
}

} // namespace tervalo
