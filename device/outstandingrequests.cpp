#include "device/outstandingrequests.h"

namespace tervalo {

void OutstandingRequests::sent(qint64 nowMs)
{
    expire(nowMs);
    m_sentAt.push_back(nowMs);
}

void OutstandingRequests::answered(qint64 nowMs)
{
    expire(nowMs);
    if (!m_sentAt.empty())
        m_sentAt.pop_front();
}

int OutstandingRequests::count(qint64 nowMs)
{
    expire(nowMs);
    return int(m_sentAt.size());
}

void OutstandingRequests::expire(qint64 nowMs)
{
    while (!m_sentAt.empty() && nowMs - m_sentAt.front() > m_timeoutMs)
        m_sentAt.pop_front();
}

} // namespace tervalo
