#pragma once

#include <QString>

namespace tervalo {

// The rules the window and tervalo-log both apply to what a user types or a settings file holds,
// kept here so the two cannot drift apart. The channel count lives with the request and answer
// in device/protocol.h.

// An address is exactly one character, '0' to '7': the card reads the one character after "t",
// so "07", "+3" or a pasted "5" with a line end after it would make a request no card answers.
bool isCardAddress(const QString &text);

// The unit letters a request may carry: "r" (raw counts), "c" (Celsius), "f" (Fahrenheit).
// Lower case only; the card knows no other.
bool isUnitLetter(const QString &text);

// The name the reading labels show for a unit letter: "Raw", "Celsius" or "Fahrenheit". Empty
// for anything that is not a unit letter, so a caller can leave its labels as they are.
QString unitName(const QString &letter);

// The entry a remembered list position selects in a list of `count` entries: the position
// itself while it is in the list, else the first entry, since a position stored by another
// version or edited by hand must not leave the list with no selection. -1 (no entry) only when
// the list is empty.
int listPositionOrFirst(int saved, int count);

} // namespace tervalo
