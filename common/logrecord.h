#pragma once

#include "common/channelcount.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace tervalo {

// The log's record, both ways: how a reading is written as a line of the log, and how a line of
// any log, this version's or an earlier one's, in any locale, is read back. One place, so that
// what is written is what the reader expects.

// Writing a record.

// How a record's date and time columns are written: as the user's locale formats them (the
// short date, and the time with hours, minutes and seconds but no time zone), which is what the
// window has always written; or as ISO 8601 with milliseconds and the offset from UTC
// ("2026-12-08" and "07:15:03.120+01:00"), for a service whose log is read by programs and
// must mean the same in every locale and across a change of summer time.
enum class RecordTimeStyle { Locale, Iso };

// A moment in ISO 8601 with milliseconds and the offset from UTC: the date, the separator ('T'
// for one piece, ',' for the record's two columns) and the time.
QString isoDateTimeText(const QDateTime &when, QChar separator);

// The start of a log record: date, time and unit letter, each followed by a comma.
QString recordPrefix(const QDateTime &when, const QString &tempType,
                     const QLocale &locale = QLocale::system(),
                     RecordTimeStyle style = RecordTimeStyle::Locale);

// A moment as the log writes it: the short date, the separator and the time with seconds.
QString logDateTimeText(const QDateTime &when, QChar separator,
                        const QLocale &locale = QLocale::system());

// The record of an answer that could not be decoded.
QString errorRecord(const QDateTime &when, const QString &tempType,
                    const QLocale &locale = QLocale::system(),
                    RecordTimeStyle style = RecordTimeStyle::Locale);

// The locale's long time format without its time zone and the text around it.
QString logTimeFormat(const QLocale &locale);

// Reading a log.

inline constexpr int historyChannels = channelCount;

// One record of a log as the history plots it: when (seconds since the epoch), the unit letter
// and six values, NaN for "open", "disabled" and "err".
struct LogRecord
{
    double time = 0;
    char unit = 'r';
    std::array<float, historyChannels> values{};
};

// What one line of a log holds, before its time is placed; date and time point into the line.
struct LogLine
{
    QByteArrayView date;
    QByteArrayView time;
    char unit = 'r';
    std::array<float, historyChannels> values{};
};

// Cuts one line (without its line end) into date, time, unit and six items; nothing when it is
// not a record. Read from the end, so that a time written with a comma in it (older versions
// wrote the zone, sometimes after a comma) still leaves the unit and the items in place.
std::optional<LogLine> splitLogLine(QByteArrayView line);

// Reads the hours, minutes and seconds of a log time in any locale's form: every locale writes
// them in that order, so the first three runs of digits are they, whatever text stands between
// or around them (a zone, "PM", "午後"). Returns seconds of the day, or -1.
int secondsOfDay(const QString &text, const QLocale &locale);

// Reads a log's dates: the locale's own short form first, then the forms other locales write.
// Once a form has read a date it is tried first, and when it fails the forms with day, month and
// year in the same order come next, so one file is read one way throughout (a day such as 07/12
// would otherwise flip between July and December).
class LogDateReader
{
public:
    explicit LogDateReader(const QLocale &locale = QLocale::system());
    QDate read(const QString &written);

private:
    QDate tryForm(int form, const QString &text) const;
    QString order(int form) const;
    QLocale m_locale;
    QStringList m_forms;
    int m_lastForm = -2; // -1 is the locale's form; -2 none yet
};

// Reads a log line by line and places each record on the time axis. A record whose date or time
// cannot be read goes right after the one before it, and is counted; records before the first
// readable time wait for it.
class LogReader
{
public:
    explicit LogReader(const QLocale &locale = QLocale::system());

    // Reads every complete line of bytes; returns how many bytes were used (up to and including
    // the last line end). The rest is a line still being written.
    // Each record goes to sink with the line it was read from.
    using Sink = std::function<void(const LogRecord &, QByteArrayView line)>;
    qsizetype read(QByteArrayView bytes, const Sink &sink);

    qint64 records() const { return m_records; }
    qint64 unreadableLines() const { return m_unreadableLines; } // not a record at all
    qint64 unplacedTimes() const { return m_unplacedTimes; }     // date or time not readable
    qint64 waiting() const { return m_waiting.size(); } // no readable time yet

private:
    std::optional<double> timeOf(const LogLine &line);
    // Which of the two times of an hour that came twice (first, or an hour later) a record's
    // time is.
    double occurrence(double first, QByteArrayView time) const;

    QLocale m_locale;
    LogDateReader m_dates;
    QByteArray m_lastDateText;
    QDate m_lastDate;
    QByteArray m_lastTimeText;
    int m_lastSeconds = -1;
    qint64 m_hourKey = -1;
    double m_hourStart = 0;
    bool m_hourRepeats = false; // the clock was put back at its end, so it came twice
    std::optional<double> m_previous;
    // From the record before to this one, as the last two steps foretell it: the shorter, so
    // that neither a pause nor the first step alone foretells another.
    double m_lastStep = 0;
    double m_expectedStep = 0;
    std::vector<std::pair<LogRecord, QByteArray>> m_waiting;
    qint64 m_records = 0;
    qint64 m_unreadableLines = 0;
    qint64 m_unplacedTimes = 0;
};

} // namespace tervalo
