#include "common/logrecord.h"

#include <QTime>

#include <cstdlib>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace tervalo {

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

QString isoDateTimeText(const QDateTime &when, QChar separator)
{
    const int offset = when.offsetFromUtc() / 60;
    return when.date().toString(Qt::ISODate) + separator +
           when.time().toString(QStringLiteral("HH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'));
}

QString recordPrefix(const QDateTime &when, const QString &tempType, const QLocale &locale,
                     RecordTimeStyle style)
{
    const QString moment = style == RecordTimeStyle::Iso ? isoDateTimeText(when, QLatin1Char(','))
                                                         : logDateTimeText(when, QLatin1Char(','), locale);
    return moment + QLatin1Char(',') + tempType + QLatin1Char(',');
}

QString errorRecord(const QDateTime &when, const QString &tempType, const QLocale &locale,
                    RecordTimeStyle style)
{
    return recordPrefix(when, tempType, locale, style) + QStringLiteral("err,err,err,err,err,err,");
}

namespace {

constexpr float noValue = std::numeric_limits<float>::quiet_NaN();

// An item as the card or the program wrote it: a number with "." as its point whatever the
// locale, or one of the words for a reading that is not there.
std::optional<float> itemValue(QByteArrayView item)
{
    const QByteArrayView text = item.trimmed();
    if (text == "open" || text == "disabled" || text == "err")
        return noValue;
    if (text.isEmpty())
        return std::nullopt;
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (*begin == '+')
        ++begin;
    float value = 0;
    const auto [at, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<LogLine> splitLogLine(QByteArrayView line)
{
    // date, time, unit, six items, and the empty field after the last comma; a time written with
    // commas in it adds a few more.
    constexpr int tail = 1 + historyChannels + 1;
    constexpr int most = 2 + tail + 6;
    std::array<QByteArrayView, most> fields;
    int count = 0;
    for (qsizetype start = 0;;) {
        if (count == most)
            return std::nullopt;
        const qsizetype comma = line.indexOf(',', start);
        fields[count++] = line.sliced(start, (comma < 0 ? line.size() : comma) - start);
        if (comma < 0)
            break;
        start = comma + 1;
    }
    if (count < 2 + tail || !fields[count - 1].trimmed().isEmpty())
        return std::nullopt;
    LogLine result;
    const int unitAt = count - tail;
    const QByteArrayView unit = fields[unitAt].trimmed();
    if (unit.size() != 1 || !QByteArrayView("rcf").contains(unit[0]))
        return std::nullopt;
    result.unit = unit[0];
    for (int c = 0; c < historyChannels; ++c) {
        const std::optional<float> value = itemValue(fields[unitAt + 1 + c]);
        if (!value)
            return std::nullopt;
        result.values[c] = *value;
    }
    result.date = fields[0].trimmed();
    // Everything between the date and the unit, commas included, is the time.
    const qsizetype timeStart = fields[1].data() - line.data();
    const qsizetype timeEnd = fields[unitAt].data() - 1 - line.data();
    result.time = line.sliced(timeStart, timeEnd - timeStart).trimmed();
    return result;
}

int secondsOfDay(const QString &text, const QLocale &locale)
{
    int numbers[3] = {-1, -1, -1};
    int found = 0;
    for (qsizetype i = 0; i < text.size() && found < 3;) {
        if (!text[i].isDigit()) {
            ++i;
            continue;
        }
        int n = 0;
        qsizetype digits = 0;
        for (; i < text.size() && text[i].isDigit() && digits < 3; ++i, ++digits)
            n = n * 10 + text[i].digitValue();
        if (digits > 2)
            return -1;
        numbers[found++] = n;
    }
    if (found < 3)
        return -1;
    int hour = numbers[0];
    const auto says = [&text](const QString &word) {
        return !word.isEmpty() && text.contains(word, Qt::CaseInsensitive);
    };
    // The words of the locales whose times say them, whichever locale reads the log: a log
    // written in Seoul or Cairo is read in Berlin too.
    static const QList<QLocale> otherClocks{QLocale(QLocale::Korean), QLocale(QLocale::Arabic, QLocale::Egypt),
                                            QLocale(QLocale::Chinese), QLocale(QLocale::Japanese)};
    const auto saysOf = [&](QString (QLocale::*word)() const, const QString &english) {
        if (says((locale.*word)()) || says(english))
            return true;
        for (const QLocale &other : otherClocks) {
            if (says((other.*word)()))
                return true;
        }
        return false;
    };
    const bool pm = saysOf(&QLocale::pmText, QStringLiteral("PM"));
    const bool am = !pm && saysOf(&QLocale::amText, QStringLiteral("AM"));
    if (pm || am) {
        if (hour < 1 || hour > 12)
            return -1;
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (hour > 23 || numbers[1] > 59 || numbers[2] > 59)
        return -1;
    return hour * 3600 + numbers[1] * 60 + numbers[2];
}

LogDateReader::LogDateReader(const QLocale &locale)
    : m_locale(locale),
      // The locale's own form comes first (index -1 stands for it); then those other locales and
      // earlier versions wrote. Slashes are read by their shape: Europe writes two-digit days and
      // months (07/12/2026, the 7th of December), America does not (12/7/2026, 12/7/26).
      m_forms({QStringLiteral("yyyy-MM-dd"), QStringLiteral("d.M.yyyy"), QStringLiteral("d.M.yy"),
               QStringLiteral("dd/MM/yyyy"), QStringLiteral("M/d/yyyy"), QStringLiteral("M/d/yy"),
               QStringLiteral("d/M/yyyy"), QStringLiteral("d/M/yy"), QStringLiteral("yyyy/M/d"),
               QStringLiteral("d-M-yyyy"), QStringLiteral("d-M-yy"), QStringLiteral("yyyy.M.d"),
               QStringLiteral("yy-MM-dd"),
               // The C locale's (a service's), with English month names, and Korea's.
               QStringLiteral("d MMM yyyy"), QStringLiteral("yy. M. d.")})
{
}

QDate LogDateReader::tryForm(int form, const QString &text) const
{
    QDate date = form < 0 ? m_locale.toDate(text, QLocale::ShortFormat)
                          : QDate::fromString(text, m_forms[form]);
    // Two-digit years are read as 19xx; no log is that old.
    if (date.isValid() && date.year() < 1970)
        date = date.addYears(100);
    return date;
}

QString LogDateReader::order(int form) const
{
    if (form < -1)
        return {};
    QString order;
    for (const QChar c : form < 0 ? m_locale.dateFormat(QLocale::ShortFormat) : m_forms[form]) {
        if ((c == QLatin1Char('d') || c == QLatin1Char('M') || c == QLatin1Char('y')) &&
            !order.contains(c))
            order += c;
    }
    return order;
}

QDate LogDateReader::read(const QString &written)
{
    // Arabic locales write their own digits, with right-to-left marks between day, month and
    // year, day first: read as plain digits, day first.
    QString text;
    bool rightToLeft = false;
    for (const QChar c : written) {
        if (c == QChar(0x200F) || c == QChar(0x061C) || c == QChar(0x200E))
            rightToLeft = true;
        else if (c.isDigit() && c.unicode() > 0x7F)
            text += QChar(u'0' + c.digitValue());
        else
            text += c;
    }
    if (rightToLeft) {
        for (const QString &dayFirst : {QStringLiteral("d/M/yyyy"), QStringLiteral("d/M/yy")}) {
            const int form = int(m_forms.indexOf(dayFirst));
            if (const QDate date = tryForm(form, text); date.isValid()) {
                m_lastForm = form;
                return date;
            }
        }
    }
    if (m_lastForm >= -1) {
        if (const QDate date = tryForm(m_lastForm, text); date.isValid())
            return date;
    }
    // A form of the same order first: a log that began on 13/12/2026 and reaches 7/1/2027 has
    // only dropped a digit, and is still day first, though 7/1/2027 fits M/d/yyyy before d/M/yyyy.
    const QString lastOrder = order(m_lastForm);
    for (const bool sameOrder : {true, false}) {
        for (int form = -1; form < int(m_forms.size()); ++form) {
            if (form == m_lastForm || (order(form) == lastOrder) != sameOrder)
                continue;
            if (const QDate date = tryForm(form, text); date.isValid()) {
                m_lastForm = form;
                return date;
            }
        }
    }
    return {};
}

LogReader::LogReader(const QLocale &locale) : m_locale(locale), m_dates(locale) {}

namespace {

// The offset from UTC a time says at its end, as ISO 8601 writes it ("07:15:03.120+01:00"), in
// seconds; nothing when it says none.
std::optional<int> writtenOffset(QByteArrayView time)
{
    const auto digit = [&time](qsizetype i) { return time[i] >= '0' && time[i] <= '9'; };
    const qsizetype at = time.size() - 6;
    if (at < 1 || (time[at] != '+' && time[at] != '-') || !digit(at - 1) || time[at + 3] != ':' ||
        !digit(at + 1) || !digit(at + 2) || !digit(at + 4) || !digit(at + 5))
        return std::nullopt;
    const int minutes = ((time[at + 1] - '0') * 10 + (time[at + 2] - '0')) * 60 +
                        (time[at + 4] - '0') * 10 + (time[at + 5] - '0');
    return (time[at] == '-' ? -60 : 60) * minutes;
}

// The seconds of the day of a time that differs from the one read before only in the digits of
// its minutes, seconds or what follows them, worked out from those digits: reading the whole
// text, with its words for the afternoon in several languages, costs as much as the rest of the
// record. -1 when anything else differs (the hour, a word), and the text is read whole.
int nextSeconds(QByteArrayView before, QByteArrayView now, int secondsBefore)
{
    if (before.size() != now.size())
        return -1;
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    int run = -1;
    bool inDigits = false;
    std::array<int, 3> values{};
    std::array<int, 3> lengths{};
    for (qsizetype i = 0; i < now.size(); ++i) {
        const char was = before[i];
        const char is = now[i];
        if (isDigit(was) != isDigit(is))
            return -1;
        if (!isDigit(is)) {
            if (was != is)
                return -1;
            inDigits = false;
            continue;
        }
        if (!inDigits) {
            ++run;
            inDigits = true;
        }
        if (run == 0 && was != is)
            return -1;
        if (run > 0 && run < 3) {
            values[size_t(run)] = values[size_t(run)] * 10 + (is - '0');
            ++lengths[size_t(run)];
        }
    }
    if (run < 2 || lengths[1] > 2 || lengths[2] > 2 || values[1] > 59 || values[2] > 59)
        return -1;
    return secondsBefore / 3600 * 3600 + values[1] * 60 + values[2];
}

} // namespace

std::optional<double> LogReader::timeOf(const LogLine &line)
{
    // A day's log has one date and three records a second: each text is read once and kept.
    if (line.date != m_lastDateText) {
        m_lastDateText = line.date.toByteArray();
        m_lastDate = m_dates.read(QString::fromLocal8Bit(line.date));
    }
    if (line.time != m_lastTimeText) {
        const int quick = m_lastSeconds >= 0 ? nextSeconds(m_lastTimeText, line.time, m_lastSeconds) : -1;
        m_lastTimeText = line.time.toByteArray();
        m_lastSeconds = quick >= 0 ? quick : secondsOfDay(QString::fromLocal8Bit(line.time), m_locale);
    }
    if (!m_lastDate.isValid() || m_lastSeconds < 0)
        return std::nullopt;
    // Local time to the epoch goes through the time zone rules, which is slow; it is done once
    // an hour of records, since clocks change on the hour.
    const int hour = m_lastSeconds / 3600;
    const qint64 key = m_lastDate.toJulianDay() * 24 + hour;
    if (key != m_hourKey) {
        m_hourKey = key;
        m_hourStart = QDateTime(m_lastDate, QTime(hour, 0)).toMSecsSinceEpoch() / 1000.0;
        // When the clock is put back in autumn, the hour comes twice, an hour apart: an hour on
        // or back in real time the clock says this hour again. m_hourStart is made the first.
        const auto saysThisHour = [&](double t) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(qint64(t * 1000));
            return at.date() == m_lastDate && at.time().hour() == hour;
        };
        m_hourRepeats = true;
        if (saysThisHour(m_hourStart - 3600))
            m_hourStart -= 3600;
        else if (!saysThisHour(m_hourStart + 3600))
            m_hourRepeats = false;
    }
    double placed = m_hourStart + (m_lastSeconds - hour * 3600);
    if (m_hourRepeats)
        placed = occurrence(placed, line.time);
    if (m_previous) {
        const double step = std::max(0.0, placed - *m_previous);
        m_expectedStep = std::min(step, m_lastStep);
        m_lastStep = step;
    }
    return placed;
}

double LogReader::occurrence(double first, QByteArrayView time) const
{
    const double second = first + 3600;
    // A time that says its offset from UTC says which.
    if (const std::optional<int> offset = writtenOffset(time)) {
        constexpr qint64 epochDay = 2440588; // the Julian day of 1970-01-01
        const double written = double(m_lastDate.toJulianDay() - epochDay) * 86400 + m_lastSeconds;
        if (written - *offset == first || written - *offset == second)
            return written - *offset;
    }
    // Otherwise the one that follows on from the record before as the records before did: the
    // log is in time order, so after 02:59:59 summer time 02:00:00 is the second. A log that
    // begins in the second pass has nothing to tell it by, and begins in the first.
    if (!m_previous)
        return first;
    const double expected = *m_previous + m_expectedStep;
    return std::abs(second - expected) <= std::abs(first - expected) ? second : first;
}

qsizetype LogReader::read(QByteArrayView bytes, const Sink &sink)
{
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            break;
        QByteArrayView line = bytes.sliced(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        const std::optional<LogLine> fields = splitLogLine(line);
        if (!fields) {
            ++m_unreadableLines;
            continue;
        }
        ++m_records;
        LogRecord record;
        record.unit = fields->unit;
        record.values = fields->values;
        const std::optional<double> time = timeOf(*fields);
        if (!time) {
            ++m_unplacedTimes;
            if (!m_previous) {
                m_waiting.emplace_back(record, line.toByteArray());
                continue;
            }
            record.time = *m_previous;
        } else {
            record.time = *time;
            m_previous = *time;
            for (auto &[early, text] : m_waiting) {
                early.time = *time;
                sink(early, text);
            }
            m_waiting.clear();
        }
        sink(record, line);
    }
    return start;
}

} // namespace tervalo
