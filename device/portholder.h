#pragma once

#include <QString>

#include <optional>

namespace tervalo {

// Who holds a serial port, as far as the lock file that Qt's serial port (ours, and any other
// program built on it or on the old UUCP convention) leaves beside an open port says. Nothing
// is opened: asking must not toggle the modem lines of somebody else's instrument.
struct PortHolder
{
    qint64 pid = 0;
    QString name; // the process's command name; empty when it cannot be read
};

// The living process that holds device's lock, if any. A lock left behind by a process that has
// ended does not count; neither does one of our own process.
std::optional<PortHolder> portHolder(const QString &device);

// "held by process 1234 (tervalo-log)"
QString holderText(const PortHolder &holder);

} // namespace tervalo
