#include "device/portnumbering.h"

#include "device/simulatorfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace tervalo {

namespace {
bool systemPortsListed = true;
}

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
    const QDir folder(simulatorLinkFolder());
    const QFileInfoList links =
        folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
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
