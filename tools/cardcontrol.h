#pragma once

#include "tools/cardformat.h"

#include <QList>
#include <QString>

#include <optional>

// The simulator's knobs, and the text through which the command line and the standard input
// turn them.
namespace tervalo::sim {

constexpr int maxAddress = 7;
constexpr int maxDelayMs = 60000;
constexpr int maxReplugMs = 600000;
constexpr int maxFaultEvery = 1000000;

// What one card does with the requests for its address; every card on the line has its own.
struct CardBehaviour
{
    ChannelSet open;
    int delayMs = 20;
    Fault fault = Fault::None;
    int faultEvery = 1;
};

// What the cards share: one line, so one pace, one plug and one answer at a time.
struct LineBehaviour
{
    bool paced = true;
    int replugMs = 1000;
    bool queueRequests = false; // answer requests that arrive mid-answer afterwards
};

// "1,3,6" (blanks allowed around the numbers); an empty or blank text means no channel.
std::optional<ChannelSet> parseChannelList(const QString &text);

// The addresses of the cards on the line: "0,3,5", blanks allowed around the numbers, each 0 to
// maxAddress and none twice, in the order given. On failure *error says why.
std::optional<QList<int>> parseAddressList(const QString &text, QString *error);

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
    // The one card a fault, fault-every, open or delay is for ("card N ..."); none: every card.
    std::optional<int> card;

    bool operator==(const Command &) const = default;
};

// One line from the standard input. On failure *error says why.
std::optional<Command> parseCommand(const QString &line, QString *error);

} // namespace tervalo::sim
