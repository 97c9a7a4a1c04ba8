#include "settings/registryfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#ifdef _WIN32
#include <fstream>
#include <random>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace RegistryManagement {

namespace {

// The Win32 error codes the file answers with, so callers see what the registry would say.
constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t ERROR_PATH_NOT_FOUND = 3;
constexpr int32_t ERROR_ACCESS_DENIED = 5;
constexpr int32_t ERROR_INVALID_HANDLE = 6;
constexpr int32_t ERROR_INVALID_PARAMETER = 87;
constexpr int32_t ERROR_DISK_FULL = 112;
constexpr int32_t ERROR_BAD_PATHNAME = 161;
constexpr int32_t ERROR_MORE_DATA = 234;
constexpr int32_t ERROR_KEY_DELETED = 1018;
constexpr int32_t ERROR_IO_DEVICE = 1117;

constexpr std::string_view HEADER = "Windows Registry Editor Version 5.00";
constexpr std::string_view OLD_HEADER = "REGEDIT4";
constexpr std::string_view ROOT_NAME = "HKEY_CURRENT_USER";

std::string g_storeFile;

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
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool hasControl(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20)
            return true;
    return false;
}

// Key names are non-empty and can't hold a line break, or the file could not show them.
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

class LineReader
{
public:
    explicit LineReader(std::string_view text) : m_text(text) {}

    bool next(std::string_view &line)
    {
        if (m_pos > m_text.size())
            return false;
        size_t end = m_text.find('\n', m_pos);
        if (end == std::string_view::npos)
            end = m_text.size();
        line = trim(m_text.substr(m_pos, end - m_pos));
        m_pos = end + 1;
        return true;
    }

private:
    std::string_view m_text;
    size_t m_pos = 0;
};

bool parseKeyHeader(std::string_view line, std::string &path)
{
    if (line.size() < 2 || line.back() != ']')
        return false;
    std::string_view inner = line.substr(1, line.size() - 2);
    if (!startsWithNoCase(inner, ROOT_NAME))
        return false;
    inner.remove_prefix(ROOT_NAME.size());
    if (inner.empty()) {
        path.clear();
        return true;
    }
    if (inner.front() != '\\' || !validKeyPath(inner.substr(1)))
        return false;
    path = inner.substr(1);
    return true;
}

// One value line, and for wrapped hex data the lines that continue it.
bool parseValue(std::string_view line, LineReader &lines, StoreValue &value)
{
    if (!line.empty() && line.front() == '@') {
        line.remove_prefix(1);
    } else if (!parseQuoted(line, value.name)) {
        return false;
    }
    line = trim(line);
    if (line.empty() || line.front() != '=')
        return false;
    line = trim(line.substr(1));

    if (!line.empty() && line.front() == '"') {
        std::string text;
        if (!parseQuoted(line, text) || !trim(line).empty())
            return false;
        value.type = REG_SZ;
        value.data = std::move(text);
        value.data.push_back('\0');
        return true;
    }
    if (startsWithNoCase(line, "dword:")) {
        uint32_t bits = 0;
        if (!parseHexNumber(trim(line.substr(6)), bits))
            return false;
        value.type = REG_DWORD;
        value.data = {char(bits), char(bits >> 8), char(bits >> 16), char(bits >> 24)};
        return true;
    }
    if (!startsWithNoCase(line, "hex"))
        return false;
    line.remove_prefix(3);
    value.type = 3; // REG_BINARY, the type of a plain hex: value
    if (!line.empty() && line.front() == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos ||
            !parseHexNumber(line.substr(1, close - 1), value.type))
            return false;
        line.remove_prefix(close + 1);
    }
    if (line.empty() || line.front() != ':')
        return false;
    std::string bytes(line.substr(1));
    while (!bytes.empty() && bytes.back() == '\\') {
        bytes.pop_back();
        std::string_view more;
        if (!lines.next(more))
            return false;
        bytes += more;
    }
    return parseHexBytes(bytes, value.data);
}

std::string parentFolder(const std::string &file)
{
    const size_t slash = file.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? file.substr(0, 1) : file.substr(0, slash);
}

int32_t errorFromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    default:
        return ERROR_IO_DEVICE;
    }
}

#ifndef _WIN32

// 0 or an errno value; ENOENT means there is no file yet.
int readWholeFile(const std::string &file, std::string &text)
{
    const int fd =
        ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); // a FIFO must not hang us
    if (fd < 0)
        return errno;
    struct stat st
    {
    };
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EISDIR;
    char buffer[8192];
    while (err == 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, size_t(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            err = errno;
    }
    ::close(fd);
    return err;
}

