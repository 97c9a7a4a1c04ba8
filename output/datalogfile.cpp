#include "output/datalogfile.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tervalo {

namespace {

// What must go in front of the record so that it starts on a line of its own, given the file's
// last byte (none for an empty or new file).
QByteArray mendingFor(int lastByte)
{
    if (lastByte < 0 || lastByte == '\n')
        return {};
    // An earlier record that was cut right after its carriage return needs only the line feed.
    return lastByte == '\r' ? QByteArrayLiteral("\n") : QByteArrayLiteral("\r\n");
}

} // namespace

#ifdef Q_OS_WIN

int appendLogRecord(const QString &fileName, const QByteArray &record)
{
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(fileName.utf16()),
                              FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return int(GetLastError());

    int lastByte = -1;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        const quint64 offset = quint64(size.QuadPart - 1);
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        char c = 0;
        DWORD got = 0;
        if (ReadFile(file, &c, 1, &got, &at) && got == 1)
            lastByte = uchar(c);
    }

    const QByteArray line = mendingFor(lastByte) + record;
    DWORD written = 0;
    DWORD error = 0;
    if (!WriteFile(file, line.constData(), DWORD(line.size()), &written, nullptr))
        error = GetLastError();
    else if (written != DWORD(line.size()))
        error = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file))
        error = GetLastError();
    if (!CloseHandle(file) && error == 0)
        error = GetLastError();
    return int(error);
}

#else

int appendLogRecord(const QString &fileName, const QByteArray &record)
{
    const QByteArray path = QFile::encodeName(fileName);
    // Reading the last byte needs read access; a file the user may only write to still takes
    // records, just without the check.
    int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool readable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;

    int lastByte = -1;
    struct stat info {};
    if (readable && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        unsigned char c = 0;
        if (::pread(fd, &c, 1, info.st_size - 1) == 1)
            lastByte = c;
    }

    const QByteArray line = mendingFor(lastByte) + record;
    int error = 0;
    qsizetype done = 0;
    // One write does it; the loop only continues after the system took part of it (a nearly
    // full disk), and a record cut short there is mended by the next one.
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        done += n;
    }
    // A file that cannot be synced (a pipe, a device) has its data already.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    // Some file systems (network shares) report a failed write only when the file is closed.
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

#endif

} // namespace tervalo
