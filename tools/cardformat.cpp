#include "tools/cardformat.h"

#include <algorithm>
#include <cmath>

namespace tervalo::sim {

namespace {

struct FaultEntry
{
    Fault fault;
    const char *name;
};

constexpr std::array<FaultEntry, 7> faultTable{{
    {Fault::None, "none"},
    {Fault::NoAnswer, "no-answer"},
    {Fault::Short, "short"},
    {Fault::Garbage, "garbage"},
    {Fault::Stray, "stray"},
    {Fault::Extra, "extra"},
    {Fault::Unplug, "unplug"},
}};

// Nothing here may read as part of a number: no digit, blank, sign or decimal point.
constexpr char junk[] = "#?*!%&@~$^";

QByteArray wholeNumber(double value)
{
    // Beyond four characters the firmware saturates instead of overflowing the field.
    const long whole = std::lround(std::clamp(value, -999.0, 9999.0));
    if (whole < 0)
        return '-' + QByteArray::number(-whole).rightJustified(readingWidth - 1, '0');
    return QByteArray::number(whole).rightJustified(readingWidth, ' ');
}

} // namespace

std::optional<Unit> unitFromLetter(char letter)
{
    switch (letter) {
    case 'r':
        return Unit::Raw;
    case 'c':
        return Unit::Celsius;
    case 'f':
        return Unit::Fahrenheit;
    default:
        return std::nullopt;
    }
}

int rawCounts(double celsius)
{
    if (std::isnan(celsius))
        return rawFullScale;
    const double counts =
        (celsius - rawLowCelsius) * rawFullScale / (rawHighCelsius - rawLowCelsius);
    return int(std::lround(std::clamp(counts, 0.0, double(rawFullScale))));
}

QByteArray formatReading(double celsius, Unit unit)
{
    if (unit == Unit::Raw)
        return QByteArray::number(rawCounts(celsius)).rightJustified(readingWidth, ' ');

    double value = unit == Unit::Fahrenheit ? celsius * 9.0 / 5.0 + 32.0 : celsius;
    if (std::isnan(value))
        value = 9999.0;
    // Round first and decide afterwards: 99.96 rounds to 100.0, which no longer fits with a
    // decimal and must drop to whole degrees.
    double tenths = std::round(value * 10.0);
    if (tenths == 0.0)
        tenths = 0.0; // no "-0.0" for a reading just below zero
    if (tenths >= -99.0 && tenths <= 999.0)
        return QByteArray::number(tenths / 10.0, 'f', 1).rightJustified(readingWidth, ' ');
    return wholeNumber(value);
}

QByteArray buildAnswer(int address, Unit unit, const ChannelTemperatures &celsius, ChannelSet open)
{
    Q_ASSERT(address >= 0 && address <= 9);
    QByteArray answer;
    answer.reserve(answerLength);
    answer += 'T';
    answer += char('0' + address);
    for (int i = 0; i < channelCount; ++i) {
        const bool isOpen = open.test(std::size_t(i));
        answer += isOpen ? '1' : '0';
        // An open input drifts to the top of the converter's range (upscale burn-out), so that is
        // what the card prints; the status character tells the program to disregard it.
        answer += formatReading(isOpen ? rawHighCelsius : celsius[std::size_t(i)], unit);
    }
    Q_ASSERT(answer.size() == answerLength);
    return answer;
}

std::optional<Fault> faultFromName(const QString &name)
{
    for (const FaultEntry &entry : faultTable) {
        if (name == QLatin1String(entry.name))
            return entry.fault;
    }
    return std::nullopt;
}

QString faultName(Fault fault)
{
    for (const FaultEntry &entry : faultTable) {
        if (entry.fault == fault)
            return QLatin1String(entry.name);
    }
    return {};
}

QStringList faultNames()
{
    QStringList names;
    for (const FaultEntry &entry : faultTable)
        names << QLatin1String(entry.name);
    return names;
}

QByteArray applyFault(const QByteArray &answer, Fault fault)
{
    switch (fault) {
    case Fault::None:
        return answer;
    case Fault::NoAnswer:
    case Fault::Unplug:
        return {};
    case Fault::Short:
        return answer.left(shortAnswerLength);
    case Fault::Garbage: {
        QByteArray spoilt = answer;
        int next = 0;
        for (int i = 0; i < channelCount; ++i) {
            const int start = leadingLength + i * fieldWidth;
            if (start + fieldWidth > spoilt.size())
                break;
            spoilt[start] = '0';
            for (int k = 1; k < fieldWidth; ++k)
                spoilt[start + k] = junk[next++ % (sizeof junk - 1)];
        }
        return spoilt;
    }
    case Fault::Stray:
        return strayCharacter + answer;
    case Fault::Extra:
        return answer + QByteArray(extraTail);
    }
    return answer;
}

} // namespace tervalo::sim
