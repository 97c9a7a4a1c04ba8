// The text of the settings file: the current user's registry tree in the format of registry
// export files, so a person can read and edit it, e.g.
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\Software\Quillmar\Tervalo]
//     "Data Output"="r"
//     "Port No"=dword:00000000
//
// What the registry editor writes is read too: UTF-16LE with its byte-order mark as well as the
// 8-bit form, either header, HKCU for HKEY_CURRENT_USER, ';' comments on their own line or after
// a value, deletion lines ("Name"=- and [-HKEY_CURRENT_USER\Key]) and wrapped hex lines.
//
// A file is kept as its lines, not only as the tree they describe, because people edit it: a
// line the reader does not understand gives nothing (its value keeps its default) and every
// line, understood or not, is written back exactly as it was. A save changes the one line of
// the value saved, or adds it.
//
// Values keep exact bytes and registry types. A text value is written as "Name"="text" only when
// it is printable ASCII ending in its one NUL; anything else (no NUL, other bytes, binary, any
// other type) is written as hex(type):aa,bb,... so nothing is lost in the round trip.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace RegistryManagement {

struct StoreValue
{
    std::string name; // "" is the key's default value, written as @
    uint32_t type = 0;
    std::string data; // the stored bytes, a REG_SZ's NUL included
    bool operator==(const StoreValue &) const = default;
};

struct StoreKey
{
    std::string path; // below HKEY_CURRENT_USER, parts joined by '\'; "" is the root itself
    std::vector<StoreValue> values;
    bool operator==(const StoreKey &) const = default;

    // Names compare without regard to ASCII case, as in the registry.
    StoreValue *findValue(std::string_view name);
    void setValue(StoreValue value);
    void removeValue(std::string_view name);
};

// Every key with all of its parents before it, in the order they appear in the file.
struct StoreTree
{
    std::vector<StoreKey> keys;
    bool operator==(const StoreTree &other) const { return keys == other.keys; }

    // By hash: an export of a whole hive has tens of thousands of keys, and every path part of
    // every key line is looked up. The index follows `keys` even when callers change the vector
    // themselves; it is checked against the key it points to on every lookup.
    StoreKey *findKey(std::string_view path);
    // Adds the key and every missing parent; returns the key.
    StoreKey &ensureKey(std::string_view path);
    // Removes the key and everything below it.
    void removeKey(std::string_view path);

private:
    void reindex();
    std::unordered_map<std::string, size_t> m_index; // ASCII-lowered path -> position in keys
};

// How a file holds text: the registry editor reads a file with a byte-order mark as UTF-16, any
// other as the system's code page, which for these files is Windows-1252 (what the editor of a
// Western system assumes; an 8-bit file has no way to say otherwise). In a
// "Windows Registry Editor Version 5.00" file hex(1): holds UTF-16LE bytes, in a REGEDIT4 file
// code-page bytes. Inside the store texts are UTF-8, this system's encoding.
enum class FileText { Utf16, Ansi, Ansi4 };

// One line of the file, or the several lines of one wrapped hex value.
struct StoreLine
{
    enum class Kind {
        Other, // blank, comment, not understood, or a value outside the current user's tree
        Header,
        Key,
        KeyDeletion,
        Value,
        ValueDeletion,
    };
    Kind kind = Kind::Other;
    std::string text;    // as in the file, less the final '\n'; inner '\n's for a wrapped value
    std::string key;     // the key the line names (Key, KeyDeletion) or is in (the value lines)
    StoreValue value;    // Value; ValueDeletion has only the name
    std::string comment; // a "; ..." after a value, kept when the value changes
    bool crEnd = false;  // the line ended with a CR alone (old Mac editors), not with an LF
};

class StoreDocument
{
public:
    // An empty file.
    StoreDocument();

    // nullopt when the bytes are no settings file at all: binary (a NUL, in either encoding),
    // or text of which no line is a header, key or value line. An empty file, or one of blank
    // lines and comments only, is an empty settings file.
    static std::optional<StoreDocument> parse(std::string_view bytes);

    // The file again, in the encoding it was read in: the bytes parse() was given, plus the
    // changes made since.
    std::string bytes() const;

    // What the lines say, read top to bottom as the registry editor would import them.
    StoreTree tree() const;

    // Adds a section for the key unless the tree has the key already.
    void addKey(std::string_view path);
    // Changes the line that gives the value now, or adds one to the key's last section (adding
    // the section when there is none after the key's last deletion).
    void setValue(std::string_view key, StoreValue value);
    // The same, with `tree` (this document's tree()) kept up to date instead of worked out
    // afresh: a save into a large file then costs one pass over its lines.
    void addKey(std::string_view path, StoreTree &tree);
    void setValue(std::string_view key, StoreValue value, StoreTree &tree);

    bool utf16() const { return m_utf16; }

private:
    void insertLine(size_t at, StoreLine line);
    size_t appendSection(std::string_view path);
    // Text that an 8-bit file cannot hold in its code page turns the file into UTF-16.
    void convertToUtf16();
    FileText fileText() const;
    std::string valueLine(const StoreValue &value);

    std::vector<StoreLine> m_lines;
    std::string m_mark; // the byte-order mark the file began with, if any
    bool m_utf16 = false;
    std::string m_tail;  // an odd last byte of a UTF-16 file, given back as it was
    bool m_crlf = false; // new lines end as the file's first line does
    bool m_cr = false;   // ... which may be a CR alone
    bool m_regedit4 = false; // the older header: no UTF-16, 8-bit texts in hex(1) as well
};

// The values of a store file as parse() and tree() read them.
std::optional<StoreTree> parseStoreText(std::string_view bytes);


// The line that stores a value, as a fresh file would have it (8-bit, version 5).
std::string formatValueLine(const StoreValue &value);
// As a file of that kind holds it. Without `line`, a value that such a file cannot show as text
// (a text beyond Windows-1252 in an 8-bit version 5 file) answers false: the file must become
// UTF-16 first.
bool formatValueLine(const StoreValue &value, FileText file, std::string &line);

// Key names are non-empty and can't hold a line break, or the file could not show them.
bool validKeyPath(std::string_view path);
bool hasControl(std::string_view s);

} // namespace RegistryManagement
