#pragma once

#include "common/windowstate.h"

#include <QDateTime>
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

class CardExchange;
class MSComm;

// The main window's controls that the device link works on. The window creates them; the link
// only uses them.
struct DeviceLinkControls
{
    MSComm *MSComm1 = nullptr;
    CardExchange *exchange = nullptr; // the exchange with the card over MSComm1 and tmrTimeout
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
    // Looks for ports again while idle. The device in use keeps its entry selected when it is
    // still there, wherever the entry now stands, and the remembered position follows it.
    void rescanPorts();

    void cmbPort_LostFocus();
    void txtAddress_LostFocus();
    void sysInfo_PowerSuspend();
    void MSComm1_DeviceLost();
    // With Keep Running on, a lost device or a failed send leaves the run going: the port is
    // given up and every following request tries to open the same device again.
    void keepRunningAfterFailure();

    // The port number of the entry at the list's current selection; throws CommError when there
    // is none or it is not a number.
    int selectedPortNumber() const;

private:
    void selectFirstEntry();
    void releasePort();
    void fillPortList(const QString &selectDevice, int fallbackIndex);

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
    int outstandingRequests();
    // The line was lost or given up: nothing sent before can be answered any more, and the
    // readings on show are from before.
    void endExchange();

    // True while the reading labels show values from an answer older than the last request.
    bool readingsStale() const { return m_stale; }

private:
    void markReadings(bool stale, const QDateTime &answeredAt = {});

    WindowState &m_state;
    PortManagement &m_ports;
    DeviceLinkControls m_controls;
    DeviceLinkHooks m_hooks;
    bool m_stale = false;
};

} // namespace tervalo
