#include "settings/registrytext.h"

#include "settings/registrysyntax.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace RegistryManagement {

using namespace syntax;

namespace {

constexpr std::string_view UTF8_MARK = "\xEF\xBB\xBF";
constexpr std::string_view UTF16_MARK = "\xFF\xFE";

// Whether `path` is `key` itself or lies below it.
bool withinKey(std::string_view path, std::string_view key)
{
    return equalsNoCase(path, key) ||
           (path.size() > key.size() && path[key.size()] == '\\' && startsWithNoCase(path, key));
}

// Blank lines and comments say nothing about the settings.
bool saysNothing(const StoreLine &line)
{
    const std::string_view t = trim(line.text);
    return t.empty() || t.front() == ';';
}

} // namespace

StoreValue *StoreKey::findValue(std::string_view name)
{
    for (StoreValue &value : values)
        if (equalsNoCase(value.name, name))
            return &value;
    return nullptr;
}

void StoreKey::setValue(StoreValue value)
{
    if (StoreValue *old = findValue(value.name))
        *old = std::move(value);
    else
        values.push_back(std::move(value));
}

void StoreKey::removeValue(std::string_view name)
{
    std::erase_if(values, [&](const StoreValue &v) { return equalsNoCase(v.name, name); });
}

namespace {

std::string loweredAscii(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = lowerAscii(c);
    return out;
}

} // namespace

void StoreTree::reindex()
{
    m_index.clear();
    for (size_t i = 0; i < keys.size(); ++i)
        m_index.try_emplace(loweredAscii(keys[i].path), i); // the first of equal paths wins
}

StoreKey *StoreTree::findKey(std::string_view path)
{
    const std::string id = loweredAscii(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 || m_index.size() != keys.size())
            reindex();
        const auto it = m_index.find(id);
        if (it == m_index.end()) {
            if (m_index.size() == keys.size())
                return nullptr;
            continue; // equal paths pushed by hand: the index is short, look again
        }
        if (it->second < keys.size() && equalsNoCase(keys[it->second].path, path))
            return &keys[it->second];
    }
    return nullptr;
}

StoreKey &StoreTree::ensureKey(std::string_view path)
{
    StoreKey *key = nullptr;
    for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
        const std::string_view part = path.substr(0, end);
        key = findKey(part);
        if (!key) {
            keys.push_back({std::string(part), {}});
            m_index.try_emplace(loweredAscii(part), keys.size() - 1);
            key = &keys.back();
        }
        if (end == std::string_view::npos)
            break;
    }
    return *key;
}

void StoreTree::removeKey(std::string_view path)
{
    std::erase_if(keys, [&](const StoreKey &key) { return withinKey(key.path, path); });
    reindex();
}

StoreDocument::StoreDocument() : m_lines(1) {}

std::optional<StoreDocument> StoreDocument::parse(std::string_view bytes)
{
    StoreDocument doc;
    std::string text;
    if (bytes.substr(0, 2) == UTF16_MARK) {
        doc.m_mark = UTF16_MARK;
        doc.m_utf16 = true;
        bytes.remove_prefix(2);
        if (bytes.size() % 2 != 0) {
            doc.m_tail = bytes.back();
            bytes.remove_suffix(1);
        }
        text = fromUtf16(bytes);
    } else {
        if (bytes.substr(0, 3) == UTF8_MARK) {
            doc.m_mark = UTF8_MARK;
            bytes.remove_prefix(3);
        }
        text = bytes;
    }
    // No editor writes a NUL into a text file.
    if (text.find('\0') != std::string::npos)
        return std::nullopt;

    // Lines end with LF, CR LF or, from old Mac editors, a CR alone, as the registry editor
    // reads them. A CR before an LF stays part of its line's text.
    std::vector<std::string_view> lines;
    std::vector<bool> crEnds;
    for (size_t start = 0;;) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(std::string_view(text).substr(start));
            crEnds.push_back(false);
            break;
        }
        if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            lines.push_back(std::string_view(text).substr(start, end + 1 - start));
            crEnds.push_back(false);
            start = end + 2;
        } else {
            lines.push_back(std::string_view(text).substr(start, end - start));
            crEnds.push_back(text[end] == '\r');
            start = end + 1;
        }
    }
    doc.m_crlf = lines.size() > 1 && !lines.front().empty() && lines.front().back() == '\r';
    doc.m_cr = lines.size() > 1 && crEnds.front();

    doc.m_lines.clear();
    doc.m_lines.reserve(lines.size());
    std::optional<std::string> current; // the key that value lines belong to
    bool understood = false;
    bool content = false;
    bool header = false;
    for (size_t i = 0; i < lines.size();) {
        StoreLine line;
        size_t count = 1;
        const std::string_view t = trim(lines[i]);
        if (!t.empty() && t.front() != ';') {
            content = true;
            std::string path;
            ParsedValue parsed;
            if (equalsNoCase(t, HEADER) || equalsNoCase(t, OLD_HEADER)) {
                if (!header)
                    doc.m_regedit4 = equalsNoCase(t, OLD_HEADER);
                header = true;
                line.kind = StoreLine::Kind::Header;
                understood = true;
            } else if (t.front() == '[') {
                // Values after a key line that can't be read belong to no key we know.
                current.reset();
                switch (parseKeyLine(t, path)) {
                case KeyLine::Ours:
                    line.kind = StoreLine::Kind::Key;
                    current = path;
                    break;
                case KeyLine::OursDeleted:
                    line.kind = StoreLine::Kind::KeyDeletion;
                    break;
                case KeyLine::Foreign:
                case KeyLine::Bad:
                    break;
                }
                line.key = std::move(path);
                understood = understood || line.kind != StoreLine::Kind::Other;
            } else if (parseValue(lines, i, parsed)) {
                understood = true;
                count = parsed.lines;
                if (current) {
                    decodeText(parsed.value, parsed.quoted, doc.fileText());
                    line.kind =
                        parsed.deletion ? StoreLine::Kind::ValueDeletion : StoreLine::Kind::Value;
                    line.key = *current;
                    line.value = std::move(parsed.value);
                    line.comment = std::move(parsed.comment);
                }
            }
        }
        for (size_t k = i; k < i + count; ++k) {
            if (k > i)
                line.text += crEnds[k - 1] ? '\r' : '\n';
            line.text += lines[k];
        }
        line.crEnd = crEnds[i + count - 1];
        doc.m_lines.push_back(std::move(line));
        i += count;
    }
    if (content && !understood)
        return std::nullopt;
    return doc;
}

