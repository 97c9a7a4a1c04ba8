// How single lines of the settings file are read and written; registrytext.cpp puts the lines
// together into a file. Only for the settings store itself.

#pragma once

#include "settings/registrytext.h"

#include <string>
#include <string_view>
#include <vector>

namespace RegistryManagement::syntax {

inline constexpr std::string_view HEADER = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view OLD_HEADER = "REGEDIT4";
inline constexpr std::string_view ROOT_NAME = "HKEY_CURRENT_USER";

char lowerAscii(char c);
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view s, std::string_view prefix);
// Less the blanks, tabs and CRs at either end.
std::string_view trim(std::string_view s);

// UTF-16LE code units as UTF-8, and back: toUtf16(fromUtf16(x)) == x for any even-sized x.
std::string fromUtf16(std::string_view bytes);
std::string toUtf16(std::string_view text);

// Well-formed UTF-8: no stray or overlong sequences, no surrogates.
bool validUtf8(std::string_view text);
// An 8-bit file's text as UTF-8: what already is well-formed UTF-8 (a file edited on this
// system) is taken as it is, anything else as Windows-1252 (a file from the registry editor).
std::string ansiToUtf8(std::string_view text);
// UTF-8 as Windows-1252; false when a character has no place there.
bool utf8ToAnsi(std::string_view text, std::string &out);

enum class KeyLine { Ours, OursDeleted, Foreign, Bad };
// A line that starts with '['; `path` is set for the current user's keys.
KeyLine parseKeyLine(std::string_view line, std::string &path);

struct ParsedValue
{
    StoreValue value;
    bool deletion = false; // "Name"=-
    std::string comment;   // what follows the data from the blanks before its ';'
    size_t lines = 1;      // more for wrapped hex data
    bool quoted = false;   // "text" rather than hex(1):
};
// A REG_SZ as the file holds it, turned into the store's UTF-8 with its one NUL. A hex(1) of a
// version 5 file holds UTF-16LE; older versions of this program wrote UTF-8 bytes there, which
// are told apart by their length and end: UTF-16 text is an even number of bytes ending in a
// two-byte NUL and pairs its surrogates, which a UTF-8 text with one NUL never is, unless the
// text itself ended in a NUL.
void decodeText(StoreValue &value, bool quoted, FileText file);

// The value line at lines[first], with the lines that continue it. False when not understood.
bool parseValue(const std::vector<std::string_view> &lines, size_t first, ParsedValue &out);

} // namespace RegistryManagement::syntax
