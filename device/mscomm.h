#pragma once

#include "device/cardline.h"

#include <QMap>
#include <QSerialPort>
#include <QString>

namespace tervalo {

// The serial communications control of the main window. It keeps the small set of members the
// device link relies on, with the behaviour the program was written against: settings given as
// "baud,parity,data,stop", ports addressed by number, text in and out with one character per
// byte, a receive buffer of its own that is read whole, and one receive notification for every
// character that arrives. Failures throw CommError with a number from commerror.h.
class MSComm : public CardLine
{
    Q_OBJECT
public:
    static constexpr int InBufferSize = 1024;
    static constexpr int OutBufferSize = 512;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    QString Settings() const { return m_settings; }
    void setSettings(const QString &settings) override;

    int InputLen() const { return m_inputLen; }
    void setInputLen(int length) override;

    int RThreshold() const { return m_rThreshold; }
    void setRThreshold(int threshold) override { m_rThreshold = threshold; }

    int CommPort() const { return m_commPort; }
    void setCommPort(int portNumber) override;

    bool PortOpen() const override { return m_port.isOpen(); }
    void setPortOpen(bool open) override;

    void setOutput(const QString &text) override;
    QString Input() override;

    int InBufferCount() const override { return int(m_input.size()); }
    void setInBufferCount(int count) override;

    int CommEvent() const override { return m_commEvent; }

    // How many characters the reader still waits for before it can act: the rest of an answer.
    // Where the system allows it, the line then wakes us once those are all there instead of at
    // every character; OnComm is still raised once for each character received. 0 (the state
    // after opening) waits for nothing: every character is delivered as it arrives, so stray
    // characters and a hang-up are seen at once. At most 255 is honoured, the system's limit.
    int CharactersAwaited() const { return m_awaited; }
    void setCharactersAwaited(int count) override;

    // How often the line has woken us to read since the control was made; for measuring.
    qint64 wakeUps() const { return m_wakeUps; }

    // Takes the system's ports as they are now and keeps their numbers: from here on a port
    // number opens the device it had at this moment, or fails when that device is gone, even
    // after another adapter plugged in has shifted the system's own list. Returns the highest
    // number. Until this is called, numbers follow the system's list of the moment.
    int fixPortNumbering() override;
    int highestPortNumber() const override;
    void fixPortDevice(int number, const QString &device) override;

    // The device the open port was opened on (a path or "COMn"); empty while closed.
    QString device() const override { return m_port.isOpen() ? m_port.portName() : QString(); }

private:
    struct LineSettings
    {
        qint32 baud;
        QSerialPort::Parity parity;
        QSerialPort::DataBits dataBits;
        QSerialPort::StopBits stopBits;
    };
    static bool parseSettings(const QString &text, LineSettings *out);
    void applySettings(const LineSettings &settings);
    void receive();
    void portError(QSerialPort::SerialPortError error);
    void applyAwaited();
    bool lineGone() const;

    QSerialPort m_port;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line{9600, QSerialPort::NoParity, QSerialPort::Data8, QSerialPort::OneStop};
    int m_inputLen = 0;
    int m_rThreshold = 0;
    int m_commPort = 1;
    int m_commEvent = 0;
    QByteArray m_input;
    QMap<int, QString> m_portDevices; // empty until the numbering is fixed
    bool m_numberingFixed = false;
    bool m_receiving = false;
    bool m_configuring = false; // our own calls report their failures themselves
    int m_awaited = 0;
    int m_appliedAwaited = -1; // what the line is set to; -1: not known (just opened, reconfigured)
    qint64 m_wakeUps = 0;
    unsigned char m_idleMin = 0; // the serial layer's own wake-up setting, restored when idle
    unsigned char m_idleTime = 0;
};

} // namespace tervalo
