#include "device/protocol.h"

#include <QLocale>
#include <QRegularExpression>

namespace tervalo {

QString buildRequest(const QString &address, const QString &tempType)
{
    return QLatin1Char('t') + address + tempType + QLatin1Char('a');
}

QString channelField(const QString &answer, int index)
{
    return answer.mid(5 * index + 2, 5);
}

std::optional<qint16> readingValue(const QString &text)
{
    static const QRegularExpression number(
        QStringLiteral("^\\s*([+-]?)([0-9]*)(?:\\.([0-9]*))?\\s*$"));
    const QRegularExpressionMatch m = number.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QString whole = m.captured(2);
    const QString fraction = m.captured(3);
    if (whole.isEmpty() && fraction.isEmpty())
        return std::nullopt;

    // Leading zeros carry no value; anything longer than a few digits is out of range anyway,
    // which keeps the arithmetic far from overflow.
    qsizetype firstDigit = 0;
    while (firstDigit < whole.size() && whole[firstDigit] == QLatin1Char('0'))
        ++firstDigit;
    if (whole.size() - firstDigit > 6)
        return std::nullopt;
    qint64 magnitude = whole.isEmpty() ? 0 : whole.toLongLong();

    // Round half to even on the exact decimal text, never on a binary fraction.
    if (!fraction.isEmpty()) {
        const int first = fraction[0].digitValue();
        const bool restNonZero = fraction.mid(1).contains(QRegularExpression(QStringLiteral("[1-9]")));
        if (first > 5 || (first == 5 && restNonZero) || (first == 5 && magnitude % 2 == 1))
            ++magnitude;
    }
    const qint64 value = m.captured(1) == QLatin1String("-") ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return qint16(value);
}

ChannelReading decodeChannel(const QString &field, bool checked)
{
    if (!checked)
        return {QStringLiteral("Disabled"), QStringLiteral("disabled"), 0, true};
    if (field.startsWith(QLatin1Char('1')))
        return {QStringLiteral("Open"), QStringLiteral("open"), 0, true};
    const QString reading = field.right(4);
    const std::optional<qint16> value = readingValue(reading);
    if (!value)
        return {QStringLiteral("Err"), QStringLiteral("err"), 0, false};
    return {reading, reading, *value, true};
}

static QString timeText(const QTime &time)
{
    // The long time format is the one with seconds; readings come up to three a second, so the
    // seconds matter. Qt adds the time zone to it, which no log line needs.
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*$")));
    format.remove(QRegularExpression(QStringLiteral("^\\s*t+\\s*")));
    return QLocale::system().toString(time, format);
}

QString recordPrefix(const QDateTime &when, const QString &tempType)
{
    return QLocale::system().toString(when.date(), QLocale::ShortFormat) + QLatin1Char(',') +
           timeText(when.time()) + QLatin1Char(',') + tempType + QLatin1Char(',');
}

QString errorRecord(const QDateTime &when, const QString &tempType)
{
    return recordPrefix(when, tempType) + QStringLiteral("err,err,err,err,err,err,");
}

} // namespace tervalo
