#include "device/portmanagement.h"

#include "acquisition/sessionthread.h"
#include "common/branding.h"
#include "common/cardrules.h"
#include "common/focusloss.h"
#include "device/cardline.h"
#include "device/commerror.h"
#include "settings/registrymanagement.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

namespace tervalo {

PortManagement::PortManagement(WindowState &state, SessionThread &session,
                               const PortManagementControls &controls, QObject *parent)
    : QObject(parent), m_state(state), m_session(session), m_controls(controls)
{
}

bool PortManagement::preparePort(int portNumber)
{
    return m_session.call([portNumber](AcquisitionSession &s) { return s.preparePort(portNumber); });
}

int PortManagement::getHighestComPort()
{
    // The serial layer knows which ports the system has; asking it replaces opening a probe port,
    // which could fail and would then leave the program without any port at all.
    return m_session.call([](AcquisitionSession &s) { return s.line().highestPortNumber(); });
}

void PortManagement::probePorts(int savedPortIndex)
{
    fillPortList(QString(), savedPortIndex);
}

void PortManagement::showPorts(const QList<ProbedPort> &ports)
{
    QComboBox *list = m_controls.cmbPort;
    list->clear();
    for (const ProbedPort &port : ports) {
        list->addItem(QString::number(port.number));
        list->setItemData(list->count() - 1, port.device, Qt::ToolTipRole);
    }
}

void PortManagement::fillPortList(const QString &selectDevice, int fallbackIndex)
{
    QComboBox *list = m_controls.cmbPort;
    // The list's entries name devices, not places in the system's list of the moment: an adapter
    // plugged in later must not slip in under the number of the user's card.
    showPorts(m_session.call([](AcquisitionSession &s) { return s.probePorts(); }));
    // When no port opens now (the adapter is not plugged in yet), the next request looks again,
    // so a card connected after start-up is found without restarting the program.
    if (list->count() == 0) {
        list->setCurrentIndex(-1);
        tellSelectedPort();
        m_session.post([](AcquisitionSession &s) { s.setSuspendFlag(true); });
        return;
    }
    int index = selectDevice.isEmpty() ? -1 : list->findData(selectDevice, Qt::ToolTipRole);
    // A remembered position beyond today's list (an adapter was unplugged since) falls back to
    // the first port rather than to no port at all.
    if (index < 0)
        index = listPositionOrFirst(fallbackIndex, list->count());
    list->setCurrentIndex(index);
    if (!preparePort(selectedPortNumber()))
        m_session.post([](AcquisitionSession &s) { s.setSuspendFlag(true); });
}

void PortManagement::portsFound(const QList<ProbedPort> &ports, int selected)
{
    showPorts(ports);
    m_controls.cmbPort->setCurrentIndex(selected);
}

void PortManagement::rescanPorts()
{
    QComboBox *list = m_controls.cmbPort;
    const int current = list->currentIndex();
    const QString device = current >= 0 ? list->itemData(current, Qt::ToolTipRole).toString() : QString();
    releasePort();
    m_session.post([](AcquisitionSession &s) { s.setSuspendFlag(false); });
    fillPortList(device, current);
    if (list->currentIndex() >= 0)
        storePortChoice();
}

void PortManagement::storePortChoice()
{
    const QComboBox *list = m_controls.cmbPort;
    RegistryManagement::saveNumberSetting("Port No", qint16(list->currentIndex()));
    // Beside the list position, which names another device once the list changes: the device
    // itself, so that tervalo-log opens the user's card or none.
    const QString device = list->itemData(list->currentIndex(), Qt::ToolTipRole).toString();
    if (!device.isEmpty())
        RegistryManagement::saveTextSetting("Port Device", device.toStdString());
}

int PortManagement::selectedPortNumber() const
{
    const QComboBox *list = m_controls.cmbPort;
    const int index = list->currentIndex();
    bool ok = false;
    const int number = index >= 0 ? list->itemText(index).trimmed().toInt(&ok) : 0;
    if (!ok || number < -32768 || number > 32767)
        throw CommError(commPortEntryNotNumeric, QStringLiteral("The port entry is not a number"));
    return number;
}

void PortManagement::tellSelectedPort()
{
    int number = 0;
    if (m_controls.cmbPort->count() > 0) {
        try {
            number = selectedPortNumber();
        } catch (const CommError &) {
            number = AcquisitionSession::noPortNumber;
        }
    }
    m_session.post([number](AcquisitionSession &s) { s.setPortNumber(number); });
}

void PortManagement::selectFirstEntry()
{
    QComboBox *list = m_controls.cmbPort;
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
    // Selecting the entry already selected leaves typed text on show; the list shows the entry.
    if (list->isEditable())
        list->setEditText(list->count() > 0 ? list->itemText(0) : QString());
    tellSelectedPort();
}

void PortManagement::releasePort()
{
    m_session.post([](AcquisitionSession &s) { s.releasePort(); });
}

void PortManagement::cmbPort_LostFocus()
{
    releasePort();
    // The list can be typed into. A text that is one of the entries picks that entry; any other
    // text names no port we found, and is refused like an entry that is not a number, rather than
    // left on show while another port is in use.
    QComboBox *list = m_controls.cmbPort;
    if (list->currentIndex() < 0 || list->currentText() != list->itemText(list->currentIndex())) {
        const int typed = list->findText(list->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (typed < 0) {
            m_controls.lblStringDisplay->setText(QStringLiteral("Invalid Comm Port"));
            selectFirstEntry();
            return;
        }
        list->setCurrentIndex(typed);
    }
    int number = 0;
    try {
        number = selectedPortNumber();
    } catch (const CommError &) {
        m_controls.lblStringDisplay->setText(QStringLiteral("Invalid Comm Port"));
        selectFirstEntry();
        return;
    }
    if (preparePort(number)) {
        storePortChoice();
        m_controls.lblStringDisplay->setText(defaultStatusText());
    } else {
        m_controls.lblStringDisplay->setText(QStringLiteral("Comm Port Not Available"));
        selectFirstEntry();
    }
}

void PortManagement::txtAddress_LostFocus()
{
    // Exactly one character: a pasted "5" with a line end after it is not an address.
    QLineEdit *box = m_controls.txtAddress;
    const QString text = box->text();
    if (isCardAddress(text)) {
        RegistryManagement::saveNumberSetting("Address", qint16(box->text().toInt()));
        m_controls.lblStringDisplay->setText(defaultStatusText());
        return;
    }
    m_controls.lblStringDisplay->setText(
        QStringLiteral("Invalid Address - Must be an integer between 0 and 7"));
    box->setText(QStringLiteral("0"));
    FocusLossFilter::returnFocus(box);
}

void PortManagement::sysInfo_PowerSuspend()
{
    // The session gives the port up and ends a run; the window hears of it through its signals.
    m_session.post([](AcquisitionSession &s) { s.sysInfo_PowerSuspend(); });
}

} // namespace tervalo
