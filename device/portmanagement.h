#pragma once

#include "common/windowstate.h"
#include "device/cardexchange.h"

#include <QList>
#include <QObject>

class QComboBox;
class QLabel;
class QLineEdit;

namespace tervalo {

class SessionThread;

// The main window's controls that port management works on. The window creates them; port
// management only uses them.
struct PortManagementControls
{
    QComboBox *cmbPort = nullptr;
    QLineEdit *txtAddress = nullptr;
    QLabel *lblStringDisplay = nullptr;
};

// Serial port management, the window's side: the port list and the address box, and the system's
// suspend notice. The line itself belongs to the acquisition session on its own thread; opening
// a port the user picked waits for it there, since what the list shows must be what is open.
class PortManagement : public QObject
{
    Q_OBJECT
public:
    PortManagement(WindowState &state, SessionThread &session,
                   const PortManagementControls &controls, QObject *parent = nullptr);

    bool preparePort(int portNumber);
    int getHighestComPort();
    // The start-up probe: fills the port list with the ports that open, selects the remembered
    // list position and opens that port.
    void probePorts(int savedPortIndex);
    // Looks for ports again while idle. The device in use keeps its entry selected when it is
    // still there, wherever the entry now stands, and the remembered position follows it.
    void rescanPorts();

    void cmbPort_LostFocus();
    void txtAddress_LostFocus();
    void sysInfo_PowerSuspend();
    // The session looked for ports by itself (there were none at the start) and found these.
    void portsFound(const QList<tervalo::ProbedPort> &ports, int selected);

    // The port number of the entry at the list's current selection; throws CommError when there
    // is none or it is not a number.
    int selectedPortNumber() const;

private:
    // Stores the selected entry: its list position and the device behind it.
    void storePortChoice();
    void selectFirstEntry();
    void releasePort();
    void showPorts(const QList<ProbedPort> &ports);
    void fillPortList(const QString &selectDevice, int fallbackIndex);
    // Tells the session which port a reopen is to open: the selected entry's.
    void tellSelectedPort();

    WindowState &m_state;
    SessionThread &m_session;
    PortManagementControls m_controls;
};

} // namespace tervalo
