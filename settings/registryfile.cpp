#include "settings/registryfile.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
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

// What tells one version of the file from another without reading it.
struct Stamp
{
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modified = 0; // nanoseconds
    int64_t changed = 0;
    bool operator==(const Stamp &) const = default;
};

// Times of files change in steps (a few milliseconds here, two seconds on FAT); a file read
// less than this after its last change may change again without its times moving.
constexpr int64_t SETTLED_NS = 2'000'000'000;

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

Stamp stampOf(const struct stat &st)
{
    return {uint64_t(st.st_dev),
            uint64_t(st.st_ino),
            uint64_t(st.st_size),
            int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

// The file's status without opening it: a FIFO or a device at the store's path is never
// opened by a read.
int statFile(const std::string &file, Stamp &out)
{
    struct stat st
    {
    };
    if (::stat(file.c_str(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EISDIR;
    out = stampOf(st);
    return 0;
}

Stamp stampOf(const std::string &, const StoreFile &read)
{
    return stampOf(read.info);
}

int64_t nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
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

int statFile(const std::string &file, Stamp &out)
{
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || status.type() == std::filesystem::file_type::not_found)
        return ENOENT;
    if (status.type() != std::filesystem::file_type::regular)
        return EISDIR;
    out = {};
    out.size = std::filesystem::file_size(file, ec);
    out.modified = std::filesystem::last_write_time(file, ec).time_since_epoch().count();
    return ec ? EIO : 0;
}

Stamp stampOf(const std::string &file, const StoreFile &)
{
    Stamp out;
    statFile(file, out);
    return out;
}

int64_t nowNs()
{
    return std::filesystem::file_time_type::clock::now().time_since_epoch().count();
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

} // namespace

struct StoreCache
{
    std::string path; // the store's path it was read through
    bool exists = false;
    Stamp stamp;
    bool settled = false; // read long enough after its last change to trust its stamp
    std::string bytes;
    std::optional<StoreDocument> doc; // nullopt: no settings file at all
    StoreTree tree;
};

namespace {

// A file that is no settings file holds no keys for readers.
std::unique_ptr<StoreCache> parsed(const std::string &path, StoreFile &read)
{
    auto cache = std::make_unique<StoreCache>();
    cache->path = path;
    cache->exists = read.exists;
    if (read.exists)
        cache->doc = StoreDocument::parse(read.bytes);
    else
        cache->doc.emplace();
    if (cache->doc)
        cache->tree = cache->doc->tree();
    cache->bytes = std::move(read.bytes);
    return cache;
}

// Sets `write` when the document is to be saved; a status other than 0 saves nothing. `tree`
// is the document's tree, to be kept up to date by the change.
using Change = std::function<int32_t(StoreDocument &, StoreTree &, bool &write)>;

// One save: under the lock, read the file as it is now, let `change` edit it, replace the file.
// The parsed copy in `cache` serves when the file is still byte for byte what it holds.
int32_t updateStore(const std::string &file, std::unique_ptr<StoreCache> &cache,
                    const Change &change)
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
    // Taken out while it is changed: a save that fails half-way leaves no copy behind that
    // differs from the file.
    std::unique_ptr<StoreCache> work = std::move(cache);
    if (!work || work->path != file || work->exists != current.exists ||
        work->bytes != current.bytes) {
        std::string bytes = current.bytes;
        work = parsed(file, current);
        current.bytes = std::move(bytes);
    }
    const bool foreign = !work->doc;
    if (foreign) {
        work->doc.emplace();
        work->tree = {};
    }
    bool write = false;
    if (const int32_t rc = change(*work->doc, work->tree, write); rc != 0 || !write) {
        if (rc == 0 && !foreign)
            cache = std::move(work); // unchanged, and still the file
        return rc;
    }

    if (current.exists && !mayWrite(target, current))
        return ERROR_ACCESS_DENIED;
    if (foreign) {
        if (const int err = moveAside(target))
            return errorFromErrno(err);
    }
    removeLeftovers(target);
    std::string bytes = work->doc->bytes();
    if (const int err = replaceFile(target, bytes, current))
        return errorFromErrno(err);
    // Just written, so not trusted by its stamp alone; the next read compares it.
    work->exists = true;
    work->bytes = std::move(bytes);
    work->settled = false;
    if (statFile(file, work->stamp) == 0)
        cache = std::move(work);
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

FileBackend::~FileBackend() = default;

int32_t FileBackend::current(StoreTree *&tree)
{
    tree = nullptr;
    const std::string path = file();
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    Stamp now;
    int err = statFile(path, now);
    if (err == 0 && m_cache && m_cache->exists && m_cache->settled && m_cache->path == path &&
        m_cache->stamp == now) {
        tree = &m_cache->tree;
        return 0;
    }
    const int64_t readAt = nowNs();
    StoreFile read;
    if (err == 0)
        err = readWholeFile(path, read);
    if (err == ENOENT) {
        // No file holds no keys.
        m_cache = std::make_unique<StoreCache>();
        m_cache->path = path;
        m_cache->doc.emplace();
        tree = &m_cache->tree;
        return 0;
    }
    if (err != 0)
        return errorFromErrno(err);
    const Stamp stamp = stampOf(path, read);
    if (!m_cache || m_cache->path != path || !m_cache->exists || m_cache->bytes != read.bytes)
        m_cache = parsed(path, read);
    m_cache->stamp = stamp;
    m_cache->settled = readAt - stamp.modified >= SETTLED_NS;
    tree = &m_cache->tree;
    return 0;
}

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
    StoreTree *tree = nullptr;
    if (const int32_t rc = resolve(root, path, full))
        return rc;
    if (const int32_t rc = current(tree))
        return rc;
    if (!full.empty() && !tree->findKey(full))
        return ERROR_FILE_NOT_FOUND;
    out = remember(std::move(full));
    return 0;
}

int32_t FileBackend::createKey(KeyHandle root, const std::string &path, KeyHandle &out)
{
    out = 0;
    std::string full;
    StoreTree *tree = nullptr;
    if (const int32_t rc = resolve(root, path, full))
        return rc;
    if (const int32_t rc = current(tree))
        return rc;
    // Most calls find the key there already and need no lock.
    if (!full.empty() && !tree->findKey(full)) {
        const int32_t rc =
            updateStore(file(), m_cache, [&](StoreDocument &doc, StoreTree &now, bool &write) {
                write = !now.findKey(full);
                if (write)
                    doc.addKey(full, now);
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
    StoreTree *tree = nullptr;
    if (const int32_t rc = current(tree))
        return rc;
    StoreKey *stored = tree->findKey(it->second);
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
    return updateStore(file(), m_cache,
                       [&](StoreDocument &doc, StoreTree &tree, bool &write) -> int32_t {
        if (path.empty())
            doc.addKey(path, tree); // the root, on the first value stored there
        else if (!tree.findKey(path))
            return ERROR_KEY_DELETED;
        doc.setValue(path, std::move(value), tree);
        write = true;
        return 0;
    });
}

int32_t FileBackend::closeKey(KeyHandle key)
{
    return m_open.erase(key) ? 0 : ERROR_INVALID_HANDLE;
}

} // namespace RegistryManagement
