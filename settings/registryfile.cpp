#include "settings/registryfile.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <fstream>
#include <random>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
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
constexpr int32_t ERROR_LOCK_VIOLATION = 33;
constexpr int32_t ERROR_INVALID_PARAMETER = 87;
constexpr int32_t ERROR_DISK_FULL = 112;
constexpr int32_t ERROR_BAD_PATHNAME = 161;
constexpr int32_t ERROR_MORE_DATA = 234;
constexpr int32_t ERROR_KEY_DELETED = 1018;
constexpr int32_t ERROR_IO_DEVICE = 1117;

std::string g_storeFile;

std::string parentFolder(const std::string &file)
{
    const size_t slash = file.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? file.substr(0, 1) : file.substr(0, slash);
}

std::string baseName(const std::string &file)
{
    const size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? file : file.substr(slash + 1);
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
    case EWOULDBLOCK:
        return ERROR_LOCK_VIOLATION;
    default:
        return ERROR_IO_DEVICE;
    }
}

// The store file as a save or a read found it.
struct StoreFile
{
    bool exists = false;
    std::string bytes;
#ifndef _WIN32
    struct stat info
    {
    };
#endif
};

// A file that is no settings file at all may be something the user wants back (a file saved
// over the store by mistake, a half-restored backup): it is kept beside the store under a name
// that says when it was put aside. Returns 0 or an errno value.
int moveAside(const std::string &target)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = target + ".bad-" + stamp;
    std::string name = base;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(name, ec) || ec; ++n) {
        if (ec || n > 100)
            return EEXIST;
        name = base + '-' + std::to_string(n);
    }
    std::filesystem::rename(target, name, ec);
    return ec ? EACCES : 0;
}

// A save killed half-way leaves its temporary file behind. While a save holds the lock no other
// save is writing one, so whatever is there is left over.
void removeLeftovers(const std::string &target)
{
    namespace fs = std::filesystem;
    try {
        const std::string prefix = baseName(target) + ".tmp-";
        std::error_code ec;
        std::vector<fs::path> stale;
        for (fs::directory_iterator it(parentFolder(target), ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.compare(0, prefix.size(), prefix) == 0 &&
                it->symlink_status(ec).type() == fs::file_type::regular)
                stale.push_back(it->path());
        }
        for (const fs::path &file : stale)
            fs::remove(file, ec);
    } catch (...) {
        // A name the system cannot convert is no temporary file of ours; the save goes on.
    }
}

#ifndef _WIN32

// 0 or an errno value; ENOENT means there is no file yet.
int readWholeFile(const std::string &file, StoreFile &out)
{
    const int fd =
        ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); // a FIFO must not hang us
    if (fd < 0)
        return errno;
    int err = 0;
    if (::fstat(fd, &out.info) != 0)
        err = errno;
    else if (!S_ISREG(out.info.st_mode))
        err = EISDIR;
    char buffer[8192];
    while (err == 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            out.bytes.append(buffer, size_t(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            err = errno;
    }
    ::close(fd);
    out.exists = err == 0;
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

// The file a save replaces: the store itself, or the file its link leads to, so that a linked
// settings file (dotfile managers link ~/.config entries) stays linked. Missing folders are
// made for the store's own path only; a link into a folder that is gone is left alone.
int resolveTarget(const std::string &file, std::string &target)
{
    target = file;
    bool linked = false;
    for (int hops = 0;; ++hops) {
        struct stat st
        {
        };
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return errno;
            break;
        }
        if (!S_ISLNK(st.st_mode))
            return S_ISREG(st.st_mode) ? 0 : EISDIR;
        char next[4096];
        const ssize_t n = ::readlink(target.c_str(), next, sizeof next);
        if (n < 0)
            return errno;
        if (hops == 40 || size_t(n) == sizeof next)
            return ELOOP;
        const std::string link(next, size_t(n));
        target = link.front() == '/' ? link : parentFolder(target) + '/' + link;
        linked = true;
    }
    if (!linked)
        return makeFolders(parentFolder(target));
    struct stat folder
    {
    };
    const bool there = ::stat(parentFolder(target).c_str(), &folder) == 0;
    return there && S_ISDIR(folder.st_mode) ? 0 : ENOENT;
}

// Held for a save's whole read-change-write, so that two copies of Tervalo saving at once do
// not each write back a file without the other's value.
class StoreLock
{
public:
    StoreLock() = default;
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    ~StoreLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }

    int acquire(const std::string &file)
    {
        // Readable by all, so that one left by another user (root, say) still serves to lock;
        // it never holds anything.
        m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (m_fd < 0 && errno == EACCES)
            m_fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (m_fd < 0)
            return errno;
        // A save takes milliseconds; a copy stopped in the middle of one (a debugger, a frozen
        // network folder) must cost this one its save, not its window.
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + seconds(10);
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return errno;
            if (steady_clock::now() > deadline)
                return EWOULDBLOCK;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return 0;
    }

private:
    int m_fd = -1;
};

