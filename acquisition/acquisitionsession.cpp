#include "acquisition/acquisitionsession.h"

#include "acquisition/sessionclock.h"
#include "common/branding.h"
#include "device/cardline.h"
#include "device/commerror.h"

namespace tervalo {

AcquisitionSession::AcquisitionSession(CardLine &line, SessionClock &clock, QObject *parent)
    : QObject(parent), m_line(line), m_clock(clock), m_exchange(line, clock)
{
    qRegisterMetaType<CardReading>();
    qRegisterMetaType<ProbedPort>();
    qRegisterMetaType<QList<ProbedPort>>();
    qRegisterMetaType<State>();
    connect(&m_line, &CardLine::OnComm, this, &AcquisitionSession::MSComm1_OnComm);
    connect(&m_line, &CardLine::deviceLost, this, &AcquisitionSession::MSComm1_DeviceLost);
    connect(&m_clock, &SessionClock::Timer, this, &AcquisitionSession::hiResTimer_Timer);
    connect(&m_clock, &SessionClock::timeoutExpired, this, &AcquisitionSession::tmrTimeout_Timer);
    connect(&m_clock, &SessionClock::deadlineReached, this, [this] { endRun(false); });
}

void AcquisitionSession::setInterval(int intervalMs)
{
    m_clock.setGridInterval(intervalMs);
}

void AcquisitionSession::setLimits(qint64 count, qint64 durationMs)
{
    m_count = count;
    m_durationMs = durationMs;
}

void AcquisitionSession::setLogFile(const QString &fileName)
{
    if (fileName != m_log.fileName() || fileName.isEmpty())
        m_log.start(fileName);
}

QList<ProbedPort> AcquisitionSession::probePorts()
{
    // The numbers found name devices from now on: an adapter plugged in later must not slip in
    // under the number of the user's card.
    return m_exchange.probePorts(m_line.fixPortNumbering());
}

void AcquisitionSession::fixPortDevice(int number, const QString &device)
{
    m_line.fixPortDevice(number, device);
}

bool AcquisitionSession::preparePort(int portNumber)
{
    m_portNumber = portNumber;
    return m_exchange.openPort(portNumber);
}

void AcquisitionSession::releasePort()
{
    m_exchange.closePort();
}

void AcquisitionSession::startRun(int runId)
{
    // The first reading of a run comes one interval after the start, not at once: at one sample
    // an hour the log's first line is an hour in, like every other line of it.
    m_runId = runId;
    m_running = true;
    m_stopping = false;
    m_readings = 0;
    m_clock.setGridEnabled(true);
    m_clock.setDeadline(m_durationMs);
    updateState();
}

void AcquisitionSession::stopRun()
{
    if (!m_running)
        return;
    m_running = false;
    m_stopping = true;
    m_clock.setGridEnabled(false);
    m_clock.setDeadline(0);
    updateState();
}

void AcquisitionSession::endRun(bool failed)
{
    if (!m_running)
        return;
    // Said before the state changes, so that a watcher knows why the session goes idle.
    emit runEnded(m_runId, failed);
    stopRun();
}

void AcquisitionSession::setCommTimerEnabled(bool enabled)
{
    m_clock.setGridEnabled(enabled && m_running);
}

void AcquisitionSession::updateState()
{
    State state = State::Idle;
    const bool awaited = m_exchange.outstandingRequests() > 0;
    if (m_running)
        state = awaited ? State::Waiting : m_suspendFlag ? State::PortGivenUp : State::Running;
    else if (awaited)
        state = m_stopping ? State::Stopping : State::Waiting;
    if (!awaited && !m_running)
        m_stopping = false;
    if (state != m_state) {
        m_state = state;
        emit stateChanged(state);
    }
}

void AcquisitionSession::afterFailure(Failure failure)
{
    // Every rule about what a failure does to a run, in one place:
    // - a single reading ends with the failure's message (a lost line is given up, so the next
    //   request opens it again);
    // - with Keep Running a continuous run goes on: after a time-out at the next tick, after a
    //   failed send or a lost line with the port given up and opened again at the next tick (the
    //   same number, so the same device: never another card);
    // - otherwise the failure ends the run; the suspend notice always does.
    const bool lineLost = failure == Failure::DeviceLost || failure == Failure::Suspend;
    if (m_running && m_keepRunning && failure != Failure::Suspend) {
        if (failure != Failure::Timeout)
            giveUpPort();
        return;
    }
    if (lineLost)
        giveUpPort();
    endRun(true);
}

void AcquisitionSession::giveUpPort()
{
    // Every failure has ended the exchange before it comes here.
    m_suspendFlag = true;
    m_exchange.closePort();
}

bool AcquisitionSession::reopenPort()
{
    if (m_portNumber == noPortNumber)
        throw CommError(commPortEntryNotNumeric, QStringLiteral("The port entry is not a number"));
    if (m_portNumber > 0)
        return m_exchange.openPort(m_portNumber);
    // No port opened at the start (the adapter was not plugged in yet): look again, so that a
    // card connected later is found without a restart.
    const QList<ProbedPort> ports = probePorts();
    const bool opened = !ports.isEmpty() && preparePort(ports.first().number);
    emit portsFound(ports, opened ? 0 : -1);
    return opened;
}

void AcquisitionSession::requestData()
{
    bool reopenFailed = false;
    try {
        if (m_suspendFlag) {
            m_suspendFlag = false;
            // Until the port opens again (the adapter is still unplugged), every request tries
            // again instead of failing for good.
            if (!reopenPort())
                m_suspendFlag = reopenFailed = true;
        }
        m_exchange.sendRequest(m_setup.address, m_setup.unit);
    } catch (const CommError &error) {
        // Nothing sent before will be answered on a line that fails; the time-out stops.
        m_exchange.endExchange();
        emit readingsOutdated();
        emit statusText(sendFailureText(error.code()));
        emit problem(reopenFailed ? SessionProblem{SessionProblem::Kind::OpenFailed, m_exchange.openError()}
                                  : SessionProblem{SessionProblem::Kind::SendFailed,
                                                   QString::fromStdString(error.what())});
        afterFailure(Failure::SendFailed);
    }
    updateState();
}

void AcquisitionSession::hiResTimer_Timer(const QString &sKey)
{
    // Every tick asks again, answered or not: a lost answer costs one reading, never the run.
    if (sKey == commTimerKey)
        requestData();
}

void AcquisitionSession::MSComm1_OnComm()
{
    if (m_line.CommEvent() != CardLine::comEvReceive)
        return;
    std::optional<QString> answer = m_exchange.takeAnswer();
    if (!answer)
        return;
    emit statusText(defaultStatusText());
    receivedData = *answer;
    getTemps();
}

void AcquisitionSession::getTemps()
{
    CardReading reading = decodeAnswer(receivedData, m_setup.checked, m_clock.currentDateTime(),
                                       m_setup.unit, QLocale::system(), m_timeStyle);
    reading.address = m_setup.address;
    receivedData.clear();
    // On disk before anyone is told, and before the next request can go out.
    if (!m_log.fileName().isEmpty()) {
        reading.logged = true;
        reading.logError = saveData(reading.record);
    }
    ++m_readings;
    emit readingTaken(reading);
    if (m_running && m_count > 0 && m_readings >= m_count)
        endRun(false);
    updateState();
}

int AcquisitionSession::saveData(const QString &data)
{
    // The record is lost on failure; logging stays on so the next reading tries again, and the
    // message stays up for as long as the cause does.
    const int error = m_log.append(data);
    if (error != 0) {
        emit statusText(writeErrorText(error));
        emit problem({SessionProblem::Kind::LogWrite, qt_error_string(error)});
    }
    return error;
}

void AcquisitionSession::tmrTimeout_Timer()
{
    emit statusText(timeoutText());
    emit problem({SessionProblem::Kind::Timeout, {}});
    m_exchange.timedOut();
    emit readingsOutdated();
    // A time-out while idle (after a single reading) changes nothing but the message.
    if (m_running)
        afterFailure(Failure::Timeout);
    updateState();
}

void AcquisitionSession::MSComm1_DeviceLost()
{
    // The line has closed itself; nothing sent before can be answered. The message goes first,
    // so that whoever ends with the run has heard it.
    m_exchange.endExchange();
    emit statusText(lostDeviceText());
    emit problem({SessionProblem::Kind::DeviceLost, {}});
    emit readingsOutdated();
    afterFailure(Failure::DeviceLost);
    updateState();
}

void AcquisitionSession::sysInfo_PowerSuspend()
{
    m_exchange.endExchange();
    emit readingsOutdated();
    afterFailure(Failure::Suspend);
    updateState();
}

} // namespace tervalo