std::string StoreDocument::bytes() const
{
    std::string text;
    size_t size = 0;
    for (const StoreLine &line : m_lines)
        size += line.text.size() + 1;
    text.reserve(size);
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (i > 0)
            text += m_lines[i - 1].crEnd ? '\r' : '\n';
        text += m_lines[i].text;
    }
    return m_mark + (m_utf16 ? toUtf16(text) : text) + m_tail;
}

StoreTree StoreDocument::tree() const
{
    StoreTree tree;
    // Where each value went, so that a file of many values reads in linear time. Deletions are
    // rare; they shift positions, so the index is rebuilt after one.
    std::unordered_map<std::string, std::pair<size_t, size_t>> where;
    const auto lowered = [](std::string_view path, std::string_view name) {
        std::string id;
        id.reserve(path.size() + name.size() + 1);
        for (char c : path)
            id += lowerAscii(c);
        id += '\n';
        for (char c : name)
            id += lowerAscii(c);
        return id;
    };
    size_t values = 0;
    size_t keys = 0;
    for (const StoreLine &line : m_lines) {
        values += line.kind == StoreLine::Kind::Value;
        keys += line.kind == StoreLine::Kind::Key;
    }
    where.reserve(values);
    tree.keys.reserve(keys * 2);
    bool stale = false;
    const std::string *lastKey = nullptr; // the key of the line before, and where it is
    size_t lastIndex = 0;
    for (const StoreLine &line : m_lines) {
        switch (line.kind) {
        case StoreLine::Kind::Key:
            tree.ensureKey(line.key);
            lastKey = nullptr;
            break;
        case StoreLine::Kind::KeyDeletion:
            tree.removeKey(line.key);
            stale = true;
            lastKey = nullptr;
            break;
        case StoreLine::Kind::Value: {
            if (stale) {
                where.clear();
                for (size_t k = 0; k < tree.keys.size(); ++k)
                    for (size_t v = 0; v < tree.keys[k].values.size(); ++v)
                        where[lowered(tree.keys[k].path, tree.keys[k].values[v].name)] = {k, v};
                stale = false;
            }
            if (!lastKey || *lastKey != line.key) {
                lastIndex = size_t(&tree.ensureKey(line.key) - tree.keys.data());
                lastKey = &line.key;
            }
            StoreKey &key = tree.keys[lastIndex];
            const auto [it, added] = where.try_emplace(lowered(line.key, line.value.name),
                                                       std::pair(lastIndex, key.values.size()));
            if (added)
                key.values.push_back(line.value);
            else
                tree.keys[it->second.first].values[it->second.second] = line.value;
            break;
        }
        case StoreLine::Kind::ValueDeletion:
            if (StoreKey *key = tree.findKey(line.key))
                key->removeValue(line.value.name);
            stale = true;
            break;
        case StoreLine::Kind::Other:
        case StoreLine::Kind::Header:
            break;
        }
    }
    return tree;
}

