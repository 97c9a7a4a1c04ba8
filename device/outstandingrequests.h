#pragma once

#include <QtGlobal>

#include <deque>

namespace tervalo {

// The requests sent to the card that still wait for their answer. A request waits from the moment
// it is sent until an answer is taken for it, the time-out ends the exchange, the line is lost, or
// it has waited longer than the time-out allows (the time-out timer runs once for overlapping
// requests, and a decode stops it, so it cannot speak for each of them).
//
// What is buffered while nothing waits belongs to no answer and may be discarded; while something
// waits, the buffer may hold the start of that answer and must be left alone. Times are
// milliseconds of a steady clock.
class OutstandingRequests
{
public:
    explicit OutstandingRequests(qint64 timeoutMs) : m_timeoutMs(timeoutMs) {}
    void setTimeout(qint64 timeoutMs) { m_timeoutMs = timeoutMs; }

    void sent(qint64 nowMs);
    // An answer was taken: it answers the oldest request still waiting.
    void answered(qint64 nowMs);
    void clear() { m_sentAt.clear(); }
    int count(qint64 nowMs);

private:
    void expire(qint64 nowMs);

    qint64 m_timeoutMs;
    std::deque<qint64> m_sentAt;
};

} // namespace tervalo
