#include "device/devicelink.h"

#include "common/branding.h"
#include "common/focusloss.h"
#include "device/cardexchange.h"
#include "device/commerror.h"
#include "device/mscomm.h"
#include "device/protocol.h"
#include "settings/registrymanagement.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QTimer>

namespace tervalo {

namespace {

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Serial port management

PortManagement::PortManagement(WindowState &state, const DeviceLinkControls &controls,
                               const DeviceLinkHooks &hooks, QObject *parent)
    : QObject(parent), m_state(state), m_controls(controls), m_hooks(hooks)
{
}

bool PortManagement::preparePort(int portNumber)
{
    return m_controls.exchange->openPort(portNumber);
}

int PortManagement::getHighestComPort()
{
    // The serial layer knows which ports the system has; asking it replaces opening a probe port,
    // which could fail and would then leave the program without any port at all.
    return m_controls.MSComm1->highestPortNumber();
}

void PortManagement::probePorts(int savedPortIndex)
{
    fillPortList(QString(), savedPortIndex);
}

void PortManagement::fillPortList(const QString &selectDevice, int fallbackIndex)
{
    QComboBox *list = m_controls.cmbPort;
    list->clear();
    // The list's entries name devices, not places in the system's list of the moment: an adapter
    // plugged in later must not slip in under the number of the user's card.
    m_controls.MSComm1->fixPortNumbering();
    for (const ProbedPort &port : m_controls.exchange->probePorts(getHighestComPort())) {
        list->addItem(QString::number(port.number));
        list->setItemData(list->count() - 1, port.device, Qt::ToolTipRole);
    }
    // When no port opens now (the adapter is not plugged in yet), the next request looks again,
    // so a card connected after start-up is found without restarting the program.
    if (list->count() == 0) {
        list->setCurrentIndex(-1);
        m_state.suspendFlag = true;
        return;
    }
    int index = selectDevice.isEmpty() ? -1 : list->findData(selectDevice, Qt::ToolTipRole);
    // A remembered position beyond today's list (an adapter was unplugged since) falls back to
    // the first port rather than to no port at all.
    if (index < 0)
        index = fallbackIndex >= 0 && fallbackIndex < list->count() ? fallbackIndex : 0;
    list->setCurrentIndex(index);
    try {
        if (!preparePort(selectedPortNumber()))
            m_state.suspendFlag = true;
    } catch (const CommError &) {
        m_state.suspendFlag = true;
    }
}

void PortManagement::rescanPorts()
{
    QComboBox *list = m_controls.cmbPort;
    const int current = list->currentIndex();
    const QString device = current >= 0 ? list->itemData(current, Qt::ToolTipRole).toString() : QString();
    releasePort();
    m_state.suspendFlag = false;
    fillPortList(device, current);
    if (list->currentIndex() >= 0)
        RegistryManagement::saveNumberSetting("Port No", qint16(list->currentIndex()));
}

bool PortManagement::reopenPort()
{
    if (m_controls.cmbPort->count() == 0) {
        probePorts(0);
        return m_controls.MSComm1->PortOpen();
    }
    return preparePort(selectedPortNumber());
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

void PortManagement::selectFirstEntry()
{
    QComboBox *list = m_controls.cmbPort;
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
    // Selecting the entry already selected leaves typed text on show; the list shows the entry.
    if (list->isEditable())
        list->setEditText(list->count() > 0 ? list->itemText(0) : QString());
}

void PortManagement::releasePort()
{
    m_controls.MSComm1->setPortOpen(false);
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
        RegistryManagement::saveNumberSetting("Port No", qint16(m_controls.cmbPort->currentIndex()));
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
    if (text.size() == 1 && text[0] >= QLatin1Char('0') && text[0] <= QLatin1Char('7')) {
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
    m_state.suspendFlag = true;
    m_controls.tmrTimeout->stop();
    releasePort();
    if (m_state.continuousFlag)
        call(m_hooks.cmdContinuous_Click);
}

void PortManagement::MSComm1_DeviceLost()
{
    // A vanished device is treated like a suspend: the next request opens the port again, and a
    // running acquisition stops so it does not report a failure at every tick, unless the user
    // asked for the run to outlast such failures.
    if (m_state.continuousFlag && m_state.keepRunning)
        keepRunningAfterFailure();
    else
        sysInfo_PowerSuspend();
    m_controls.lblStringDisplay->setText(lostDeviceText());
}

void PortManagement::keepRunningAfterFailure()
{
    // The entry selected stays selected and its number keeps its device, so the reopen at the
    // next tick finds this card again or fails; it never falls back to another port.
    m_state.suspendFlag = true;
    m_controls.tmrTimeout->stop();
    releasePort();
}

// ---------------------------------------------------------------------------------------------
// Reading protocol

ReadingProtocol::ReadingProtocol(WindowState &state, PortManagement &ports,
                                 const DeviceLinkControls &controls, const DeviceLinkHooks &hooks,
                                 QObject *parent)
    : QObject(parent), m_state(state), m_ports(ports), m_controls(controls), m_hooks(hooks)
{
}

int ReadingProtocol::outstandingRequests()
{
    return m_controls.exchange->outstandingRequests();
}

void ReadingProtocol::endExchange()
{
    m_controls.exchange->endExchange();
    markReadings(true);
}

void ReadingProtocol::markReadings(bool stale, const QDateTime &answeredAt)
{
    // Greyed, not changed: the texts keep their meaning ("Open", "Err", a reading), and the tool
    // tip says which answer they come from.
    if (answeredAt.isValid()) {
        const QString tip = QStringLiteral("Answer received %1")
                                .arg(logDateTimeText(answeredAt, QLatin1Char(' ')));
        for (QLabel *label : m_controls.lblCh)
            label->setToolTip(tip);
    }
    if (stale == m_stale)
        return;
    m_stale = stale;
    for (QLabel *label : m_controls.lblCh) {
        // An empty palette gives the label back the colours of its window.
        QPalette palette;
        if (stale)
            palette.setColor(QPalette::WindowText,
                             label->palette().color(QPalette::Disabled, QPalette::WindowText));
        label->setPalette(palette);
    }
}

void ReadingProtocol::requestData()
{
    try {
        if (m_state.suspendFlag) {
            m_state.suspendFlag = false;
            // Until the port opens again (the adapter is still unplugged), every request tries
            // again instead of failing for good.
            if (!m_ports.reopenPort())
                m_state.suspendFlag = true;
        }
        m_controls.exchange->sendRequest(m_controls.txtAddress->text(), m_state.tempType);
    } catch (const CommError &error) {
        m_controls.tmrTimeout->stop();
        endExchange();
        m_controls.lblStringDisplay->setText(sendFailureText(error.code()));
        if (m_state.continuousFlag && m_state.keepRunning)
            m_ports.keepRunningAfterFailure();
        else if (m_state.continuousFlag)
            call(m_hooks.cmdContinuous_Click);
    }
}

void ReadingProtocol::MSComm1_OnComm()
{
    if (m_controls.MSComm1->CommEvent() != MSComm::comEvReceive)
        return;
    std::optional<QString> answer = m_controls.exchange->takeAnswer();
    if (!answer)
        return;
    m_controls.lblStringDisplay->setText(defaultStatusText());
    receivedData = *answer;
    getTemps();
}

void ReadingProtocol::getTemps()
{
    std::array<bool, channelCount> checked{};
    for (int i = 0; i < channelCount; ++i)
        checked[i] = m_controls.chkCh[i]->checkState() == Qt::Checked;
    const CardReading reading =
        decodeAnswer(receivedData, checked, QDateTime::currentDateTime(), m_state.tempType);
    for (int i = 0; i < channelCount; ++i) {
        channelText[i] = channelField(receivedData, i);
        QCoreApplication::processEvents();
        if (i == reading.failedChannel)
            break;
        m_controls.lblCh[i]->setText(reading.channels[i].label);
    }
    if (!reading.ok()) {
        for (QLabel *label : m_controls.lblCh)
            label->setText(QStringLiteral("Err"));
    }
    channelValue = reading.values();
    markReadings(false, reading.when);

    receivedData.clear();
    if (m_hooks.graphVisible && m_hooks.graphVisible())
        call(m_hooks.updateGraph);
    if (m_state.saveToDisk && m_hooks.saveData)
        m_hooks.saveData(reading.record);
    if (m_hooks.recordTaken)
        m_hooks.recordTaken(reading.when, reading.record);
}

void ReadingProtocol::tmrTimeout_Timer()
{
    m_controls.lblStringDisplay->setText(timeoutText());
    m_controls.exchange->timedOut();
    markReadings(true);
    if (m_state.continuousFlag && !m_state.keepRunning)
        call(m_hooks.cmdContinuous_Click);
}

} // namespace tervalo
