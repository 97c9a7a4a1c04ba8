#pragma once

#include "common/windowstate.h"
#include "device/outstandingrequests.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTimer;

namespace tervalo {

class MSComm;

// The main window's controls that the device link works on. The window creates them; the link
// only uses them.
struct DeviceLinkControls
{
    MSComm *MSComm1 = nullptr;
    QComboBox *cmbPort = nullptr;
    QLineEdit *txtAddress = nullptr;
    std::array<QCheckBox *, 6> chkCh{};
    std::array<QLabel *, 6> lblCh{};
    QLabel *lblStringDisplay = nullptr;
    QTimer *tmrTimeout = nullptr;
};

// What the device link calls in the other subsystems of the window. Unset hooks do nothing.
struct DeviceLinkHooks
{
    std::function<void()> cmdContinuous_Click; // stops continuous acquisition when it runs
    std::function<bool()> graphVisible;
    std::function<void()> updateGraph;
    std::function<void(const QString &)> saveData;
    // Every reading's record and the time it was taken, logged or not.
    std::function<void(const QDateTime &, const QString &)> recordTaken;
};

// Serial port management: which ports exist, opening one with the card's line settings, the
// port list and the address box, and giving the port up when the system suspends or the device
// vanishes.
class PortManagement : public QObject
{
    Q_OBJECT
public:
    PortManagement(WindowState &state, const DeviceLinkControls &controls,
                   const DeviceLinkHooks &hooks, QObject *parent = nullptr);

    void setHooks(const DeviceLinkHooks &hooks) { m_hooks = hooks; }

    bool preparePort(int portNumber);
    int getHighestComPort();
    // The start-up probe: fills the port list with the ports that open, selects the remembered
    // list position and opens that port.
    void probePorts(int savedPortIndex);

    // Opens the port of the selected entry again, or looks for ports again when none was found.
    bool reopenPort();

    void cmbPort_LostFocus();
    void txtAddress_LostFocus();
    void sysInfo_PowerSuspend();
    void MSComm1_DeviceLost();

    // The port number of the entry at the list's current selection; throws CommError when there
    // is none or it is not a number.
    int selectedPortNumber() const;

private:
    void selectFirstEntry();
    void releasePort();

    WindowState &m_state;
    DeviceLinkControls m_controls;
    DeviceLinkHooks m_hooks;
};

// The reading protocol: one request, the answer's completion, its decoding into six readings and
// the time-out.
class ReadingProtocol : public QObject
{
    Q_OBJECT
public:
    ReadingProtocol(WindowState &state, PortManagement &ports, const DeviceLinkControls &controls,
                    const DeviceLinkHooks &hooks, QObject *parent = nullptr);

    void setHooks(const DeviceLinkHooks &hooks) { m_hooks = hooks; }

    void requestData();
    void MSComm1_OnComm();
    void getTemps();
    void tmrTimeout_Timer();

    QString receivedData;
    std::array<QString, 6> channelText;
    std::array<qint16, 6> channelValue{};

    // Requests sent and not yet answered, timed out or failed.
    int outstandingRequests() { return m_outstanding.count(m_clock.elapsed()); }
    // The line was lost or given up: nothing sent before can be answered any more.
    void endExchange();

private:
    // Tells the serial control how many characters of the awaited answer are still missing.
    void awaitRestOfAnswer();

    WindowState &m_state;
    PortManagement &m_ports;
    DeviceLinkControls m_controls;
    DeviceLinkHooks m_hooks;
    QElapsedTimer m_clock;
    OutstandingRequests m_outstanding;
};

} // namespace tervalo