int makeFolders(const std::string &folder)
{
    struct stat st
    {
    };
    for (size_t end = 1; end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != '/')
            continue;
        const std::string part = folder.substr(0, end);
        if (::stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        // Settings are the user's own business; new folders are private.
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Writes a complete new file beside the old one and renames it over, so a crash at any moment
// leaves either the old file or the new one, never a torn mix.
int replaceFile(std::string file, const std::string &text)
{
    // Keep a linked settings file linked (dotfile managers link ~/.config entries).
    struct stat st
    {
    };
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char *real = ::realpath(file.c_str(), nullptr)) {
            file = real;
            std::free(real);
        }
    }
    const std::string folder = parentFolder(file);
    if (const int err = makeFolders(folder))
        return err;

    std::string temp = file + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return errno;
    int err = 0;
    for (size_t done = 0; err == 0 && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n >= 0)
            done += size_t(n);
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), file.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    // The rename itself must reach the disk too, or a power cut could bring the old file back.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

#else

// On Windows the settings live in the registry; the file store serves the tests there, so the
// standard library's calls are enough.
int readWholeFile(const std::string &file, std::string &text)
{
    std::error_code ec;
    if (!std::filesystem::exists(file, ec))
        return ENOENT;
    if (!std::filesystem::is_regular_file(file, ec))
        return EISDIR;
    std::ifstream in(file, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? EIO : 0;
}

int replaceFile(const std::string &file, const std::string &text)
{
    std::error_code ec;
    std::filesystem::create_directories(parentFolder(file), ec);
    const std::string temp = file + ".tmp-" + std::to_string(std::random_device{}());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::filesystem::remove(temp, ec);
            return EIO;
        }
    }
    std::filesystem::rename(temp, file, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return EACCES;
    }
    return 0;
}

#endif

// A missing or damaged file is an empty tree. Returns 0, or an error code when the file is
// there but cannot be read; writers must then leave it alone rather than replace it.
int32_t loadTree(const std::string &file, StoreTree &tree)
{
    tree = {};
    if (file.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string text;
    const int err = readWholeFile(file, text);
    if (err == ENOENT)
        return 0;
    if (err != 0)
        return errorFromErrno(err);
    if (auto parsed = parseStoreText(text))
        tree = std::move(*parsed);
    return 0;
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

StoreKey *StoreTree::findKey(std::string_view path)
{
    for (StoreKey &key : keys)
        if (equalsNoCase(key.path, path))
            return &key;
    return nullptr;
}

StoreKey &StoreTree::ensureKey(std::string_view path)
{
    for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
        const std::string_view part = path.substr(0, end);
        if (!findKey(part))
            keys.push_back({std::string(part), {}});
        if (end == std::string_view::npos)
            break;
    }
    return *findKey(path);
}

std::optional<StoreTree> parseStoreText(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF") // a UTF-8 mark some editors put in front
        text.remove_prefix(3);
    StoreTree tree;
    LineReader lines(text);
    bool headerSeen = false;
    StoreKey *key = nullptr;
    std::string_view line;
    while (lines.next(line)) {
        if (line.empty() || line.front() == ';')
            continue;
        if (!headerSeen) {
            if (!equalsNoCase(line, HEADER) && !equalsNoCase(line, OLD_HEADER))
                return std::nullopt;
            headerSeen = true;
        } else if (line.front() == '[') {
            std::string path;
            if (!parseKeyHeader(line, path))
                return std::nullopt;
            key = &tree.ensureKey(path);
        } else {
            StoreValue value;
            if (!key || !parseValue(line, lines, value))
                return std::nullopt;
            key->setValue(std::move(value));
        }
    }
    return tree;
}

std::string formatStoreText(const StoreTree &tree)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(HEADER);
    out += '\n';
    for (const StoreKey &key : tree.keys) {
        out += "\n[";
        out += ROOT_NAME;
        if (!key.path.empty()) {
            out += '\\';
            out += key.path;
        }
        out += "]\n";
        for (const StoreValue &value : key.values) {
            if (value.name.empty())
                out += '@';
            else
                appendQuoted(out, value.name);
            out += '=';
            if (showsAsText(value)) {
                appendQuoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
            } else if (value.type == uint32_t(REG_DWORD) && value.data.size() == 4) {
                out += "dword:";
                for (int i = 3; i >= 0; --i) {
                    const auto byte = static_cast<unsigned char>(value.data[size_t(i)]);
                    out += digits[byte >> 4];
                    out += digits[byte & 15];
                }
            } else {
                if (value.type == 3) {
                    out += "hex:";
                } else {
                    char type[16];
                    std::snprintf(type, sizeof type, "hex(%x):", unsigned(value.type));
                    out += type;
                }
                for (size_t i = 0; i < value.data.size(); ++i) {
                    const auto byte = static_cast<unsigned char>(value.data[i]);
                    if (i > 0)
                        out += ',';
                    out += digits[byte >> 4];
                    out += digits[byte & 15];
                }
            }
            out += '\n';
        }
    }
    return out;
}

