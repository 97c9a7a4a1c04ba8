#pragma once

#include <QList>
#include <QString>

namespace tervalo {

// The program speaks of serial ports by number, as the card's users always have: port 1, port 2.
// On Windows port n is COMn. Elsewhere the numbers are handed out here, in an order that stays
// the same from run to run: first the card simulators announced in the per-user runtime folder,
// sorted by link name, then the system's serial devices, sorted by device path.
struct SerialPortEntry
{
    int number = 0;
    QString device;      // what QSerialPort opens: a device path, a link path or "COMn"
    QString description; // shown to the user as the port list entry's tool tip
};

QList<SerialPortEntry> enumerateSerialPorts();

// The device behind a port number; empty when no device has that number now.
QString serialPortDevice(int number);

// The highest port number worth probing at start-up.
int highestSerialPortNumber();

// Tests number only the simulators they start, whatever serial devices the machine has.
void setSystemSerialPortsListed(bool listed);

} // namespace tervalo
