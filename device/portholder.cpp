#include "device/portholder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace tervalo {

namespace {

// The lock folders, in the order Qt's serial port tries them: it takes the first it may write
// to, and that depends on who runs it, so a holder can have its lock in any of them.
const char *const lockFolders[] = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                   "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"};

// "LCK..ttyUSB0" for /dev/ttyUSB0; a device outside /dev keeps its whole path, its slashes made
// underscores ("LCK.._run_user_1000_tervalo_card").
QString lockName(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

std::optional<qint64> lockOwner(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = file.read(64);
    // Qt writes the number as text on the first line; the UUCP convention as ten characters
    // padded with blanks, or as a binary int on old systems.
    bool ok = false;
    const qint64 pid = content.split('\n').value(0).trimmed().toLongLong(&ok);
    if (ok && pid > 0)
        return pid;
    if (content.size() == sizeof(int)) {
        int binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        if (binary > 0)
            return binary;
    }
    return std::nullopt;
}

} // namespace

std::optional<PortHolder> portHolder(const QString &device)
{
    QStringList names{lockName(device)};
    // Held under its own name, or through a link to it (a by-id link, a simulator's link).
    const QString target = QFileInfo(device).canonicalFilePath();
    if (!target.isEmpty() && target != device)
        names << lockName(target);
    for (const char *folder : lockFolders) {
        for (const QString &name : names) {
            const std::optional<qint64> pid = lockOwner(QDir(QLatin1String(folder)).filePath(name));
            if (!pid || *pid == QCoreApplication::applicationPid())
                continue;
            const QString proc = QStringLiteral("/proc/%1").arg(*pid);
            if (!QFileInfo::exists(proc))
                continue;
            QFile comm(proc + QStringLiteral("/comm"));
            QString command;
            if (comm.open(QIODevice::ReadOnly))
                command = QString::fromLocal8Bit(comm.readAll()).trimmed();
            return PortHolder{*pid, command};
        }
    }
    return std::nullopt;
}

QString holderText(const PortHolder &holder)
{
    return holder.name.isEmpty() ? QStringLiteral("held by process %1").arg(holder.pid)
                                 : QStringLiteral("held by process %1 (%2)").arg(holder.pid).arg(holder.name);
}

} // namespace tervalo
