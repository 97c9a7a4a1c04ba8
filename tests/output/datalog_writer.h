#pragma once

// The records datalog_writer appends, for the tests that look at what it left in its file.

#include <QRegularExpression>
#include <QString>

// Whether a line (without its line end) is one whole record of the writer: a date and time, the
// unit, and one number repeated in all six channel fields, so that a record cut short or glued to
// another does not pass.
inline bool isWholeWriterRecord(const QString &line)
{
    static const QRegularExpression whole(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d,\\d\\d:\\d\\d:\\d\\d,c,([ 0-9]{4}),\\1,\\1,\\1,\\1,\\1,$"));
    return whole.match(line).hasMatch();
}
