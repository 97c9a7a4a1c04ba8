#include "device/cardexchange.h"

#include "acquisition/sessionclock.h"
#include "device/cardline.h"
#include "device/commerror.h"
#include "device/protocol.h"

#include <QSerialPort>

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

CardExchange::CardExchange(CardLine &line, SessionClock &clock)
    : m_line(line), m_clock(clock), m_outstanding(answerTimeoutMs)
{
}

bool CardExchange::openPort(int portNumber)
{
    try {
        m_line.setSettings(QString::fromLatin1(cardLineSettings));
        m_line.setInputLen(0);
        m_line.setRThreshold(1);
        m_line.setCommPort(portNumber);
        m_line.setPortOpen(true);
        m_openError.clear();
        return true;
    } catch (const CommError &error) {
        m_openError = QString::fromStdString(error.what());
        return false;
    }
}

void CardExchange::closePort()
{
    m_line.setPortOpen(false);
}

QList<ProbedPort> CardExchange::probePorts(int highest)
{
    QList<ProbedPort> ports;
    for (int i = 1; i <= highest; ++i) {
        if (openPort(i)) {
            ports.append({i, m_line.device()});
            closePort();
        }
    }
    return ports;
}

void CardExchange::setAnswerTimeout(int ms)
{
    m_outstanding.setTimeout(ms);
    m_clock.setTimeoutInterval(ms);
}

int CardExchange::outstandingRequests()
{
    return m_outstanding.count(m_clock.nowMs());
}

void CardExchange::awaitRestOfAnswer()
{
    // Nothing to act on before an answer is whole, so the line need not wake us before then.
    // With nothing outstanding every character counts again: a stray one must be seen.
    m_line.setCharactersAwaited(outstandingRequests() > 0
                                    ? qMax(1, answerLength - m_line.InBufferCount())
                                    : 0);
}

void CardExchange::sendRequest(const QString &address, const QString &unit)
{
    // Characters still buffered while no request is outstanding belong to no answer we wait for:
    // the tail of an overlong answer, or the end of one taken at its 32nd character. Left there
    // they would sit in front of the next answer and mix two readings in one record, so they go
    // before a new request is sent. While a request is outstanding they may be the start of its
    // answer (a slow card still answering the previous tick), and stay. The time-out timer cannot
    // tell: the decode of an earlier answer stops it. Characters the line still holds back for an
    // answer that was awaited count too, though the buffer cannot see them yet, so the line is
    // cleared whatever the buffer says.
    if (outstandingRequests() == 0)
        m_line.setInBufferCount(0);
    m_line.setOutput(buildRequest(address, unit));
    m_outstanding.sent(m_clock.nowMs());
    awaitRestOfAnswer();
    m_clock.startTimeout();
}

std::optional<QString> CardExchange::takeAnswer()
{
    if (m_line.InBufferCount() < answerLength) {
        awaitRestOfAnswer();
        return std::nullopt;
    }
    m_clock.stopTimeout();
    m_outstanding.answered(m_clock.nowMs());
    const QString answer = m_line.Input();
    awaitRestOfAnswer();
    return answer;
}

void CardExchange::timedOut()
{
    endExchange();
    m_line.setInBufferCount(0);
}

void CardExchange::endExchange()
{
    m_clock.stopTimeout();
    m_outstanding.clear();
    if (m_line.PortOpen())
        awaitRestOfAnswer();
}

} // namespace tervalo