std::string defaultStoreFile()
{
    std::string base;
    const char *config = std::getenv("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is to be ignored, so a program started elsewhere finds the same
    // file.
    if (config && *config && std::filesystem::path(config).is_absolute()) {
        base = config;
    } else {
        const char *home = std::getenv("HOME");
#ifndef _WIN32
        if (!home || !*home) {
            const passwd *user = ::getpwuid(::getuid());
            home = user ? user->pw_dir : nullptr;
        }
#endif
        if (!home || !*home)
            return {};
        base = std::string(home) + "/.config";
    }
    return base + "/Quillmar/Tervalo.reg";
}

std::string storeFile()
{
    return g_storeFile.empty() ? defaultStoreFile() : g_storeFile;
}

void setStoreFile(std::string path)
{
    g_storeFile = std::move(path);
}

FileBackend::FileBackend(std::string path) : m_path(std::move(path)) {}

std::string FileBackend::file() const
{
    return m_path.empty() ? storeFile() : m_path;
}

int32_t FileBackend::resolve(KeyHandle root, const std::string &path, std::string &full) const
{
    std::string base;
    if (const auto it = m_open.find(root); it != m_open.end())
        base = it->second;
    else if (root == HKEY_LOCAL_MACHINE_ROOT)
        return ERROR_ACCESS_DENIED; // the file holds the user's own tree only
    else if (root != HKEY_CURRENT_USER_ROOT)
        return ERROR_INVALID_HANDLE;
    if (!path.empty() && !validKeyPath(path))
        return ERROR_BAD_PATHNAME;
    full = base.empty() || path.empty() ? base + path : base + '\\' + path;
    return 0;
}

KeyHandle FileBackend::remember(std::string path)
{
    const KeyHandle handle = m_next++;
    m_open.emplace(handle, std::move(path));
    return handle;
}

int32_t FileBackend::openKey(KeyHandle root, const std::string &path, KeyHandle &out)
{
    out = 0;
    std::string full;
    StoreTree tree;
    if (const int32_t rc = resolve(root, path, full))
        return rc;
    if (const int32_t rc = loadTree(file(), tree))
        return rc;
    if (!full.empty() && !tree.findKey(full))
        return ERROR_FILE_NOT_FOUND;
    out = remember(std::move(full));
    return 0;
}

int32_t FileBackend::createKey(KeyHandle root, const std::string &path, KeyHandle &out)
{
    out = 0;
    std::string full;
    StoreTree tree;
    if (const int32_t rc = resolve(root, path, full))
        return rc;
    if (const int32_t rc = loadTree(file(), tree))
        return rc;
    if (!full.empty() && !tree.findKey(full)) {
        tree.ensureKey(full);
        if (const int err = replaceFile(file(), formatStoreText(tree)))
            return errorFromErrno(err);
    }
    out = remember(std::move(full));
    return 0;
}

int32_t FileBackend::queryValue(KeyHandle key, const std::string &name, uint32_t *type,
                                uint8_t *data, uint32_t *size)
{
    const auto it = m_open.find(key);
    if (it == m_open.end())
        return ERROR_INVALID_HANDLE;
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    StoreTree tree;
    if (const int32_t rc = loadTree(file(), tree))
        return rc;
    StoreKey *stored = tree.findKey(it->second);
    if (!stored && !it->second.empty())
        return ERROR_KEY_DELETED; // removed from the file by hand while we held it open
    StoreValue *value = stored ? stored->findValue(name) : nullptr;
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    const auto needed = static_cast<uint32_t>(value->data.size());
    if (type)
        *type = value->type;
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value->data.data(), needed);
    }
    if (size)
        *size = needed;
    return 0;
}

int32_t FileBackend::setValue(KeyHandle key, const std::string &name, uint32_t type,
                              const uint8_t *data, uint32_t size)
{
    const auto it = m_open.find(key);
    if (it == m_open.end())
        return ERROR_INVALID_HANDLE;
    if (hasControl(name) || (size > 0 && !data))
        return ERROR_INVALID_PARAMETER;
    // Read the file afresh: another running instance may have saved since we last looked.
    StoreTree tree;
    if (const int32_t rc = loadTree(file(), tree))
        return rc;
    StoreKey *stored = it->second.empty() ? &tree.ensureKey({}) : tree.findKey(it->second);
    if (!stored)
        return ERROR_KEY_DELETED;
    stored->setValue(
        {name, type,
         data ? std::string(reinterpret_cast<const char *>(data), size) : std::string()});
    if (const int err = replaceFile(file(), formatStoreText(tree)))
        return errorFromErrno(err);
    return 0;
}

int32_t FileBackend::closeKey(KeyHandle key)
{
    return m_open.erase(key) ? 0 : ERROR_INVALID_HANDLE;
}

} // namespace RegistryManagement
