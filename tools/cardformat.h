#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <bitset>
#include <optional>

// What the thermocouple card puts on the wire: the readings, the 32-character answer, and the
// ways a misbehaving card spoils it. Plain functions, so the tests can reach every byte.
namespace tervalo::sim {

constexpr int channelCount = 6;
constexpr int answerLength = 32;
constexpr int readingWidth = 4;
constexpr int fieldWidth = 1 + readingWidth;
constexpr int leadingLength = answerLength - channelCount * fieldWidth;

enum class Unit { Raw, Celsius, Fahrenheit };

// The unit letter of a request ("r", "c", "f"); anything else is no unit.
std::optional<Unit> unitFromLetter(char letter);

// Temperatures in °C, index 0..5 = channels 1..6.
using ChannelTemperatures = std::array<double, channelCount>;
// Bit i set = channel i + 1.
using ChannelSet = std::bitset<channelCount>;

// The converter behind the raw counts: 12 bits, linear over the span of a type K thermocouple
// as the card's front end sees it.
constexpr double rawLowCelsius = -200.0;
constexpr double rawHighCelsius = 1300.0;
constexpr int rawFullScale = 4095;

int rawCounts(double celsius);

// The 4-character reading of a temperature in the requested unit, as the card's firmware prints
// it: one decimal while it fits, whole degrees otherwise, raw counts as plain integers.
QByteArray formatReading(double celsius, Unit unit);

// A complete, well-formed answer: "T", the address digit, then the six channel fields.
QByteArray buildAnswer(int address, Unit unit, const ChannelTemperatures &celsius, ChannelSet open);

enum class Fault { None, NoAnswer, Short, Garbage, Stray, Extra, Unplug };

std::optional<Fault> faultFromName(const QString &name);
QString faultName(Fault fault);
QStringList faultNames();

constexpr int shortAnswerLength = 20;
constexpr char strayCharacter = '\xff';
inline constexpr char extraTail[] = "\r\nXTRA\r\n";

// The bytes a card with the given fault sends instead of a good answer. Empty when it sends
// nothing at all (no answer, or it is about to be unplugged).
QByteArray applyFault(const QByteArray &answer, Fault fault);

} // namespace tervalo::sim
