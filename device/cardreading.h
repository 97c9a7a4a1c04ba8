#pragma once

#include "common/logrecord.h"
#include "device/protocol.h"

#include <QDateTime>
#include <QLocale>
#include <QMetaType>
#include <QString>

#include <array>

namespace tervalo {

// One reading of the card, whole: the one thing an answer produces. The session emits it once;
// the reading labels, the graph, the log's status, the history and the logger's standard output
// each take what they need from it, and none of them reads a reading back from another's members.
struct CardReading
{
    QDateTime when;  // when the answer was taken, local time to the millisecond
    QString address; // the card's address as it was sent
    QString unit;    // the unit letter the request carried: "r", "c" or "f"
    std::array<ChannelReading, channelCount> channels;
    // The first checked channel that held no number, or -1. The channels after it are not
    // decoded: one bad field makes the whole answer an error.
    int failedChannel = -1;
    QString record; // the log's record, without its line end

    // What became of the record on its way to the log: whether logging was on, and the system's
    // error number when the record could not be written (0 when it was).
    bool logged = false;
    int logError = 0;

    bool ok() const { return failedChannel < 0; }
    // What a reading label shows for channel i: the reading, "Open", "Disabled", or "Err" for
    // every channel of an answer that failed.
    QString label(int i) const;
    // The values to plot: the decoded ones, or all 0 when the answer failed.
    std::array<qint16, channelCount> values() const;
    // Channel i as a number with its fraction; NaN when it has no reading (open, disabled,
    // or an answer that failed).
    double number(int i) const;
};

CardReading decodeAnswer(const QString &answer, const std::array<bool, channelCount> &checked,
                         const QDateTime &when, const QString &unit,
                         const QLocale &locale = QLocale::system(),
                         RecordTimeStyle style = RecordTimeStyle::Locale);

} // namespace tervalo

Q_DECLARE_METATYPE(tervalo::CardReading)
