#pragma once

// What a logged run left in its file, checked record by record.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <algorithm>

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Checks every record of a log: whole, with its line end, and either the error record or six
// items of four characters, "open" or "disabled", as the decoding turns one field into. Returns
// the records' items, an empty list for an error record.
inline QList<QStringList> checkedRecords(const QByteArray &log, const QString &unit = QStringLiteral("r"))
{
    static const QRegularExpression reading(QStringLiteral("^[ 0-9.+-]{4}$"));
    QList<QStringList> records;
    const QList<QByteArray> lines = log.split('\n');
    if (lines.last() != QByteArray()) {
        QTest::qFail("the log ends inside a record", __FILE__, __LINE__);
        return {};
    }
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QString line = QString::fromLatin1(lines[i]);
        const QStringList fields = line.split(QLatin1Char(','));
        const bool framed = line.endsWith(QStringLiteral(",\r")) && fields.size() == 10 &&
                            fields[2] == unit;
        const QStringList items = fields.mid(3, 6);
        const bool allErr = framed && items == QStringList(6, QStringLiteral("err"));
        bool readings = framed;
        for (const QString &item : items) {
            readings = readings && (item == QLatin1String("disabled") ||
                                    item == QLatin1String("open") || reading.match(item).hasMatch());
        }
        if (!allErr && !readings) {
            QTest::qFail(qPrintable(QStringLiteral("damaged record: ") + line), __FILE__, __LINE__);
            return {};
        }
        records << (allErr ? QStringList() : items);
    }
    return records;
}

// Whether the items are the six raw counts of one answer, each read at its own place: the card
// right-aligns a count with blanks, so a field taken a character off, or pieced together from two
// answers, shows a leading zero, a blank inside, a sign or "open" (no channel of the simulator is
// open here).
inline bool alignedCounts(const QStringList &items)
{
    static const QRegularExpression count(QStringLiteral("^ *([1-9][0-9]*|0)$"));
    return items.size() == 6 && std::all_of(items.begin(), items.end(), [](const QString &item) {
               return item.size() == 4 && count.match(item).hasMatch();
           });
}
