#include "device/cardreading.h"

#include <limits>

namespace tervalo {

QString CardReading::label(int i) const
{
    return ok() ? channels[size_t(i)].label : QStringLiteral("Err");
}

std::array<qint16, channelCount> CardReading::values() const
{
    std::array<qint16, channelCount> values{};
    if (ok()) {
        for (int i = 0; i < channelCount; ++i)
            values[size_t(i)] = channels[size_t(i)].value;
    }
    return values;
}

double CardReading::number(int i) const
{
    const ChannelReading &channel = channels[size_t(i)];
    if (!ok() || channel.state != ChannelState::Reading)
        return std::numeric_limits<double>::quiet_NaN();
    return channel.number;
}

CardReading decodeAnswer(const QString &answer, const std::array<bool, channelCount> &checked,
                         const QDateTime &when, const QString &unit, const QLocale &locale,
                         RecordTimeStyle style)
{
    CardReading reading;
    reading.when = when;
    reading.unit = unit;
    QString record = recordPrefix(when, unit, locale, style);
    for (int i = 0; i < channelCount; ++i) {
        reading.channels[size_t(i)] = decodeChannel(channelField(answer, i), checked[size_t(i)]);
        if (!reading.channels[size_t(i)].ok) {
            reading.failedChannel = i;
            break;
        }
        record += reading.channels[size_t(i)].item + QLatin1Char(',');
    }
    reading.record = reading.ok() ? record : errorRecord(when, unit, locale, style);
    return reading;
}

} // namespace tervalo
