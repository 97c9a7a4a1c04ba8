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
    // Cutting a failed write off again (SetEndOfFile) takes write access, not only append access.
    // With it a plain write would go where the file pointer is, so the write below names the end
    // of the file as its place, which appends just as append access alone does.
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(fileName.utf16()),
                              FILE_APPEND_DATA | FILE_WRITE_DATA | FILE_READ_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return int(GetLastError());

    // The length right before this write, taken through the same handle: what a failed write is
    // cut back to.
    int lastByte = -1;
    LARGE_INTEGER before{};
    const bool sized = GetFileSizeEx(file, &before) != 0;
    if (sized && before.QuadPart > 0) {
        OVERLAPPED at{};
        const quint64 offset = quint64(before.QuadPart - 1);
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        char c = 0;
        DWORD got = 0;
        if (ReadFile(file, &c, 1, &got, &at) && got == 1)
            lastByte = uchar(c);
    }

    const QByteArray line = mendingFor(lastByte) + record;
    OVERLAPPED atEnd{};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    DWORD error = 0;
    if (!WriteFile(file, line.constData(), DWORD(line.size()), &written, &atEnd))
        error = GetLastError();
    else if (written != DWORD(line.size()))
        error = ERROR_DISK_FULL;
    else if (!FlushFileBuffers(file))
        error = GetLastError();
    // As on the other systems: cut only a file that grew by just this write, so that another
    // program's record, appended in the meantime, is never cut with it.
    LARGE_INTEGER now{};
    if (error != 0 && sized && written > 0 && GetFileSizeEx(file, &now) &&
        now.QuadPart == before.QuadPart + LONGLONG(written) &&
        SetFilePointerEx(file, before, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
    if (!CloseHandle(file) && error == 0)
        error = GetLastError();
    return int(error);
}

#else

namespace {

// Takes a failed write back out of the file: `written` bytes that went in after `before`, the
// file's length right before the write, line end in front included.
//
// Another program appending to the same file between that length and now (a second copy logging
// to it) would lose its bytes with ours. So the file is cut only when it grew by just what this
// write put in: then all past `before` is ours. What remains is the moment between this look and
// the cut, microseconds, and only after a write that failed. A file that grew otherwise keeps the
// cut record; the next record then starts on a line of its own, as after a killed writer.
//
// The cut is not synced: the next record's sync carries it to the disk. A power cut before that
// may bring the cut record back, no worse than a writer killed mid-record.
void takeBack(int fd, off_t before, qsizetype written)
{
    struct stat now {};
    if (before < 0 || written == 0 || ::fstat(fd, &now) != 0 || now.st_size != before + written)
        return;
    while (::ftruncate(fd, before) != 0 && errno == EINTR) {
    }
}

} // namespace

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

    // The length right before this write, taken through the same descriptor: what a failed write
    // is cut back to. Only a regular file can be cut; a pipe or a device has no length to go by.
    struct stat info {};
    const off_t before = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : -1;
    int lastByte = -1;
    if (readable && before > 0) {
        unsigned char c = 0;
        if (::pread(fd, &c, 1, before - 1) == 1)
            lastByte = c;
    }

    const QByteArray line = mendingFor(lastByte) + record;
    int error = 0;
    qsizetype done = 0;
    // One write does it; the loop only continues after the system took part of it (a nearly
    // full disk, a file-size limit). What it then refuses ends the loop, and the part already in
    // is taken back.
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (n == 0) { // took nothing and gave no reason: no room, as Windows reports it
            error = ENOSPC;
            break;
        }
        done += n;
    }
    // A file that cannot be synced (a pipe, a device) has its data already.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    // A record that did not reach the disk is reported lost, so it must not stay in the file
    // either, whole or in part.
    if (error != 0)
        takeBack(fd, before, done);
    // Some file systems (network shares) report a failed write only when the file is closed.
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error;
}

#endif

} // namespace tervalo
