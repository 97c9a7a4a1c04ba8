#include "device/portnumbering.h"

#include "device/simulatorfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tervalo {

namespace {
bool systemPortsListed = true;

#ifndef Q_OS_WIN
// Whether a folder is this user's own and nobody else may put anything into it. Not followed
// through a symbolic link: a link planted in its place belongs to whoever planted it.
bool privateFolder(const QString &path)
{
    struct stat info
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 022) == 0;
}

// The folder the simulators announce themselves in, when it can be trusted. Below the user's
// runtime directory it is private by construction. The fallback below the shared temporary
// folder has a name anyone can guess: another user could create it first and plant links that
// shift every port number, so it counts only while it and the folder above it are ours alone.
QString trustedSimulatorLinkFolder()
{
    const QString folder = simulatorLinkFolder();
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return folder;
    const QString base = QFileInfo(folder).absolutePath();
    return privateFolder(base) && privateFolder(folder) ? folder : QString();
}
#endif
} // namespace

void setSystemSerialPortsListed(bool listed)
{
    systemPortsListed = listed;
}

#ifdef Q_OS_WIN
QList<SerialPortEntry> enumerateSerialPorts()
{
    QList<SerialPortEntry> ports;
    if (!systemPortsListed)
        return ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
        bool ok = false;
        const int n = name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)
                          ? name.mid(3).toInt(&ok)
                          : 0;
        if (ok && n > 0)
            ports.append({n, name, info.description()});
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortEntry &a, const SerialPortEntry &b) { return a.number < b.number; });
    return ports;
}

QString serialPortDevice(int number)
{
    return number > 0 ? QStringLiteral("COM%1").arg(number) : QString();
}
#else
QList<SerialPortEntry> enumerateSerialPorts()
{
    QList<SerialPortEntry> ports;

    // A simulator killed without a chance to clean up leaves a dangling link: skip it.
    const QString trusted = trustedSimulatorLinkFolder();
    const QFileInfoList links =
        trusted.isEmpty()
            ? QFileInfoList()
            : QDir(trusted).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink() || !link.exists())
            continue;
        ports.append({int(ports.size()) + 1, link.absoluteFilePath(),
                      QStringLiteral("Card simulator %1 (%2)")
                          .arg(link.fileName(), link.symLinkTarget())});
    }

    if (!systemPortsListed)
        return ports;
    QList<QSerialPortInfo> system = QSerialPortInfo::availablePorts();
    std::sort(system.begin(), system.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });
    for (const QSerialPortInfo &info : system) {
        QString description = info.systemLocation();
        if (!info.description().isEmpty())
            description += QStringLiteral(" (%1)").arg(info.description());
        ports.append({int(ports.size()) + 1, info.systemLocation(), description});
    }
    return ports;
}

QString serialPortDevice(int number)
{
    if (number < 1)
        return {};
    const QList<SerialPortEntry> ports = enumerateSerialPorts();
    return number <= ports.size() ? ports.at(number - 1).device : QString();
}
#endif

int highestSerialPortNumber()
{
    const QList<SerialPortEntry> ports = enumerateSerialPorts();
    return ports.isEmpty() ? 0 : ports.last().number;
}

} // namespace tervalo