void StoreDocument::insertLine(size_t at, StoreLine line)
{
    if (m_crlf)
        line.text += '\r';
    line.crEnd = m_cr;
    if (at < m_lines.size()) {
        m_lines.insert(m_lines.begin() + std::ptrdiff_t(at), std::move(line));
        return;
    }
    // The file ended without a line break; the last line gets one, and so does the new one.
    if (m_crlf && !m_lines.empty())
        m_lines.back().text += '\r';
    if (!m_lines.empty())
        m_lines.back().crEnd = m_cr;
    m_lines.push_back(std::move(line));
    m_lines.emplace_back();
}

size_t StoreDocument::appendSection(std::string_view path)
{
    // Only a file with nothing in it yet gets the header; an existing file's first lines are the
    // user's, whatever they say.
    if (std::all_of(m_lines.begin(), m_lines.end(), saysNothing)) {
        const bool notes = !std::all_of(m_lines.begin(), m_lines.end(),
                                        [](const StoreLine &l) { return trim(l.text).empty(); });
        if (notes)
            insertLine(0, {});
        insertLine(0, {StoreLine::Kind::Header, std::string(HEADER), {}, {}, {}});
    }
    size_t at = 0; // just past the last line that is not blank
    for (size_t i = 0; i < m_lines.size(); ++i)
        if (!trim(m_lines[i].text).empty())
            at = i + 1;
    if (at > 0)
        insertLine(at++, {});
    std::string text = "[";
    text += ROOT_NAME;
    if (!path.empty()) {
        text += '\\';
        text += path;
    }
    text += ']';
    insertLine(at, {StoreLine::Kind::Key, std::move(text), std::string(path), {}, {}});
    return at;
}

FileText StoreDocument::fileText() const
{
    return m_utf16 ? FileText::Utf16 : m_regedit4 ? FileText::Ansi4 : FileText::Ansi;
}

void StoreDocument::convertToUtf16()
{
    // Every line keeps what it says: 8-bit text was read as the code page, so it is converted
    // as the code page too.
    for (StoreLine &line : m_lines)
        line.text = ansiToUtf8(line.text);
    m_mark = UTF16_MARK;
    m_utf16 = true;
}

std::string StoreDocument::valueLine(const StoreValue &value)
{
    std::string line;
    if (!formatValueLine(value, fileText(), line)) {
        convertToUtf16();
        formatValueLine(value, fileText(), line);
    }
    return line;
}

void StoreDocument::addKey(std::string_view path)
{
    if (!tree().findKey(path))
        appendSection(path);
}

void StoreDocument::addKey(std::string_view path, StoreTree &tree)
{
    if (!tree.findKey(path)) {
        appendSection(path);
        tree.ensureKey(path);
    }
}

void StoreDocument::setValue(std::string_view key, StoreValue value, StoreTree &tree)
{
    StoreValue copy = value;
    setValue(key, std::move(value));
    tree.ensureKey(key).setValue(std::move(copy));
}

void StoreDocument::setValue(std::string_view key, StoreValue value)
{
    // The line that decides the value now: its last value or deletion line, or a later deletion
    // of its key. A name given twice is decided by its last line, as the registry editor
    // imports it, so that is the line a save changes.
    std::optional<size_t> decider;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const StoreLine &line = m_lines[i];
        const bool valueLine =
            (line.kind == StoreLine::Kind::Value || line.kind == StoreLine::Kind::ValueDeletion) &&
            equalsNoCase(line.key, key) && equalsNoCase(line.value.name, value.name);
        if (valueLine || (line.kind == StoreLine::Kind::KeyDeletion && withinKey(key, line.key)))
            decider = i;
    }
    std::string text = this->valueLine(value);
    if (decider && m_lines[*decider].kind != StoreLine::Kind::KeyDeletion) {
        StoreLine &line = m_lines[*decider];
        const bool crlf = !line.text.empty() && line.text.back() == '\r';
        line.text = std::move(text) + line.comment + (crlf ? "\r" : "");
        line.kind = StoreLine::Kind::Value;
        line.value = std::move(value);
        return;
    }
    // Otherwise the value joins the key's last section after that line, or a new one.
    std::optional<size_t> section;
    for (size_t i = decider ? *decider + 1 : 0; i < m_lines.size(); ++i)
        if (m_lines[i].kind == StoreLine::Kind::Key && equalsNoCase(m_lines[i].key, key))
            section = i;
    size_t at = section ? *section : appendSection(key);
    for (size_t i = at + 1; i < m_lines.size(); ++i) {
        const std::string_view t = trim(m_lines[i].text);
        if (m_lines[i].kind == StoreLine::Kind::Key ||
            m_lines[i].kind == StoreLine::Kind::KeyDeletion || (!t.empty() && t.front() == '['))
            break;
        if (!t.empty())
            at = i;
    }
    insertLine(at + 1,
               {StoreLine::Kind::Value, std::move(text), std::string(key), std::move(value), {}});
}

std::optional<StoreTree> parseStoreText(std::string_view bytes)
{
    auto doc = StoreDocument::parse(bytes);
    return doc ? std::optional(doc->tree()) : std::nullopt;
}

} // namespace RegistryManagement
