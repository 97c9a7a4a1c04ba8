#include "device/sysinfo.h"

#include <QDBusConnection>

namespace tervalo {

SysInfo::SysInfo(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected())
        bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"),
                    QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

void SysInfo::prepareForSleep(bool starting)
{
    // The same signal announces the resume with false; nothing reacts to a resume, the next
    // request opens the port again.
    if (starting)
        emit PowerSuspend();
}

} // namespace tervalo
