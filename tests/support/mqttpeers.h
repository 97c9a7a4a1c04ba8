#pragma once

// The peers an MQTT test needs: the distribution's mosquitto broker, run by the test on a free
// local port with a configuration of its own, and a libmosquitto client that sees what arrives.

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QString>
#include <QtDebug>

#include <mosquitto.h>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace tervalo::test {

inline const QString brokerProgram = QStringLiteral("/usr/sbin/mosquitto");

#define REQUIRE_BROKER()                                                                           \
    if (!QFile::exists(tervalo::test::brokerProgram))                                              \
    QSKIP("/usr/sbin/mosquitto is not installed (scripts/install-deps.sh --test)")

inline int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// mosquitto with persistence, so that a restart keeps a persistent subscriber's messages.
class Broker
{
public:
    Broker(const QString &folder, int port) : m_folder(folder), m_port(port)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~Broker() { stop(); }

    bool start(const QString &settings = QStringLiteral("allow_anonymous true"))
    {
        // As root, mosquitto would become the user "mosquitto", who cannot read the test's
        // folders; naming the user who runs the test keeps it (no effect for other users).
        QFile file(m_folder + QStringLiteral("/mosquitto.conf"));
        file.open(QIODevice::WriteOnly);
        file.write(
            QStringLiteral(
                "user %1\nlistener %2 127.0.0.1\npersistence true\npersistence_location %3/\n%4\n")
                .arg(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name))
                .arg(m_port)
                .arg(m_folder, settings)
                .toUtf8());
        file.close();
        m_process.start(brokerProgram, {QStringLiteral("-c"), file.fileName()});
        QElapsedTimer clock;
        clock.start();
        while (!output().contains(QLatin1String(" running")) &&
               m_process.state() != QProcess::NotRunning && clock.elapsed() < 5000)
            m_process.waitForReadyRead(50);
        if (!output().contains(QLatin1String(" running")))
            qWarning().noquote() << output();
        return output().contains(QLatin1String(" running"));
    }
    // SIGTERM, as a service manager stops it. mosquitto only heeds it once it runs, so it is sent
    // until the broker has gone.
    void stop()
    {
        for (int i = 0; i < 25 && m_process.state() != QProcess::NotRunning; ++i) {
            m_process.terminate();
            m_process.waitForFinished(200);
        }
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    QString output() { return m_output += QString::fromUtf8(m_process.readAll()); }
    int connections()
    {
        while (m_process.waitForReadyRead(100)) {
        }
        return int(output().count(QLatin1String("New connection from")));
    }

private:
    QString m_folder;
    int m_port;
    QProcess m_process;
    QString m_output;
};

struct Message
{
    QString topic;
    QByteArray payload;
    bool retained;
};

// The other end. A persistent session (clean false) keeps its QoS 1 messages while it is away.
class Subscriber
{
public:
    Subscriber(int port, const QString &filter, const char *id = nullptr,
               const char *user = nullptr, const char *password = nullptr)
        : m_filter(filter.toUtf8())
    {
        m_mosq = mosquitto_new(id, !id, this);
        if (user)
            mosquitto_username_pw_set(m_mosq, user, password);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto *mosq, void *self, int) {
            mosquitto_subscribe(mosq, nullptr,
                                static_cast<Subscriber *>(self)->m_filter.constData(), 1);
        });
        mosquitto_subscribe_callback_set(m_mosq,
                                         [](mosquitto *, void *self, int, int, const int *) {
                                             static_cast<Subscriber *>(self)->m_subscribed = true;
                                         });
        mosquitto_message_callback_set(m_mosq, [](mosquitto *, void *self,
                                                  const mosquitto_message *m) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard lock(s->m_mutex);
            s->m_messages.append({QString::fromUtf8(m->topic),
                                  QByteArray(static_cast<const char *>(m->payload), m->payloadlen),
                                  m->retain});
        });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 60);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    bool subscribed() const { return m_subscribed; }
    QList<Message> messages(const QString &topic = QString()) const
    {
        std::lock_guard lock(m_mutex);
        QList<Message> found;
        for (const Message &m : m_messages) {
            if (topic.isEmpty() || m.topic == topic)
                found.append(m);
        }
        return found;
    }
    QList<int> seqs(const QString &topic = QString()) const
    {
        QList<int> numbers;
        for (const Message &m : messages(topic))
            numbers.append(QJsonDocument::fromJson(m.payload)[QLatin1String("seq")].toInt());
        return numbers;
    }

private:
    QByteArray m_filter;
    mosquitto *m_mosq;
    std::atomic<bool> m_subscribed = false;
    mutable std::mutex m_mutex;
    QList<Message> m_messages;
};

} // namespace tervalo::test
