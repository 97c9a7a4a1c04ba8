// Markers: short notes a user pins to moments of a log ("door opened", "shelf 2 loaded"). They
// live in a file of their own beside the log, so the log stays exactly as the program wrote it
// and any tool that reads logs never meets them.
//
// The file is UTF-8 text, one marker a line:
//
//   # Tervalo markers
//   2026-12-08T07:15:03.120+01:00,door opened, 2 min
//
// the moment in ISO 8601 with milliseconds and its UTC offset, a comma, then the note to the end
// of the line. The note is kept as it is but for a backslash (written "\\"), a line feed ("\n")
// and a carriage return ("\r"), so a marker always stays on one line. Lines starting with '#' are
// comments and blank lines are passed over. The file may have been edited by hand on any system:
// CRLF line ends and a leading byte order mark are accepted, and nothing depends on the locale.

#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace tervalo {

struct Marker
{
    double time = 0; // seconds since the epoch, to the millisecond
    QString text;

    bool operator==(const Marker &) const = default;
};

// The markers file of a log: the log's own path with ".markers" added ("run.csv" gives
// "run.csv.markers" in the same folder). "" for "".
QString markerFileName(const QString &logFile);

// The markers of a file, in the order the file has them. A file that does not exist holds no
// markers; that is not a problem. Lines that cannot be read are left out and counted in
// `problem` ("2 lines of run.csv.markers could not be read"), the rest are still returned.
// Nothing when the file exists but cannot be opened, with the reason in `problem`. `problem`
// is "" when there was nothing to tell.
std::optional<QList<Marker>> readMarkers(const QString &fileName, QString *problem = nullptr);

// Replaces the file with these markers, sorted by time (markers at the same moment keep their
// order). The file is replaced whole or not at all. No markers remove the file. A marker whose
// time is not a number writes nothing. On failure returns false with the reason in `problem`.
bool writeMarkers(const QString &fileName, const QList<Marker> &markers,
                  QString *problem = nullptr);

} // namespace tervalo
