#include "settings/registrysyntax.h"

#include "settings/registrymanagement.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace RegistryManagement {

using namespace syntax;

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One to eight hex digits and nothing else.
bool parseHexNumber(std::string_view s, uint32_t &out)
{
    if (s.empty() || s.size() > 8)
        return false;
    out = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        out = out << 4 | uint32_t(d);
    }
    return true;
}

// "aa,bb,cc" with blanks allowed around each byte and one trailing comma forgiven.
bool parseHexBytes(std::string_view s, std::string &out)
{
    s = trim(s);
    while (!s.empty()) {
        const size_t comma = s.find(',');
        const std::string_view item = trim(s.substr(0, comma));
        uint32_t byte = 0;
        if (item.size() > 2 || !parseHexNumber(item, byte))
            return false;
        out.push_back(char(byte));
        if (comma == std::string_view::npos)
            break;
        s = trim(s.substr(comma + 1));
    }
    return true;
}

// A quoted text at the front of `s`, which is left just past the closing quote. Only \\ and \"
// are escapes; any other backslash is kept as typed, so a hand-written "C:\temp" survives.
bool parseQuoted(std::string_view &s, std::string &out)
{
    if (s.empty() || s.front() != '"')
        return false;
    s.remove_prefix(1);
    while (!s.empty()) {
        const char c = s.front();
        s.remove_prefix(1);
        if (c == '"')
            return true;
        if (c == '\\' && !s.empty() && (s.front() == '\\' || s.front() == '"')) {
            out.push_back(s.front());
            s.remove_prefix(1);
        } else {
            out.push_back(c);
        }
    }
    return false;
}

void appendQuoted(std::string &out, std::string_view s)
{
    out.push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// Only printable ASCII with its one NUL is shown as a quoted text; that keeps the file plain
// ASCII whatever the editor's idea of the encoding.
bool showsAsText(const StoreValue &value)
{
    if (value.type != uint32_t(REG_SZ) || value.data.empty() || value.data.back() != '\0')
        return false;
    for (size_t i = 0; i + 1 < value.data.size(); ++i) {
        const auto c = static_cast<unsigned char>(value.data[i]);
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

void appendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Windows-1252 from 0x80 to 0x9F; the five bytes it leaves unassigned stand for the C1
// characters of the same number, as the system's own conversion has them.
constexpr uint16_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The code point at text[i], and its length; 0 when no well-formed sequence starts there.
size_t decodeUtf8(std::string_view text, size_t i, uint32_t &cp)
{
    const auto lead = uint8_t(text[i]);
    const size_t length = lead < 0x80                   ? 1
                          : lead >= 0xC2 && lead < 0xE0 ? 2
                          : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xF0 && lead < 0xF5 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = uint8_t(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (next & 0x3F);
    }
    if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) ||
        (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return length;
}

// Text that a quoted string shows exactly: well-formed, and no control character a line could
// not hold or an editor would mangle.
bool quotable(std::string_view text)
{
    if (!validUtf8(text))
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// UTF-16LE as a version 5 file's hex(1): holds it, and as it is told from older versions' UTF-8.
bool looksUtf16(std::string_view bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2 != 0 || bytes[bytes.size() - 1] != '\0' ||
        bytes[bytes.size() - 2] != '\0')
        return false;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint32_t unit = uint8_t(bytes[i]) | uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (unit >= 0xDC00 && unit < 0xE000)
            return false;
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (i + 3 >= bytes.size())
                return false;
            const uint32_t low = uint8_t(bytes[i + 2]) | uint32_t(uint8_t(bytes[i + 3])) << 8;
            if (low < 0xDC00 || low >= 0xE000)
                return false;
            i += 2;
        }
    }
    return true;
}

void appendHex(std::string &out, std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i > 0)
            out += ',';
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
}

// Splits unquoted data from a comment after it; the blanks before the ';' go with the comment.
std::string_view splitComment(std::string_view s, std::string &comment)
{
    size_t start = s.find(';');
    if (start == std::string_view::npos) {
        comment.clear();
        return s;
    }
    while (start > 0 && isBlank(s[start - 1]))
        --start;
    comment = s.substr(start);
    return s.substr(0, start);
}

} // namespace

