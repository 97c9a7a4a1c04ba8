#include "device/devicelink.h"

#include "common/branding.h"
#include "common/focusloss.h"
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
#include <QTimer>

namespace tervalo {

namespace {

const char *const lineSettings = "2400,N,8,1";

QString sendFailureText(int code)
{
    return QStringLiteral("Error %1 received. If problem persists please restart Tervalo.").arg(code);
}

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
    MSComm &comm = *m_controls.MSComm1;
    try {
        comm.setSettings(QString::fromLatin1(lineSettings));
        comm.setInputLen(0);
        comm.setRThreshold(1);
        comm.setCommPort(portNumber);
        comm.setPortOpen(true);
        return true;
    } catch (const CommError &) {
        return false;
    }
}

int PortManagement::getHighestComPort()
{
    // The serial layer knows which ports the system has; asking it replaces opening a probe port,
    // which could fail and would then leave the program without any port at all.
    return m_controls.MSComm1->highestPortNumber();
}

void PortManagement::probePorts(int savedPortIndex)
{
    QComboBox *list = m_controls.cmbPort;
    list->clear();
    // The list's entries name devices, not places in the system's list of the moment: an adapter
    // plugged in later must not slip in under the number of the user's card.
    m_controls.MSComm1->fixPortNumbering();
    const int highest = getHighestComPort();
    for (int i = 1; i <= highest; ++i) {
        if (preparePort(i)) {
            list->addItem(QString::number(i));
            list->setItemData(list->count() - 1, m_controls.MSComm1->device(), Qt::ToolTipRole);
            releasePort();
        }
    }
    // A remembered position beyond today's list (an adapter was unplugged since) falls back to
    // the first port rather than to no port at all.
    // When no port opens now (the adapter is not plugged in yet), the next request looks again,
    // so a card connected after start-up is found without restarting the program.
    if (list->count() == 0) {
        list->setCurrentIndex(-1);
        m_state.suspendFlag = true;
        return;
    }
    list->setCurrentIndex(savedPortIndex >= 0 && savedPortIndex < list->count() ? savedPortIndex : 0);
    try {
        if (!preparePort(selectedPortNumber()))
            m_state.suspendFlag = true;
    } catch (const CommError &) {
        m_state.suspendFlag = true;
    }
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
    // running acquisition stops so it does not report a failure at every tick.
    sysInfo_PowerSuspend();
    m_controls.lblStringDisplay->setText(
        sendFailureText(commDriverErrorBase + int(QSerialPort::ResourceError)));
}

// ---------------------------------------------------------------------------------------------
// Reading protocol

ReadingProtocol::ReadingProtocol(WindowState &state, PortManagement &ports,
                                 const DeviceLinkControls &controls, const DeviceLinkHooks &hooks,
                                 QObject *parent)
    : QObject(parent), m_state(state), m_ports(ports), m_controls(controls), m_hooks(hooks),
      m_outstanding(controls.tmrTimeout->interval())
{
    m_clock.start();
}

void ReadingProtocol::endExchange()
{
    m_outstanding.clear();
    awaitRestOfAnswer();
}

void ReadingProtocol::awaitRestOfAnswer()
{
    // Nothing to act on before an answer is whole, so the line need not wake us before then.
    // With nothing outstanding every character counts again: a stray one must be seen.
    MSComm &comm = *m_controls.MSComm1;
    comm.setCharactersAwaited(outstandingRequests() > 0
                                  ? qMax(1, answerLength - comm.InBufferCount())
                                  : 0);
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
        // Characters still buffered while no request is outstanding belong to no answer we wait
        // for: the tail of an overlong answer, or the end of one taken at its 32nd character.
        // Left there they would sit in front of the next answer and mix two readings in one
        // record, so they go before a new request is sent. While a request is outstanding they
        // may be the start of its answer (a slow card still answering the previous tick), and
        // stay. The time-out timer cannot tell: the decode of an earlier answer stops it.
        // Characters the line still holds back for an answer that was awaited count too, though
        // the buffer cannot see them yet, so the line is cleared whatever the buffer says.
        if (outstandingRequests() == 0)
            m_controls.MSComm1->setInBufferCount(0);
        m_controls.MSComm1->setOutput(buildRequest(m_controls.txtAddress->text(), m_state.tempType));
        m_outstanding.sent(m_clock.elapsed());
        awaitRestOfAnswer();
        if (!m_controls.tmrTimeout->isActive())
            m_controls.tmrTimeout->start();
    } catch (const CommError &error) {
        m_controls.tmrTimeout->stop();
        endExchange();
        m_controls.lblStringDisplay->setText(sendFailureText(error.code()));
        if (m_state.continuousFlag)
            call(m_hooks.cmdContinuous_Click);
    }
}

void ReadingProtocol::MSComm1_OnComm()
{
    if (m_controls.MSComm1->CommEvent() != MSComm::comEvReceive)
        return;
    MSComm &comm = *m_controls.MSComm1;
    if (comm.InBufferCount() < answerLength) {
        awaitRestOfAnswer();
        return;
    }
    m_controls.tmrTimeout->stop();
    m_outstanding.answered(m_clock.elapsed());
    m_controls.lblStringDisplay->setText(defaultStatusText());
    receivedData = comm.Input();
    awaitRestOfAnswer();
    getTemps();
}

void ReadingProtocol::getTemps()
{
    const QDateTime now = QDateTime::currentDateTime();
    QString record = recordPrefix(now, m_state.tempType);
    bool failed = false;
    for (int i = 0; i < channelCount; ++i) {
        channelText[i] = channelField(receivedData, i);
        QCoreApplication::processEvents();
        const bool checked = m_controls.chkCh[i]->checkState() == Qt::Checked;
        const ChannelReading reading = decodeChannel(channelText[i], checked);
        if (!reading.ok) {
            failed = true;
            break;
        }
        m_controls.lblCh[i]->setText(reading.label);
        record += reading.item + QLatin1Char(',');
        channelValue[i] = reading.value;
    }
    if (failed) {
        for (int i = 0; i < channelCount; ++i) {
            channelValue[i] = 0;
            m_controls.lblCh[i]->setText(QStringLiteral("Err"));
        }
        record = errorRecord(now, m_state.tempType);
    }

    receivedData.clear();
    if (m_hooks.graphVisible && m_hooks.graphVisible())
        call(m_hooks.updateGraph);
    if (m_state.saveToDisk && m_hooks.saveData)
        m_hooks.saveData(record);
    if (m_hooks.recordTaken)
        m_hooks.recordTaken(now, record);
}

void ReadingProtocol::tmrTimeout_Timer()
{
    m_controls.lblStringDisplay->setText(
        QStringLiteral("Communications timeout - Check cables and address settings"));
    m_controls.tmrTimeout->stop();
    endExchange();
    if (m_state.continuousFlag)
        call(m_hooks.cmdContinuous_Click);
    m_controls.MSComm1->setInBufferCount(0);
}

} // namespace tervalo
