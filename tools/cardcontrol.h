#pragma once

#include "tools/cardformat.h"

#include <QString>

#include <optional>

// The simulator's knobs, and the text through which the command line and the standard input
// turn them.
namespace tervalo::sim {

constexpr int maxAddress = 7;
constexpr int maxDelayMs = 60000;
constexpr int maxReplugMs = 600000;
constexpr int maxFaultEvery = 1000000;

struct CardBehaviour
{
    int address = 0;
    ChannelSet open;
    int delayMs = 20;
    bool paced = true;
    Fault fault = Fault::None;
    int faultEvery = 1;
    int replugMs = 1000;
    bool queueRequests = false; // answer requests that arrive mid-answer afterwards
};

// "1,3,6" (blanks allowed around the numbers); an empty or blank text means no channel.
std::optional<ChannelSet> parseChannelList(const QString &text);

// A whole decimal number within [low, high].
std::optional<int> parseNumber(const QString &text, int low, int high);

struct Command
{
    enum class Kind { Fault, FaultEvery, Open, Delay, Unplug, Quit, Send };

    Kind kind = Kind::Quit;
    Fault fault = Fault::None;
    ChannelSet channels;
    int number = 0;
    QString text;
};

// One line from the standard input. On failure *error says why.
std::optional<Command> parseCommand(const QString &line, QString *error);

} // namespace tervalo::sim
