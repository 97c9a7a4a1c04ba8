#include "history/markers.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

namespace tervalo {

namespace {

// Years the ISO form writes with four digits; a moment outside them is no time of any log.
constexpr double earliest = -62135596800.0; // 0001-01-01T00:00:00Z
constexpr double latest = 253402300799.0;   // 9999-12-31T23:59:59Z

QString shownName(const QString &fileName)
{
    return QFileInfo(fileName).fileName();
}

// The moment in local time with the offset that applied then, so a person reading the file sees
// the clock time of the log. QDateTime's own formatting, not QLocale's, so the digits are the same
// whatever language the program runs in.
QString momentText(double time)
{
    if (!std::isfinite(time) || time < earliest || time > latest)
        return {};
    const qint64 ms = qRound64(time * 1000);
    QDateTime when = QDateTime::fromMSecsSinceEpoch(ms);
    int offset = when.offsetFromUtc();
    // Before standard time zones the local offset may have seconds, which ISO 8601 cannot show.
    if (offset % 60 != 0) {
        when = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        offset = 0;
    }
    const int minutes = std::abs(offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += c;
    }
    return out;
}

// A backslash before anything else is kept as typed: a hand-written "C:\temp" reads back as it
// was written rather than costing the marker.
QString unescaped(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QChar next = i + 1 < text.size() ? text[i + 1] : QChar();
        if (c != QLatin1Char('\\') || next.isNull()) {
            out += c;
        } else if (next == QLatin1Char('n')) {
            out += QLatin1Char('\n');
            ++i;
        } else if (next == QLatin1Char('r')) {
            out += QLatin1Char('\r');
            ++i;
        } else if (next == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<Marker> parseLine(QStringView line)
{
    // The moment has no comma of its own, so the first comma ends it and the note may hold any.
    const qsizetype comma = line.indexOf(QLatin1Char(','));
    if (comma < 0)
        return std::nullopt;
    const QDateTime when =
        QDateTime::fromString(line.left(comma).trimmed().toString(), Qt::ISODateWithMs);
    if (!when.isValid())
        return std::nullopt;
    return Marker{double(when.toMSecsSinceEpoch()) / 1000, unescaped(line.mid(comma + 1))};
}

// One marker as a line of the file, without its line end; "" when its time cannot be written.
QString markerLine(const Marker &marker)
{
    const QString moment = momentText(marker.time);
    return moment.isEmpty() ? moment : moment + QLatin1Char(',') + escaped(marker.text);
}

void tell(QString *problem, const QString &text)
{
    if (problem)
        *problem = text;
}

} // namespace

QString markerFileName(const QString &logFile)
{
    return logFile.isEmpty() ? QString() : logFile + QLatin1String(".markers");
}

std::optional<QList<Marker>> readMarkers(const QString &fileName, QString *problem)
{
    tell(problem, {});
    QFile file(fileName);
    if (!file.exists())
        return QList<Marker>();
    if (!file.open(QIODevice::ReadOnly)) {
        tell(problem, QStringLiteral("%1 could not be read: %2")
                          .arg(shownName(fileName), file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();

    QList<Marker> markers;
    int unreadable = 0;
    for (QByteArray raw : bytes.split('\n')) {
        if (raw.endsWith('\r'))
            raw.chop(1);
        // Each line decoded on its own: one line saved in another encoding costs that line only.
        // The decoder drops a byte order mark at the start, as a Windows editor may write one.
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString line = decoder(raw);
        const QStringView trimmed = QStringView(line).trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const std::optional<Marker> marker = decoder.hasError() ? std::nullopt : parseLine(line);
        if (marker)
            markers.append(*marker);
        else
            ++unreadable;
    }
    if (unreadable > 0)
        tell(problem, QStringLiteral("%1 %2 of %3 could not be read")
                          .arg(unreadable)
                          .arg(unreadable == 1 ? QStringLiteral("line") : QStringLiteral("lines"),
                               shownName(fileName)));
    return markers;
}

bool writeMarkers(const QString &fileName, const QList<Marker> &markers, QString *problem)
{
    tell(problem, {});
    const auto failed = [&](const QString &reason) {
        tell(problem, QStringLiteral("The markers could not be saved to %1: %2")
                          .arg(shownName(fileName), reason));
        return false;
    };

    if (markers.isEmpty()) {
        QFile file(fileName);
        if (file.exists() && !file.remove())
            return failed(file.errorString());
        return true;
    }

    QList<Marker> sorted = markers;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Marker &a, const Marker &b) { return a.time < b.time; });
    QByteArray text = "# Tervalo markers\n";
    for (const Marker &marker : std::as_const(sorted)) {
        const QString line = markerLine(marker);
        if (line.isEmpty())
            return failed(QStringLiteral("a marker has no valid time"));
        text += line.toUtf8() + '\n';
    }

    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString());
    if (file.write(text) != text.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(reason);
    }
    if (!file.commit())
        return failed(file.errorString());
    return true;
}

} // namespace tervalo
