#pragma once

#include <QObject>
#include <QString>

namespace tervalo {

// The serial line to the card as the exchange uses it: the members of the serial control it
// relies on, under the control's own names. MSComm is the real one; tests put a scripted line in
// its place, so every rule of the exchange runs in milliseconds without a pseudo-terminal.
// Failures throw CommError with a number from commerror.h.
class CardLine : public QObject
{
    Q_OBJECT
public:
    // Notification codes read through CommEvent() inside OnComm.
    enum Event { comEvReceive = 2, comEventDeviceLost = 1010 };

    using QObject::QObject;

    virtual void setSettings(const QString &settings) = 0;
    virtual void setInputLen(int length) = 0;
    virtual void setRThreshold(int threshold) = 0;
    virtual void setCommPort(int portNumber) = 0;
    virtual bool PortOpen() const = 0;
    virtual void setPortOpen(bool open) = 0;

    virtual void setOutput(const QString &text) = 0;
    virtual QString Input() = 0;
    virtual int InBufferCount() const = 0;
    virtual void setInBufferCount(int count) = 0;
    virtual int CommEvent() const = 0;

    // How many characters the reader still waits for before it can act (see MSComm).
    virtual void setCharactersAwaited(int count) = 0;

    // Keeps today's numbering of the ports and returns the highest number (see MSComm).
    virtual int fixPortNumbering() = 0;
    virtual int highestPortNumber() const = 0;
    // From here on port `number` is `device` and no other number opens anything. The device is
    // opened by the name given at every open, so a link (/dev/serial/by-id/...) is followed
    // anew each time and still finds its adapter after the system has renamed it.
    virtual void fixPortDevice(int number, const QString &device) = 0;
    // The device the open port was opened on; empty while closed.
    virtual QString device() const = 0;

signals:
    void OnComm();
    // The line is gone under an open port (hung up, the device node removed). The port is
    // already closed when this is emitted.
    void deviceLost();
};

} // namespace tervalo
