#include "tools/portlink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tervalo::sim {

namespace {

QString describeErrno()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Makes the folder if it is missing and checks it belongs to us. A folder below the shared
// temporary directory could have been planted by someone else, hence the owner check; stat()
// follows a planted symbolic link to the folder it points to, whose owner then gives it away.
bool ownFolder(const QString &path, bool makePrivate, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2").arg(path, describeErrno());
        return false;
    }
    struct stat info
    {
    };
    const int result =
        makePrivate ? ::lstat(native.constData(), &info) : ::stat(native.constData(), &info);
    if (result != 0) {
        *error = QStringLiteral("cannot inspect %1: %2").arg(path, describeErrno());
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(path);
        return false;
    }
    if (info.st_uid != ::getuid()) {
        *error = QStringLiteral("%1 belongs to another user").arg(path);
        return false;
    }
    if (makePrivate && (info.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        *error = QStringLiteral("cannot make %1 private: %2").arg(path, describeErrno());
        return false;
    }
    return true;
}

} // namespace

bool preparePrivateFolder(const QString &folder, QString *error)
{
    QString ignored;
    QString &why = error ? *error : ignored;
    const QString clean = QDir::cleanPath(folder);
    return ownFolder(QFileInfo(clean).path(), false, &why) && ownFolder(clean, true, &why);
}

bool PortLink::announce(const QString &folder, const QString &name, const QString &target,
                        QString *error)
{
    withdraw();
    QString ignored;
    QString &why = error ? *error : ignored;
    if (!preparePrivateFolder(folder, &why))
        return false;

    const QString path = QDir::cleanPath(folder) + QLatin1Char('/') + name;
    const QByteArray nativePath = QFile::encodeName(path);
    const QByteArray nativeTarget = QFile::encodeName(target);
    // symlink() refuses to overwrite, which is what makes two simulators with the same name
    // safe: only one of them gets it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::symlink(nativeTarget.constData(), nativePath.constData()) == 0) {
            m_path = path;
            m_target = target;
            return true;
        }
        if (errno != EEXIST)
            break;
        const QFileInfo existing(path);
        if (!existing.isSymLink()) {
            why = QStringLiteral("%1 exists and is not a link").arg(path);
            return false;
        }
        if (existing.exists()) {
            why = QStringLiteral("%1 is already announced (it points to %2); pick another name "
                                 "with --link, or remove the link if no simulator owns it")
                      .arg(path, existing.symLinkTarget());
            return false;
        }
        // A dangling link is left over from a simulator that could not clean up after itself.
        ::unlink(nativePath.constData());
    }
    why = QStringLiteral("cannot create the link %1: %2").arg(path, describeErrno());
    return false;
}

void PortLink::withdraw()
{
    if (m_path.isEmpty())
        return;
    const QByteArray nativePath = QFile::encodeName(m_path);
    char buffer[4096];
    const ssize_t length = ::readlink(nativePath.constData(), buffer, sizeof buffer - 1);
    if (length >= 0 && QFile::decodeName(QByteArray(buffer, length)) == m_target)
        ::unlink(nativePath.constData());
    m_path.clear();
    m_target.clear();
}

} // namespace tervalo::sim
