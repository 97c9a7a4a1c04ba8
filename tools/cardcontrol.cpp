#include "tools/cardcontrol.h"

#include <QStringList>

namespace tervalo::sim {

std::optional<ChannelSet> parseChannelList(const QString &text)
{
    ChannelSet channels;
    if (text.trimmed().isEmpty())
        return channels;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &item : items) {
        const std::optional<int> channel = parseNumber(item, 1, channelCount);
        if (!channel)
            return std::nullopt;
        channels.set(std::size_t(*channel - 1));
    }
    return channels;
}

std::optional<QList<int>> parseAddressList(const QString &text, QString *error)
{
    QList<int> addresses;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const std::optional<int> address = parseNumber(item, 0, maxAddress);
        QString why;
        if (!address && item.trimmed().isEmpty())
            why = QStringLiteral("an address is missing");
        else if (!address)
            why = QStringLiteral("\"%1\" is no address").arg(item.trimmed());
        else if (addresses.contains(*address))
            // Two cards with one address would both answer and garble each other.
            why = QStringLiteral("address %1 is given twice").arg(*address);
        if (!why.isEmpty()) {
            if (error)
                *error = why;
            return std::nullopt;
        }
        addresses.append(*address);
    }
    return addresses;
}

std::optional<int> parseNumber(const QString &text, int low, int high)
{
    const QString trimmed = text.trimmed();
    // toInt() would also take a sign; a count or a delay is written without one.
    if (trimmed.isEmpty() || !trimmed.at(0).isDigit())
        return std::nullopt;
    bool ok = false;
    const int value = trimmed.toInt(&ok, 10);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<Command> parseCommand(const QString &line, QString *error)
{
    const QString trimmed = line.trimmed();
    const qsizetype gap = trimmed.indexOf(QLatin1Char(' '));
    const QString word = gap < 0 ? trimmed : trimmed.left(gap);
    const QString argument = gap < 0 ? QString() : trimmed.mid(gap + 1).trimmed();

    auto fail = [error](const QString &why) -> std::optional<Command> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    auto noArgument = [&](Command::Kind kind) -> std::optional<Command> {
        if (!argument.isEmpty())
            return fail(QStringLiteral("%1 takes no argument").arg(word));
        Command command;
        command.kind = kind;
        return command;
    };

    Command command;
    if (word == QLatin1String("card")) {
        const qsizetype split = argument.indexOf(QLatin1Char(' '));
        const std::optional<int> address =
            split < 0 ? std::nullopt : parseNumber(argument.left(split), 0, maxAddress);
        if (!address)
            return fail(
                QStringLiteral("card needs an address 0 to %1 and a command").arg(maxAddress));
        const QString rest = argument.mid(split + 1).trimmed();
        std::optional<Command> inner = parseCommand(rest, error);
        if (!inner)
            return inner;
        // The line, and what is sent on it, belong to all the cards together.
        const bool ofOneCard =
            !inner->card &&
            (inner->kind == Command::Kind::Fault || inner->kind == Command::Kind::FaultEvery ||
             inner->kind == Command::Kind::Open || inner->kind == Command::Kind::Delay);
        if (!ofOneCard)
            return fail(QStringLiteral("only fault, fault-every, open and delay are for one "
                                       "card, not \"%1\"")
                            .arg(rest.section(QLatin1Char(' '), 0, 0)));
        inner->card = *address;
        return inner;
    }
    if (word == QLatin1String("fault")) {
        const std::optional<Fault> fault = faultFromName(argument);
        if (!fault)
            return fail(QStringLiteral("unknown fault \"%1\" (known: %2)")
                            .arg(argument, faultNames().join(QStringLiteral(", "))));
        command.kind = Command::Kind::Fault;
        command.fault = *fault;
        return command;
    }
    if (word == QLatin1String("fault-every")) {
        const std::optional<int> every = parseNumber(argument, 1, maxFaultEvery);
        if (!every)
            return fail(
                QStringLiteral("fault-every needs a count from 1 to %1").arg(maxFaultEvery));
        command.kind = Command::Kind::FaultEvery;
        command.number = *every;
        return command;
    }
    if (word == QLatin1String("open")) {
        const std::optional<ChannelSet> channels = parseChannelList(argument);
        if (!channels)
            return fail(
                QStringLiteral("open needs channels 1 to %1, comma separated").arg(channelCount));
        command.kind = Command::Kind::Open;
        command.channels = *channels;
        return command;
    }
    if (word == QLatin1String("delay")) {
        const std::optional<int> delay = parseNumber(argument, 0, maxDelayMs);
        if (!delay)
            return fail(QStringLiteral("delay needs milliseconds from 0 to %1").arg(maxDelayMs));
        command.kind = Command::Kind::Delay;
        command.number = *delay;
        return command;
    }
    if (word == QLatin1String("send")) {
        // The text is everything after "send " to the end of the line, blanks included.
        if (gap < 0 || gap + 1 >= line.trimmed().size())
            return fail(QStringLiteral("send needs the text to write"));
        command.kind = Command::Kind::Send;
        command.text = line.mid(line.indexOf(QLatin1String("send ")) + 5);
        if (command.text.endsWith(QLatin1Char('\n')))
            command.text.chop(1);
        return command;
    }
    if (word == QLatin1String("unplug"))
        return noArgument(Command::Kind::Unplug);
    if (word == QLatin1String("quit"))
        return noArgument(Command::Kind::Quit);
    return fail(QStringLiteral("unknown command \"%1\"").arg(word));
}

} // namespace tervalo::sim
