// Names the user gives the six inputs ("top shelf", "door"), kept in the settings store as
// "Channel 1 Name" … "Channel 6 Name" beside the program's other choices. An input without a
// name is called by its number, "Ch1" … "Ch6", as everywhere else in the program.

#pragma once

#include <QString>
#include <QStringList>

namespace tervalo {

// The longest name kept, in characters; a longer one is cut.
inline constexpr int channelNameLength = 40;

// "Ch1" … "Ch6" for channel 0 … 5.
QString defaultChannelName(int channel);

// A name as it is kept: control characters (tabs, line feeds) removed, spaces trimmed, cut to
// channelNameLength characters.
QString cleanChannelName(const QString &name);

// The six names from the settings store, cleaned; the default name for a channel whose stored
// name is missing or empty.
QStringList channelNames();

// Stores names[0] … names[5], cleaned. A name that is empty or the channel's default (or missing
// from a shorter list) is stored as "", so the channel goes back to its default name.
void saveChannelNames(const QStringList &names);

// How a channel (0 … 5) is labelled: "Ch3" without a name, "Ch3 top shelf" with one, so a named
// channel still says which input it is.
QString channelLabel(int channel, const QStringList &names);

} // namespace tervalo
