#pragma once

#include "device/outstandingrequests.h"

#include <QList>
#include <QString>

#include <optional>

namespace tervalo {

class CardLine;
class SessionClock;

// The line settings of the card: 2400 baud, no parity, eight data bits, one stop bit.
inline constexpr const char *cardLineSettings = "2400,N,8,1";

// The status texts of a failed exchange.
QString sendFailureText(int code);
QString lostDeviceText();
QString timeoutText();

// A port that opened during the probe: its number and the device behind it.
struct ProbedPort
{
    int number = 0;
    QString device;
};

// The exchange with one card over one line: opening the line with the card's settings, the
// request, the collection of its answer, the answer's time-out (the exchange alone starts and
// stops it), the rule that discards what belongs to no awaited answer, and the end of the
// exchange when the line is lost. It decides nothing about the run; the acquisition session does.
class CardExchange
{
public:
    CardExchange(CardLine &line, SessionClock &clock);

    // Opens port number with the card's line settings; false when it does not open.
    bool openPort(int portNumber);
    // The system's words for why the last open failed ("Permission denied"); empty after one
    // that succeeded.
    QString openError() const { return m_openError; }
    void closePort();

    // The ports from 1 to highest that open, in number order, with the devices behind them.
    // Every port is closed again afterwards. The caller fixes the numbering first, so that the
    // numbers found stay those of the devices found.
    QList<ProbedPort> probePorts(int highest);

    // Sends one request and starts the time-out. Throws CommError when it cannot be sent; the
    // caller then ends the exchange.
    void sendRequest(const QString &address, const QString &unit);

    // For every receive notification: the answer, taken from the buffer, once it is whole.
    std::optional<QString> takeAnswer();

    // The time-out expired: nothing sent before will be answered, and what the buffer holds is
    // the start of an answer that came too late.
    void timedOut();

    // The line was lost or given up: nothing sent before can be answered any more.
    void endExchange();

    // How long an answer may take from its request: answerTimeoutMs unless a round of several
    // cards must fit the grid's interval.
    void setAnswerTimeout(int ms);

    // Requests sent and not yet answered, timed out or failed.
    int outstandingRequests();

private:
    // Tells the line how many characters of the awaited answer are still missing.
    void awaitRestOfAnswer();

    CardLine &m_line;
    SessionClock &m_clock;
    OutstandingRequests m_outstanding;
    QString m_openError;
};

} // namespace tervalo
