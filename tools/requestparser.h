#pragma once

#include "tools/cardformat.h"

#include <QByteArray>

#include <optional>

namespace tervalo::sim {

struct Request
{
    int address = 0;
    Unit unit = Unit::Celsius;
    QByteArray text; // the four characters as received
};

// Picks requests ("t", address digit 0-7, unit letter, "a") out of the characters arriving one
// at a time. "t" never appears inside a request, so the card simply starts over at every "t";
// whatever does not fit the pattern is dropped, as the card's firmware does.
class RequestParser
{
public:
    std::optional<Request> feed(char c);
    void reset() { m_pending.clear(); }

private:
    QByteArray m_pending;
};

} // namespace tervalo::sim
