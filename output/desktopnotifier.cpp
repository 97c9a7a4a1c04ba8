#include "output/desktopnotifier.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QThread>
#include <QVariantMap>

#include <utility>

namespace tervalo {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent) {}

void DesktopNotifier::notify(const QString &key, const QString &summary, const QString &body)
{
    const Notification notification{key, summary, body};
    switch (m_bus) {
    case Bus::NotTried:
        m_waiting.append(notification);
        connectInBackground();
        break;
    case Bus::Connecting:
        m_waiting.append(notification);
        break;
    case Bus::Connected:
        send(notification);
        break;
    case Bus::Missing:
        // Later, like an answer from the service, so that whoever listens sees the same order
        // whether or not there is a bus.
        QMetaObject::invokeMethod(
            this, [this, key, reason = m_missingReason] { emit failed(key, reason); },
            Qt::QueuedConnection);
        break;
    }
}

// Only when the first notification is due: a program that raises no alarm never touches the
// session bus for it.
void DesktopNotifier::connectInBackground()
{
    m_bus = Bus::Connecting;
    m_made = std::make_shared<std::optional<QDBusConnection>>();
    // The process's shared session connection: Qt makes it once and keeps it, whether or not
    // it could be made, so there is no trying again later.
    QThread *thread =
        QThread::create([made = m_made] { made->emplace(QDBusConnection::sessionBus()); });
    connect(thread, &QThread::finished, this, &DesktopNotifier::connectionMade);
    // Not a child of this object: a QThread destroyed while it runs aborts the program, and a
    // connection still being made when the window closes is not to be waited for.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void DesktopNotifier::connectionMade()
{
    m_connection = *m_made;
    m_made.reset();
    if (m_connection && m_connection->isConnected()) {
        m_bus = Bus::Connected;
    } else {
        m_bus = Bus::Missing;
        m_missingReason = m_connection ? m_connection->lastError().message() : QString();
        if (m_missingReason.isEmpty())
            m_missingReason = QStringLiteral("no session bus");
    }
    const QList<Notification> waiting = std::exchange(m_waiting, {});
    for (const Notification &notification : waiting)
        notify(notification.key, notification.summary, notification.body);
}

void DesktopNotifier::send(const Notification &notification)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    QVariantMap hints;
    // Critical: the service keeps it on the screen until someone closes it, where a normal one
    // fades after a few seconds. A limit is often passed during a long run that nobody watches,
    // and the alarm must still be there when someone comes back to the desk. A byte: the type
    // the notification protocol gives it, and a service may ignore it given as any other.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(2)));
    // Lets the desktop group the notifications under the program's menu entry.
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tervalo"));
    // No actions; an expiry of 0: it never goes on its own, for the same reason as the urgency.
    call << QStringLiteral("Tervalo") << m_ids.value(notification.key) << QStringLiteral("tervalo")
         << notification.summary << notification.body << QStringList() << hints << qint32(0);

    auto *watcher = new QDBusPendingCallWatcher(m_connection->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key = notification.key](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError()) {
                    const QDBusError error = reply.error();
                    emit failed(key, error.message().isEmpty() ? error.name() : error.message());
                    return;
                }
                m_ids.insert(key, reply.value());
                emit delivered(key, reply.value());
            });
}

} // namespace tervalo
