#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace tervalo {

// Tells the desktop about alarms through the freedesktop notification service on the session
// bus, for whoever is not looking at the window. Where there is no such service, or no session
// bus at all (a lab PC without a desktop session), the notifications go nowhere and the user is
// told nothing: the alarm is in the window all the same.
//
// The window thread calls it, and it never waits on D-Bus there: the call is asynchronous, and
// even the connection to the bus is made on a thread of its own, since making it is a blocking
// exchange with the bus daemon (or with a dbus-launch the bus library starts) that a stalled
// session would hold for up to half a minute.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject *parent = nullptr);

    // Sends one notification and returns at once; from this object's thread only. A later
    // notification for the same key (e.g. "channel 3") takes the place of the earlier one on the
    // desktop instead of piling up beside it.
    void notify(const QString &key, const QString &summary, const QString &body);

signals:
    // For tests and diagnostics: the service answered (id) or the call failed (error text).
    // Both come later, from the event loop, never from within notify().
    void delivered(const QString &key, uint id);
    void failed(const QString &key, const QString &error);

private:
    struct Notification
    {
        QString key;
        QString summary;
        QString body;
    };
    enum class Bus { NotTried, Connecting, Connected, Missing };

    void connectInBackground();
    void connectionMade();
    void send(const Notification &notification);

    Bus m_bus = Bus::NotTried;
    // Filled by the connecting thread, read here once it has finished. Shared, so that a
    // connection still being made when this object goes has somewhere to land.
    std::shared_ptr<std::optional<QDBusConnection>> m_made;
    std::optional<QDBusConnection> m_connection;
    QString m_missingReason;
    // What was asked for while the connection was being made, in order.
    QList<Notification> m_waiting;
    // The id the service gave the last notification of each key.
    QHash<QString, uint> m_ids;
};

} // namespace tervalo
