#include "device/protocol.h"

#include <QLocale>

#include <algorithm>
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

namespace {

// One piece of a Qt date-time format: a field (a run of one pattern letter) or literal text.
struct FormatPiece
{
    QString text;
    bool field = false;
    bool zone = false;
};

QList<FormatPiece> formatPieces(const QString &format)
{
    static const QString fieldLetters = QStringLiteral("hHmszaAPpt");
    QList<FormatPiece> pieces;
    const auto addLiteral = [&pieces](const QString &text) {
        if (!pieces.isEmpty() && !pieces.last().field)
            pieces.last().text += text;
        else
            pieces.append({text, false, false});
    };
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            // Quoted text, '' standing for one quote; kept quoted so it stays literal.
            qsizetype end = i + 1;
            while (end < format.size()) {
                if (format[end] == QLatin1Char('\'')) {
                    if (end + 1 < format.size() && format[end + 1] == QLatin1Char('\'')) {
                        end += 2;
                        continue;
                    }
                    break;
                }
                ++end;
            }
            addLiteral(format.mid(i, end + 1 - i));
            i = end + 1;
        } else if (fieldLetters.contains(c)) {
            qsizetype end = i + 1;
            while (end < format.size() && format[end] == c)
                ++end;
            pieces.append({format.mid(i, end - i), true, c == QLatin1Char('t')});
            i = end;
        } else {
            addLiteral(QString(c));
            ++i;
        }
    }
    return pieces;
}

} // namespace

QString logTimeFormat(const QLocale &locale)
{
    // The long time format is the one with seconds; readings come up to three a second, so the
    // seconds matter. Many locales add the time zone to it, with a comma, brackets or blanks
    // around it; any of those would add a column or noise to every record, so the zone goes with
    // the text that only joined it to the time.
    QList<FormatPiece> pieces = formatPieces(locale.timeFormat(QLocale::LongFormat));
    // Blanks, commas, brackets and the like; letters (a unit such as Korean "초") stay.
    const auto separator = [](QChar c) { return !c.isLetterOrNumber() && c != QLatin1Char('\''); };
    const auto chopSeparators = [&](QString &text, bool atEnd) {
        while (!text.isEmpty() && separator(atEnd ? text.back() : text.front())) {
            if (atEnd)
                text.chop(1);
            else
                text.remove(0, 1);
        }
    };
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].zone)
            continue;
        pieces.removeAt(i);
        const bool fieldBefore = std::any_of(pieces.begin(), pieces.begin() + i,
                                             [](const FormatPiece &p) { return p.field; });
        const bool fieldAfter = std::any_of(pieces.begin() + i, pieces.end(),
                                            [](const FormatPiece &p) { return p.field; });
        FormatPiece *before = i > 0 && !pieces[i - 1].field ? &pieces[i - 1] : nullptr;
        FormatPiece *after = i < pieces.size() && !pieces[i].field ? &pieces[i] : nullptr;
        if (before)
            chopSeparators(before->text, true);
        if (after)
            chopSeparators(after->text, false);
        // Two fields that the zone stood between still need something between them.
        if (fieldBefore && fieldAfter && (!before || before->text.isEmpty()) &&
            (!after || after->text.isEmpty())) {
            if (after)
                after->text = QStringLiteral(" ");
            else if (before)
                before->text = QStringLiteral(" ");
            else
                pieces.insert(i, {QStringLiteral(" "), false, false});
        }
        --i;
    }
    // What is left around the time only joined it to the zone.
    if (!pieces.isEmpty() && !pieces.first().field)
        chopSeparators(pieces.first().text, false);
    if (!pieces.isEmpty() && !pieces.last().field)
        chopSeparators(pieces.last().text, true);
    QString format;
    for (const FormatPiece &piece : pieces)
        format += piece.text;
    return format;
}

QString logDateTimeText(const QDateTime &when, QChar separator, const QLocale &locale)
{
    // Worked out again only when the locale's format changes, not for every reading.
    static QString longFormat;
    static QString format;
    if (const QString current = locale.timeFormat(QLocale::LongFormat); current != longFormat) {
        format = logTimeFormat(locale);
        longFormat = current;
    }
    return locale.toString(when.date(), QLocale::ShortFormat) + separator +
           locale.toString(when.time(), format);
}

QString recordPrefix(const QDateTime &when, const QString &tempType, const QLocale &locale)
{
    return logDateTimeText(when, QLatin1Char(','), locale) + QLatin1Char(',') + tempType +
           QLatin1Char(',');
}

QString errorRecord(const QDateTime &when, const QString &tempType, const QLocale &locale)
{
    return recordPrefix(when, tempType, locale) + QStringLiteral("err,err,err,err,err,err,");
}

} // namespace tervalo
