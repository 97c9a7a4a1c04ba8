#include "tools/requestparser.h"

namespace tervalo::sim {

std::optional<Request> RequestParser::feed(char c)
{
    if (c == 't') {
        m_pending = QByteArray(1, c);
        return std::nullopt;
    }
    switch (m_pending.size()) {
    case 1:
        if (c >= '0' && c <= '7') {
            m_pending += c;
            return std::nullopt;
        }
        break;
    case 2:
        if (unitFromLetter(c)) {
            m_pending += c;
            return std::nullopt;
        }
        break;
    case 3:
        if (c == 'a') {
            Request request;
            request.address = m_pending.at(1) - '0';
            request.unit = *unitFromLetter(m_pending.at(2));
            request.text = m_pending + c;
            m_pending.clear();
            return request;
        }
        break;
    default:
        break;
    }
    m_pending.clear();
    return std::nullopt;
}

} // namespace tervalo::sim
