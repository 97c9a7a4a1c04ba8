#pragma once

// The log's record (recordPrefix, errorRecord and the rest) has a module of its own; it comes
// with the card's exchange, which makes every record.
#include "common/channelcount.h"
#include "common/logrecord.h"

#include <QString>

#include <optional>

namespace tervalo {

// The card's request and answer, as plain text functions with no window and no port, so every
// rule of the exchange can be checked on its own.

inline constexpr int answerLength = 32; // two leading characters and six fields of five

// "t", the address exactly as the address box holds it, the unit letter, "a".
QString buildRequest(const QString &address, const QString &tempType);

// The five characters of channel index (0..5) in an answer: they start at character 5 * index + 3,
// counting from 1. Fewer, or none, when the answer is shorter.
QString channelField(const QString &answer, int index);

// A reading as the card prints it ("23.4", " 734", "-012") as a 16-bit whole number. The card's
// text does not follow the computer's regional settings, so "." is always the decimal point.
// Blanks around the number, a sign and a fraction are accepted; a fraction is rounded to the
// nearest whole number with halves going to the even neighbour. Nothing when the text is not a
// number or the value lies outside -32768..32767.
std::optional<qint16> readingValue(const QString &text);

enum class ChannelState { Reading, Open, Disabled, Error };

// What one channel of an answer becomes: the reading label's text, the record's item, the value
// to plot and the reading with its fraction. ok is false when a checked, non-open channel holds
// no number.
struct ChannelReading
{
    QString label;
    QString item;
    qint16 value = 0;
    bool ok = true;
    ChannelState state = ChannelState::Reading;
    double number = 0;
};
ChannelReading decodeChannel(const QString &field, bool checked);

} // namespace tervalo
