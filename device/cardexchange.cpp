#include "device/cardexchange.h"

#include "device/commerror.h"
#include "device/mscomm.h"

#include <QSerialPort>
#include <QTimer>

namespace tervalo {

QString sendFailureText(int code)
{
    return QStringLiteral("Error %1 received. If problem persists please restart Tervalo.").arg(code);
}

QString lostDeviceText()
{
    return sendFailureText(commDriverErrorBase + int(QSerialPort::ResourceError));
}

QString timeoutText()
{
    return QStringLiteral("Communications timeout - Check cables and address settings");
}

CardExchange::CardExchange(MSComm &comm, QTimer &timeout, QObject *parent)
    : QObject(parent), m_comm(comm), m_timeout(timeout), m_outstanding(timeout.interval())
{
    m_clock.start();
    // Whoever drives the exchange hears of the loss too; this part only forgets the requests.
    connect(&m_comm, &MSComm::deviceLost, this, [this] {
        m_timeout.stop();
        endExchange();
    });
}

bool CardExchange::openPort(int portNumber)
{
    try {
        m_comm.setSettings(QString::fromLatin1(cardLineSettings));
        m_comm.setInputLen(0);
        m_comm.setRThreshold(1);
        m_comm.setCommPort(portNumber);
        m_comm.setPortOpen(true);
        return true;
    } catch (const CommError &) {
        return false;
    }
}

void CardExchange::closePort()
{
    m_comm.setPortOpen(false);
}

QList<ProbedPort> CardExchange::probePorts(int highest)
{
    QList<ProbedPort> ports;
    for (int i = 1; i <= highest; ++i) {
        if (openPort(i)) {
            ports.append({i, m_comm.device()});
            closePort();
        }
    }
    return ports;
}

void CardExchange::awaitRestOfAnswer()
{
    // Nothing to act on before an answer is whole, so the line need not wake us before then.
    // With nothing outstanding every character counts again: a stray one must be seen.
    m_comm.setCharactersAwaited(outstandingRequests() > 0
                                    ? qMax(1, answerLength - m_comm.InBufferCount())
                                    : 0);
}

void CardExchange::sendRequest(const QString &address, const QString &unit)
{
    try {
        // Characters still buffered while no request is outstanding belong to no answer we wait
        // for: the tail of an overlong answer, or the end of one taken at its 32nd character.
        // Left there they would sit in front of the next answer and mix two readings in one
        // record, so they go before a new request is sent. While a request is outstanding they
        // may be the start of its answer (a slow card still answering the previous tick), and
        // stay. The time-out timer cannot tell: the decode of an earlier answer stops it.
        // Characters the line still holds back for an answer that was awaited count too, though
        // the buffer cannot see them yet, so the line is cleared whatever the buffer says.
        if (outstandingRequests() == 0)
            m_comm.setInBufferCount(0);
        m_comm.setOutput(buildRequest(address, unit));
    } catch (const CommError &) {
        m_timeout.stop();
        endExchange();
        throw;
    }
    m_outstanding.sent(m_clock.elapsed());
    awaitRestOfAnswer();
    if (!m_timeout.isActive())
        m_timeout.start();
}

std::optional<QString> CardExchange::takeAnswer()
{
    if (m_comm.InBufferCount() < answerLength) {
        awaitRestOfAnswer();
        return std::nullopt;
    }
    m_timeout.stop();
    m_outstanding.answered(m_clock.elapsed());
    const QString answer = m_comm.Input();
    awaitRestOfAnswer();
    return answer;
}

void CardExchange::timedOut()
{
    m_timeout.stop();
    endExchange();
    m_comm.setInBufferCount(0);
}

void CardExchange::endExchange()
{
    m_outstanding.clear();
    awaitRestOfAnswer();
}

} // namespace tervalo