bool hasControl(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20)
            return true;
    return false;
}

bool validKeyPath(std::string_view path)
{
    if (path.empty() || hasControl(path))
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('\\', start);
        if (end == start || start == path.size())
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

std::string formatValueLine(const StoreValue &value)
{
    std::string line;
    formatValueLine(value, FileText::Ansi, line);
    return line;
}

bool formatValueLine(const StoreValue &value, FileText file, std::string &out)
{
    static constexpr char digits[] = "0123456789abcdef";
    out.clear();
    if (value.name.empty())
        out += '@';
    else
        appendQuoted(out, value.name);
    out += '=';
    const bool text = value.type == uint32_t(REG_SZ) && !value.data.empty() &&
                      value.data.back() == '\0';
    const std::string_view chars =
        text ? std::string_view(value.data).substr(0, value.data.size() - 1) : std::string_view();
    if (showsAsText(value)) {
        appendQuoted(out, chars);
        return true;
    }
    if (text && quotable(chars)) {
        // As the registry editor reads the file: UTF-16 as it is, an 8-bit file in its code
        // page. A text that would read back as something else does not go in as it is.
        std::string ansi;
        if (file == FileText::Utf16) {
            appendQuoted(out, chars);
            return true;
        }
        if (utf8ToAnsi(chars, ansi) && ansiToUtf8(ansi) == chars) {
            appendQuoted(out, ansi);
            return true;
        }
        if (file == FileText::Ansi)
            return false;
    }
    if (value.type == uint32_t(REG_DWORD) && value.data.size() == 4) {
        out += "dword:";
        for (int i = 3; i >= 0; --i) {
            const auto byte = static_cast<unsigned char>(value.data[size_t(i)]);
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
        return true;
    }
    if (value.type == 3) {
        out += "hex:";
    } else {
        char type[16];
        std::snprintf(type, sizeof type, "hex(%x):", unsigned(value.type));
        out += type;
    }
    // A text with control characters: UTF-16 where the file's hex(1) means UTF-16. Bytes that
    // are no UTF-8 text at all go as they are; no other form keeps them.
    if (text && file != FileText::Ansi4 && validUtf8(value.data))
        appendHex(out, toUtf16(value.data));
    else
        appendHex(out, value.data);
    return true;
}

namespace syntax {

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// UTF-16LE code units as UTF-8. A surrogate without its partner becomes three bytes of its own,
// so that toUtf16 gives every unit of the file back as it was.
std::string fromUtf16(std::string_view bytes)
{
    const auto unitAt = [&](size_t i) {
        return uint32_t(uint8_t(bytes[i])) | uint32_t(uint8_t(bytes[i + 1])) << 8;
    };
    std::string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t cp = unitAt(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        appendUtf8(out, cp);
    }
    return out;
}

// The reverse of fromUtf16. A byte that starts no UTF-8 sequence (a value name typed in another
// code page) goes as the character of the same number.
std::string toUtf16(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    const auto unit = [&](uint32_t u) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t length = decodeUtf8(text, i, cp);
        if (length == 0) {
            unit(uint8_t(text[i]));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
        i += length;
    }
    return out;
}

bool validUtf8(std::string_view text)
{
    uint32_t cp = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t length = decodeUtf8(text, i, cp);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string ansiToUtf8(std::string_view text)
{
    if (validUtf8(text))
        return std::string(text);
    std::string out;
    for (unsigned char c : text)
        appendUtf8(out, c >= 0x80 && c < 0xA0 ? CP1252_HIGH[c - 0x80] : c);
    return out;
}

bool utf8ToAnsi(std::string_view text, std::string &out)
{
    out.clear();
    uint32_t cp = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t length = decodeUtf8(text, i, cp);
        if (length == 0)
            return false;
        i += length;
        if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) {
            out += char(cp);
            continue;
        }
        const uint16_t *found = std::find(std::begin(CP1252_HIGH), std::end(CP1252_HIGH), cp);
        if (found == std::end(CP1252_HIGH))
            return false;
        out += char(0x80 + (found - CP1252_HIGH));
    }
    return true;
}

void decodeText(StoreValue &value, bool quoted, FileText file)
{
    if (value.type != uint32_t(REG_SZ))
        return;
    if (quoted) {
        // Read with its NUL already added.
        if (file != FileText::Utf16) {
            value.data.pop_back();
            value.data = ansiToUtf8(value.data);
            value.data.push_back('\0');
        }
        return;
    }
    if (file != FileText::Ansi4 && looksUtf16(value.data))
        value.data = fromUtf16(value.data);
}

// "[HKEY_CURRENT_USER\Path]", "[HKCU\Path]" or "[-...]" to delete. As the registry editor
// reads it: the key name ends at the line's last ']' (so names may hold ']'), whatever follows
// it is ignored, a comment or not, and backslashes at the end of the name are dropped.
KeyLine parseKeyLine(std::string_view line, std::string &path)
{
    const size_t close = line.rfind(']');
    if (close == std::string_view::npos || close == 0)
        return KeyLine::Bad;
    std::string_view inner = line.substr(1, close - 1);
    while (!inner.empty() && inner.back() == '\\')
        inner.remove_suffix(1);
    const bool deletion = !inner.empty() && inner.front() == '-';
    if (deletion)
        inner.remove_prefix(1);
    const size_t slash = inner.find('\\');
    const std::string_view root = inner.substr(0, slash);
    if (!equalsNoCase(root, ROOT_NAME) && !equalsNoCase(root, "HKCU")) {
        const bool knownRoot = startsWithNoCase(root, "HKEY_") || equalsNoCase(root, "HKLM") ||
                               equalsNoCase(root, "HKCR") || equalsNoCase(root, "HKU") ||
                               equalsNoCase(root, "HKCC");
        return knownRoot ? KeyLine::Foreign : KeyLine::Bad;
    }
    if (slash == std::string_view::npos) {
        path.clear();
        return deletion ? KeyLine::Bad : KeyLine::Ours; // the root itself cannot go
    }
    if (!validKeyPath(inner.substr(slash + 1)))
        return KeyLine::Bad;
    path = inner.substr(slash + 1);
    return deletion ? KeyLine::OursDeleted : KeyLine::Ours;
}

// One value line, and for wrapped hex data the lines that continue it.
bool parseValue(const std::vector<std::string_view> &lines, size_t first, ParsedValue &out)
{
    std::string_view line = trim(lines[first]);
    if (!line.empty() && line.front() == '@') {
        line.remove_prefix(1);
    } else if (!parseQuoted(line, out.value.name)) {
        return false;
    }
    line = trim(line);
    if (line.empty() || line.front() != '=')
        return false;
    line = trim(line.substr(1));

    if (!line.empty() && line.front() == '"') {
        std::string text;
        if (!parseQuoted(line, text))
            return false;
        const std::string_view rest = trim(line);
        if (!rest.empty() && rest.front() != ';')
            return false;
        if (!rest.empty())
            out.comment = line;
        out.quoted = true;
        out.value.type = REG_SZ;
        out.value.data = std::move(text);
        out.value.data.push_back('\0');
        return true;
    }
    line = trim(splitComment(line, out.comment));
    if (line == "-") {
        out.deletion = true;
        return true;
    }
    if (startsWithNoCase(line, "dword:")) {
        uint32_t bits = 0;
        if (!parseHexNumber(trim(line.substr(6)), bits))
            return false;
        out.value.type = REG_DWORD;
        out.value.data = {char(bits), char(bits >> 8), char(bits >> 16), char(bits >> 24)};
        return true;
    }
    if (!startsWithNoCase(line, "hex"))
        return false;
    line.remove_prefix(3);
    out.value.type = 3; // REG_BINARY, the type of a plain hex: value
    if (!line.empty() && line.front() == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos ||
            !parseHexNumber(line.substr(1, close - 1), out.value.type))
            return false;
        line.remove_prefix(close + 1);
    }
    if (line.empty() || line.front() != ':')
        return false;
    std::string bytes(line.substr(1));
    while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        // A blank line ends the value, whatever the line before promised.
        if (first + out.lines >= lines.size())
            return false;
        const std::string_view more =
            trim(splitComment(trim(lines[first + out.lines++]), out.comment));
        if (more.empty())
            return false;
        bytes += more;
    }
    return parseHexBytes(bytes, out.value.data);
}

} // namespace syntax

} // namespace RegistryManagement