// The mode bits decide, for root too (whom access() lets write anything): a settings file with
// no write bit was made read-only on purpose.
bool mayWrite(const std::string &target, const StoreFile &old)
{
    return (old.info.st_mode & 0222) != 0 &&
           ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

// Writes a complete new file beside the old one and renames it over, so a crash at any moment
// leaves either the old file or the new one, never a torn mix. The new file gets the old one's
// owner (where we may give it) and mode.
int replaceFile(const std::string &target, const std::string &text, const StoreFile &old)
{
    std::string temp = target + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return errno;
    int err = 0;
    if (old.exists) {
        if (::fchown(fd, old.info.st_uid, old.info.st_gid) != 0 && errno != EPERM)
            err = errno;
        if (err == 0 && ::fchmod(fd, old.info.st_mode & 07777) != 0)
            err = errno;
    }
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
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    // The rename itself must reach the disk too, or a power cut could bring the old file back.
    const int dir = ::open(parentFolder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

#else

// On Windows the settings live in the registry; the file store serves the tests there, so the
// standard library's calls are enough, and one process saves at a time.
int readWholeFile(const std::string &file, StoreFile &out)
{
    std::error_code ec;
    if (!std::filesystem::exists(file, ec))
        return ENOENT;
    if (!std::filesystem::is_regular_file(file, ec))
        return EISDIR;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return EACCES;
    out.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        return EIO;
    out.exists = true;
    return 0;
}

int resolveTarget(const std::string &file, std::string &target)
{
    target = file;
    std::error_code ec;
    if (std::filesystem::exists(file, ec) && !std::filesystem::is_regular_file(file, ec))
        return EISDIR;
    std::filesystem::create_directories(parentFolder(file), ec);
    return std::filesystem::is_directory(parentFolder(file), ec) ? 0 : ENOTDIR;
}

class StoreLock
{
public:
    int acquire(const std::string &) { return 0; }
};

bool mayWrite(const std::string &target, const StoreFile &)
{
    std::error_code ec;
    const auto perms = std::filesystem::status(target, ec).permissions();
    return !ec && (perms & std::filesystem::perms::owner_write) != std::filesystem::perms::none;
}

int replaceFile(const std::string &target, const std::string &text, const StoreFile &)
{
    std::error_code ec;
    const std::string temp = target + ".tmp-" + std::to_string(std::random_device{}());
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
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return EACCES;
    }
    return 0;
}

#endif

// The store as readers see it: no file, or a file that is no settings file, holds no keys.
// Returns 0, or an error code when the file is there but cannot be read.
int32_t loadTree(const std::string &file, StoreTree &tree)
{
    tree = {};
    if (file.empty())
        return ERROR_PATH_NOT_FOUND;
    StoreFile current;
    const int err = readWholeFile(file, current);
    if (err == ENOENT)
        return 0;
    if (err != 0)
        return errorFromErrno(err);
    if (auto parsed = parseStoreText(current.bytes))
        tree = std::move(*parsed);
    return 0;
}

// Sets `write` when the document is to be saved; a status other than 0 saves nothing.
using Change = std::function<int32_t(StoreDocument &, bool &write)>;

// One save: under the lock, read the file as it is now, let `change` edit it, replace the file.
int32_t updateStore(const std::string &file, const Change &change)
{
    if (file.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string target;
    if (const int err = resolveTarget(file, target))
        return errorFromErrno(err);
    StoreLock lock;
    if (const int err = lock.acquire(target + ".lock"))
        return errorFromErrno(err);

    StoreFile current;
    if (const int err = readWholeFile(target, current); err != 0 && err != ENOENT)
        return errorFromErrno(err); // unreadable: left as it is, whatever it holds
    std::optional<StoreDocument> doc =
        current.exists ? StoreDocument::parse(current.bytes) : StoreDocument();
    const bool foreign = !doc;
    if (foreign)
        doc.emplace();
    bool write = false;
    if (const int32_t rc = change(*doc, write); rc != 0 || !write)
        return rc;

    if (current.exists && !mayWrite(target, current))
        return ERROR_ACCESS_DENIED;
    if (foreign) {
        if (const int err = moveAside(target))
            return errorFromErrno(err);
    }
    removeLeftovers(target);
    if (const int err = replaceFile(target, doc->bytes(), current))
        return errorFromErrno(err);
    return 0;
}

} // namespace

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
    // Most calls find the key there already and need no lock.
    if (!full.empty() && !tree.findKey(full)) {
        const int32_t rc = updateStore(file(), [&](StoreDocument &doc, bool &write) {
            write = !doc.tree().findKey(full);
            if (write)
                doc.addKey(full);
            return 0;
        });
        if (rc != 0)
            return rc;
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
    const std::string &path = it->second;
    StoreValue value{
        name, type, data ? std::string(reinterpret_cast<const char *>(data), size) : std::string()};
    // The file is read afresh under the lock: another running copy may have saved since we
    // last looked.
    return updateStore(file(), [&](StoreDocument &doc, bool &write) -> int32_t {
        if (path.empty())
            doc.addKey(path); // the root, on the first value stored there
        else if (!doc.tree().findKey(path))
            return ERROR_KEY_DELETED;
        doc.setValue(path, std::move(value));
        write = true;
        return 0;
    });
}

int32_t FileBackend::closeKey(KeyHandle key)
{
    return m_open.erase(key) ? 0 : ERROR_INVALID_HANDLE;
}

} // namespace RegistryManagement
