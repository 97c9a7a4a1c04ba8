#include "acquisition/acquisitionsession.h"

#include "acquisition/sessionclock.h"
#include "common/branding.h"
#include "device/cardline.h"
#include "device/commerror.h"

#include <algorithm>

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
    applyAnswerTimeout();
}

void AcquisitionSession::setRound(const QList<RoundCard> &cards)
{
    m_round.clear();
    for (const RoundCard &card : cards) {
        m_round.push_back({card.address, {}});
        if (!card.logFile.isEmpty())
            m_round.back().log.start(card.logFile);
    }
    m_asking = -1;
    m_roundDue = false;
    applyAnswerTimeout();
}

void AcquisitionSession::applyAnswerTimeout()
{
    // A card keeps the whole time-out while it is alone on the line. In a round each one gets
    // its share of the interval, a little less so that the last time-out comes before the next
    // tick: one silent card then never takes the others' time.
    int timeoutMs = answerTimeoutMs;
    if (inRound())
        timeoutMs = std::min(answerTimeoutMs, m_clock.gridInterval() / int(m_round.size()) - 5);
    m_exchange.setAnswerTimeout(timeoutMs);
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
    m_rounds = 0;
    m_clock.setGridEnabled(true);
    m_clock.setDeadline(m_durationMs);
    updateState();
}

void AcquisitionSession::stopRun()
{
    if (!m_running)
        return;
    m_running = false;
    // An answer awaited is still taken; the cards after it are not asked.
    m_roundDue = false;
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
    if (inRound()) {
        // The line carries one answer at a time: a tick that comes while a round still goes on
        // starts the next one as soon as it ends, never on top of a card's answer.
        if (m_asking >= 0) {
            m_roundDue = true;
            return;
        }
        m_asking = 0;
        m_roundAnswered = false;
    }
    askCard();
}

void AcquisitionSession::askCard()
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
        m_exchange.sendRequest(currentAddress(),
                               m_setup.unit);
    } catch (const CommError &error) {
        // Nothing sent before will be answered on a line that fails; the time-out stops.
        m_exchange.endExchange();
        emit readingsOutdated();
        emit statusText(sendFailureText(error.code()));
        emit problem(reopenFailed ? SessionProblem{SessionProblem::Kind::OpenFailed, m_exchange.openError(), {}, {}}
                                  : SessionProblem{SessionProblem::Kind::SendFailed,
                                                   QString::fromStdString(error.what()), {}, {}});
        // The line is every card's: the round ends here, and the next tick tries it again.
        m_asking = -1;
        afterFailure(Failure::SendFailed);
    }
    updateState();
}

void AcquisitionSession::askNextCard()
{
    if (!inRound() || m_asking < 0)
        return;
    if (++m_asking < int(m_round.size()) && m_running) {
        askCard();
        return;
    }
    // The round is over. It counts towards the run's limit when any card answered in it.
    m_asking = -1;
    if (m_roundAnswered && m_running && m_count > 0 && ++m_rounds >= m_count)
        endRun(false);
    if (m_roundDue && m_running) {
        m_roundDue = false;
        requestData();
    }
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
    reading.address = currentAddress();
    receivedData.clear();
    // On disk before anyone is told, and before the next request can go out.
    if (!currentLog().fileName().isEmpty()) {
        reading.logged = true;
        reading.logError = saveData(reading.record);
    }
    ++m_readings;
    emit readingTaken(reading);
    if (inRound()) {
        m_roundAnswered = true;
        askNextCard();
    } else if (m_running && m_count > 0 && m_readings >= m_count) {
        endRun(false);
    }
    updateState();
}

int AcquisitionSession::saveData(const QString &data)
{
    // The record is lost on failure; logging stays on so the next reading tries again, and the
    // message stays up for as long as the cause does.
    LogWriter &log = currentLog();
    const int error = log.append(data);
    if (error != 0) {
        emit statusText(writeErrorText(error));
        emit problem({SessionProblem::Kind::LogWrite, qt_error_string(error),
                      currentAddress(),
                      log.fileName()});
    }
    return error;
}

void AcquisitionSession::tmrTimeout_Timer()
{
    emit statusText(timeoutText());
    emit problem({SessionProblem::Kind::Timeout, {},
                  currentAddress(), {}});
    m_exchange.timedOut();
    emit readingsOutdated();
    // A time-out while idle (after a single reading) changes nothing but the message.
    if (m_running)
        afterFailure(Failure::Timeout);
    askNextCard();
    updateState();
}

void AcquisitionSession::MSComm1_DeviceLost()
{
    // The line has closed itself; nothing sent before can be answered. The message goes first,
    // so that whoever ends with the run has heard it.
    m_exchange.endExchange();
    m_asking = -1;
    emit statusText(lostDeviceText());
    emit problem({SessionProblem::Kind::DeviceLost, {}, {}, {}});
    emit readingsOutdated();
    afterFailure(Failure::DeviceLost);
    updateState();
}

void AcquisitionSession::sysInfo_PowerSuspend()
{
    m_exchange.endExchange();
    m_asking = -1;
    emit readingsOutdated();
    afterFailure(Failure::Suspend);
    updateState();
}

} // namespace tervalo
