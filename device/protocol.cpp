#include "device/protocol.h"

#include <charconv>

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
    // Called for every channel of every reading, so a plain scan: blanks, a sign, digits, an
    // optional "." with digits, blanks, and nothing else. Only ASCII digits count; the card
    // sends nothing else, and a stray byte must not pass as a number.
    const auto isDigit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    // Blanks are the ASCII ones: space, tab, line feed, vertical tab, form feed, return.
    const auto isBlank = [](QChar c) {
        return c == QLatin1Char(' ') || (c >= QLatin1Char('\t') && c <= QLatin1Char('\r'));
    };
    const qsizetype size = text.size();
    qsizetype i = 0;
    while (i < size && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < size && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }

    // Leading zeros carry no value; anything longer than a few digits is out of range anyway,
    // which keeps the arithmetic far from overflow.
    qint64 magnitude = 0;
    int significant = 0;
    qsizetype digits = 0;
    for (; i < size && isDigit(text[i]); ++i, ++digits) {
        const int d = text[i].unicode() - '0';
        if (significant == 0 && d == 0)
            continue;
        if (++significant > 6)
            return std::nullopt;
        magnitude = magnitude * 10 + d;
    }

    // Round half to even on the exact decimal text, never on a binary fraction.
    int first = -1;           // the first digit after the point, if any
    bool restNonZero = false; // any digit but 0 after that one
    if (i < size && text[i] == QLatin1Char('.')) {
        for (++i; i < size && isDigit(text[i]); ++i, ++digits) {
            const int d = text[i].unicode() - '0';
            if (first < 0)
                first = d;
            else if (d != 0)
                restNonZero = true;
        }
    }
    while (i < size && isBlank(text[i]))
        ++i;
    if (i != size || digits == 0)
        return std::nullopt;

    if (first > 5 || (first == 5 && (restNonZero || magnitude % 2 == 1)))
        ++magnitude;
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return qint16(value);
}

namespace {

// The reading with its fraction, for those who keep it unrounded (the history). Only called on
// text readingValue accepted: blanks, a sign, digits and at most one ".". from_chars never looks
// at the process' locale, which under de_DE would take "." for no decimal point.
double readingNumber(const QString &text)
{
    QByteArray bytes = text.trimmed().toLatin1();
    if (bytes.startsWith('+'))
        bytes.remove(0, 1);
    double number = 0;
    std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), number);
    return number;
}

} // namespace

ChannelReading decodeChannel(const QString &field, bool checked)
{
    if (!checked)
        return {QStringLiteral("Disabled"), QStringLiteral("disabled"), 0, true, ChannelState::Disabled, 0};
    if (field.startsWith(QLatin1Char('1')))
        return {QStringLiteral("Open"), QStringLiteral("open"), 0, true, ChannelState::Open, 0};
    const QString reading = field.right(4);
    const std::optional<qint16> value = readingValue(reading);
    if (!value)
        return {QStringLiteral("Err"), QStringLiteral("err"), 0, false, ChannelState::Error, 0};
    // readingValue has checked the text: blanks, a sign, digits and a "." at most.
    return {reading, reading, *value, true, ChannelState::Reading, readingNumber(reading)};
}

} // namespace tervalo
