#include "logger/mqttpublisher.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QSysInfo>

#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

namespace tervalo {

namespace {

constexpr int keepAliveSeconds = 30;
// Readings handed to libmosquitto at a time. It has 20 messages in flight at most; staying below
// leaves room for the status and a few discovery configs beside the readings, so that a reading
// handed to it is always sent at once and never waits in a second queue of its own.
constexpr qsizetype sendWindow = 16;
// The network thread looks at stop() this often when nothing happens on the socket.
constexpr int loopTimeoutMs = 250;
constexpr char discoveryPrefix[] = "homeassistant";

// libmosquitto wants one init and one cleanup in a process, however many clients it has.
void ensureLibraryInit()
{
    struct Library
    {
        Library() { mosquitto_lib_init(); }
        ~Library() { mosquitto_lib_cleanup(); }
    };
    static Library library;
}

enum class Unit : quint8 { Raw, Celsius, Fahrenheit };

// One reading as it waits for the broker, in 48 bytes: its JSON, some 330 bytes, is only made when
// the reading is handed to libmosquitto. A reading's four characters hold three decimals at most,
// so thousandths keep it exactly.
struct QueuedReading
{
    qint64 msecs = 0;         // since the epoch
    qint32 offsetSeconds = 0; // of the local time from UTC, then
    quint32 seq = 0;
    std::array<qint32, channelCount> values{}; // in thousandths, exactly as the card wrote them
    quint16 card = 0;   // in Client::cards
    quint16 states = 0; // two bits a channel: its ChannelState
    quint16 mid = 0;    // libmosquitto's message id once handed to it
    Unit unit = Unit::Raw;
};
static_assert(sizeof(QueuedReading) == 48, "a day of queued readings is sized on this");

// What one card's readings share: made once, not for every reading.
struct CardTopic
{
    QByteArray topic;   // PREFIX/<port name>/<address>/reading
    QByteArray port;    // as a JSON string
    QByteArray address; // as a JSON number, or a string if it is not one
    QString portName;
    QString addressText;
    quint32 lastSeq = 0;
};

// A topic level holds anything but the separator, the wildcards and NUL.
QString topicLevel(QString text)
{
    for (QChar &c : text) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c == QLatin1Char('/') || c.isNull())
            c = QLatin1Char('_');
    }
    return text;
}

// Home Assistant's ids take letters, digits, '_' and '-' only.
QString discoveryId(QString text)
{
    for (QChar &c : text) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    }
    return text;
}

void appendJsonString(QByteArray &out, const QString &text)
{
    out += '"';
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

CardTopic makeCardTopic(const QString &prefix, const QString &device, const QString &address)
{
    CardTopic card;
    card.portName = topicPortName(device);
    card.addressText = address;
    card.topic = (prefix + QLatin1Char('/') + card.portName + QLatin1Char('/') +
                  topicLevel(address) + QLatin1String("/reading"))
                     .toUtf8();
    appendJsonString(card.port, card.portName);
    bool isNumber = false;
    const int number = address.toInt(&isNumber);
    if (isNumber)
        card.address = QByteArray::number(number);
    else
        appendJsonString(card.address, address);
    return card;
}

QueuedReading compact(const CardReading &reading)
{
    QueuedReading queued;
    queued.msecs = reading.when.toMSecsSinceEpoch();
    queued.offsetSeconds = reading.when.offsetFromUtc();
    const QString unit = reading.unit.toLower();
    queued.unit = unit == QLatin1String("c")   ? Unit::Celsius
                  : unit == QLatin1String("f") ? Unit::Fahrenheit
                                               : Unit::Raw;
    for (int i = 0; i < channelCount; ++i) {
        const ChannelReading &channel = reading.channels[size_t(i)];
        const ChannelState state = reading.ok() ? channel.state : ChannelState::Error;
        queued.states |= quint16(quint16(state) << (2 * i));
        if (state == ChannelState::Reading)
            queued.values[size_t(i)] = qint32(std::llround(channel.number * 1000));
    }
    return queued;
}

// "2026-12-08T10:15:02.125+01:00": the local time the card was read at, with its offset, so that
// the reader needs no time zone of ours.
void appendTime(QByteArray &out, qint64 msecs, int offsetSeconds)
{
    const QDateTime local =
        QDateTime::fromMSecsSinceEpoch(msecs + qint64(offsetSeconds) * 1000, Qt::UTC);
    const QDate date = local.date();
    const QTime time = local.time();
    const int offsetMinutes = std::abs(offsetSeconds) / 60;
    // Digit by digit: printf's formatting was a fifth of what publishing a reading cost.
    char text[29];
    const auto digits = [&text](int at, int value, int count) {
        for (int i = count - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    std::memcpy(text, "0000-00-00T00:00:00.000+00:00", sizeof text);
    digits(0, std::clamp(date.year(), 0, 9999), 4);
    digits(5, date.month(), 2);
    digits(8, date.day(), 2);
    digits(11, time.hour(), 2);
    digits(14, time.minute(), 2);
    digits(17, time.second(), 2);
    digits(20, time.msec(), 3);
    text[23] = offsetSeconds < 0 ? '-' : '+';
    digits(24, offsetMinutes / 60 % 100, 2);
    digits(27, offsetMinutes % 60, 2);
    out.append(text, sizeof text);
}

// A reading given in thousandths, as the shortest decimal: 22500 is "22.5", -18000 "-18". The
// card writes four characters, so no reading has more than three decimals.
void appendNumber(QByteArray &out, qint32 thousandths)
{
    char text[16];
    char *end = text + sizeof text;
    char *at = end;
    const bool negative = thousandths < 0;
    quint32 rest = negative ? quint32(-qint64(thousandths)) : quint32(thousandths);
    quint32 fraction = rest % 1000;
    rest /= 1000;
    if (fraction != 0) {
        int places = 3;
        while (fraction % 10 == 0) {
            fraction /= 10;
            --places;
        }
        for (; places > 0; --places, fraction /= 10)
            *--at = char('0' + fraction % 10);
        *--at = '.';
    }
    do {
        *--at = char('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (negative)
        *--at = '-';
    out.append(at, int(end - at));
}

QByteArray payloadOf(const QueuedReading &reading, const CardTopic &card)
{
    static const char *const unitNames[] = {"raw", "C", "F"};
    static const char *const statusNames[] = {"", "open", "disabled", "err"};
    QByteArray out;
    out.reserve(96 + channelCount * 28);
    out += "{\"time\":\"";
    appendTime(out, reading.msecs, reading.offsetSeconds);
    out += "\",\"unit\":\"";
    out += unitNames[int(reading.unit)];
    out += "\",\"address\":";
    out += card.address;
    out += ",\"port\":";
    out += card.port;
    out += ",\"seq\":";
    out += QByteArray::number(reading.seq);
    out += ",\"channels\":[";
    for (int i = 0; i < channelCount; ++i) {
        if (i > 0)
            out += ',';
        out += "{\"channel\":";
        out += char('1' + i);
        const auto state = ChannelState((reading.states >> (2 * i)) & 3);
        if (state == ChannelState::Reading) {
            out += ",\"value\":";
            appendNumber(out, reading.values[size_t(i)]);
        } else {
            out += ",\"status\":\"";
            out += statusNames[int(state)];
            out += '"';
        }
        out += '}';
    }
    out += "]}";
    return out;
}

// A Home Assistant sensor for one channel, as its MQTT discovery takes it.
QByteArray discoveryConfig(const CardTopic &card, const QString &nodeId, const QString &unit,
                           const QByteArray &statusTopic, int channel)
{
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{nodeId}},
        {QStringLiteral("name"),
         QStringLiteral("Tervalo %1 card %2").arg(card.portName, card.addressText)},
        {QStringLiteral("manufacturer"), QStringLiteral("Tervalo")},
        {QStringLiteral("model"), QStringLiteral("Six-channel thermocouple card")},
    };
    // A channel that is open or failed has a status instead of a value: "None" makes the
    // sensor's state unknown rather than a number it does not have.
    const QString value = QStringLiteral("value_json.channels[%1].value").arg(channel);
    QJsonObject config{
        {QStringLiteral("name"), QStringLiteral("Channel %1").arg(channel + 1)},
        {QStringLiteral("unique_id"), QStringLiteral("%1_channel_%2").arg(nodeId).arg(channel + 1)},
        {QStringLiteral("state_topic"), QString::fromUtf8(card.topic)},
        {QStringLiteral("value_template"),
         QStringLiteral("{{ %1 if %1 is defined else None }}").arg(value)},
        {QStringLiteral("state_class"), QStringLiteral("measurement")},
        {QStringLiteral("availability_topic"), QString::fromUtf8(statusTopic)},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("device"), device},
    };
    // Raw counts are no temperature: a plain numeric sensor without a unit.
    const QString letter = unit.toLower();
    if (letter == QLatin1String("c") || letter == QLatin1String("f")) {
        config.insert(QStringLiteral("device_class"), QStringLiteral("temperature"));
        config.insert(QStringLiteral("unit_of_measurement"),
                      letter == QLatin1String("c") ? QStringLiteral("°C") : QStringLiteral("°F"));
    }
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

QString connackText(int code, bool withUser)
{
    switch (code) {
    case 1:
        return QStringLiteral("the broker refused the connection: it does not take MQTT 3.1.1");
    case 2:
        return QStringLiteral("the broker refused the client identifier");
    case 3:
        return QStringLiteral("the broker refused the connection: server unavailable");
    case 4:
        return QStringLiteral("the broker refused the user name or password");
    case 5:
        // Mosquitto answers a wrong password with this code too.
        return withUser
                   ? QStringLiteral("the broker refused the user name or password (not authorised)")
                   : QStringLiteral("the broker refused the connection: not authorised (it may "
                                    "want a user name and password)");
    default:
        return QStringLiteral("the broker refused the connection: %1")
            .arg(QString::fromUtf8(mosquitto_connack_string(code)));
    }
}

// Failures that the same attempt may not meet a moment later. Any other at start() means the
// settings cannot work (TLS, protocol), and trying again would only hide that.
bool isTransient(int rc)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_KEEPALIVE:
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<MqttSettings> parseMqttUrl(const QString &url, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<MqttSettings> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const qsizetype schemeEnd = url.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return fail(
            QStringLiteral("the broker address must be mqtt://host[:port] or mqtts://host[:port]"));
    const QString scheme = url.left(schemeEnd).toLower();
    MqttSettings settings;
    if (scheme == QLatin1String("mqtts")) {
        settings.tls = true;
        settings.port = 8883;
    } else if (scheme != QLatin1String("mqtt")) {
        return fail(QStringLiteral(
                        "the broker address has the scheme \"%1\": it must be mqtt:// or mqtts://")
                        .arg(url.left(schemeEnd)));
    }
    QString rest = url.mid(schemeEnd + 3);
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    if (rest.contains(QLatin1Char('@')))
        return fail(QStringLiteral("the broker address cannot hold a user name or password"));
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) ||
        rest.contains(QLatin1Char('#')))
        return fail(QStringLiteral("the broker address cannot have a path, query or fragment: "
                                   "mqtt://host[:port]"));

    QString port;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(
                QStringLiteral("the IPv6 address in the broker address has no closing \"]\""));
        settings.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return fail(
                QStringLiteral("the broker address has \"%1\" after its IPv6 address").arg(after));
        port = after.mid(1);
        const bool ipv6 = settings.host.contains(QLatin1Char(':')) &&
                          std::all_of(settings.host.cbegin(), settings.host.cend(), [](QChar c) {
                              return (c.unicode() < 128 && std::isxdigit(c.unicode())) ||
                                     c == QLatin1Char(':') || c == QLatin1Char('.');
                          });
        if (!settings.host.isEmpty() && !ipv6)
            return fail(QStringLiteral("\"%1\" is not an IPv6 address").arg(settings.host));
        if (!after.isEmpty() && port.isEmpty())
            return fail(QStringLiteral("the broker address has a \":\" without a port"));
    } else {
        const qsizetype colon = rest.indexOf(QLatin1Char(':'));
        if (colon >= 0 && rest.indexOf(QLatin1Char(':'), colon + 1) >= 0)
            return fail(QStringLiteral("an IPv6 address goes in brackets: mqtt://[::1]:1883"));
        settings.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            port = rest.mid(colon + 1);
            if (port.isEmpty())
                return fail(QStringLiteral("the broker address has a \":\" without a port"));
        }
        const bool name = std::all_of(settings.host.cbegin(), settings.host.cend(), [](QChar c) {
            return (c.unicode() < 128 && c.isLetterOrNumber()) || c == QLatin1Char('-') ||
                   c == QLatin1Char('.') || c == QLatin1Char('_');
        });
        if (!name)
            return fail(QStringLiteral("\"%1\" is not a host name").arg(settings.host));
    }
    if (settings.host.isEmpty())
        return fail(QStringLiteral("the broker address has no host"));
    if (!port.isEmpty()) {
        bool ok = false;
        const int number = port.toInt(&ok);
        const bool digits =
            std::all_of(port.cbegin(), port.cend(), [](QChar c) { return c.isDigit(); });
        if (!ok || !digits || number < 1 || number > 65535)
            return fail(
                QStringLiteral("the broker's port must be a number from 1 to 65535, not \"%1\"")
                    .arg(port));
        settings.port = number;
    }
    return settings;
}

QString defaultMqttTopicPrefix()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("tervalo")
                          : QStringLiteral("tervalo/") + topicLevel(host);
}

QString topicPortName(const QString &device)
{
    const qsizetype slash =
        std::max(device.lastIndexOf(QLatin1Char('/')), device.lastIndexOf(QLatin1Char('\\')));
    const QString name = topicLevel(device.mid(slash + 1));
    return name.isEmpty() ? QStringLiteral("_") : name;
}

QByteArray readingPayload(const CardReading &reading, const QString &device, quint32 seq)
{
    QueuedReading queued = compact(reading);
    queued.seq = seq;
    return payloadOf(queued, makeCardTopic(QString(), device, reading.address));
}

// Everything the network thread shares with the caller's thread. libmosquitto calls back from
// the network thread; every member below `mutex` is only touched with it held, and the Qt side
// hears of changes through queued calls.
class MqttPublisher::Client
{
public:
    enum class Phase { Idle, Starting, Running, Failed, Stopped };

    Client(MqttPublisher *publisher, const MqttSettings &settingsIn)
        : q(publisher), settings(settingsIn)
    {
        if (settings.topicPrefix.isEmpty())
            settings.topicPrefix = defaultMqttTopicPrefix();
        while (settings.topicPrefix.size() > 1 && settings.topicPrefix.endsWith(QLatin1Char('/')))
            settings.topicPrefix.chop(1);
        statusTopic = (settings.topicPrefix + QLatin1String("/status")).toUtf8();
        host = settings.host.toUtf8();
    }

    ~Client() { endNetwork(); }

    MqttPublisher *const q;
    MqttSettings settings;
    QByteArray statusTopic;
    QByteArray host;
    mosquitto *mosq = nullptr;
    std::thread network;

    mutable std::mutex mutex;
    std::condition_variable changed;
    Phase phase = Phase::Idle;
    int stopLevel = 0; // 1: make no new connection and end once closed; 2: end now
    bool networkEnded = false;
    bool isConnected = false;
    bool accepted = false;      // the broker accepted us since the last back-off
    bool resendPending = false; // libmosquitto has yet to send again what was in flight
    int refusalCode = 0;
    bool disconnectSeen = false;
    int disconnectErrno = 0;
    QString startFailure; // why start() must fail
    QString unreachable;  // why the broker cannot be reached during start()
    bool reportedConnected = false;
    QString reportedReason;
    std::deque<QueuedReading> queue; // in order; the first `handed` are with libmosquitto
    qsizetype handed = 0;
    qint64 droppedCount = 0;
    std::vector<CardTopic> cards;
    QHash<QString, quint16> cardIndex;
    std::vector<std::pair<QByteArray, QByteArray>> announcements; // topic, retained payload
    int offlineMid = -1;
    bool offlineAcked = false;

    // libmosquitto logs while holding its own locks, some of which a caller holding `mutex` may
    // wait for: the log callback takes this lock only.
    std::mutex logMutex;
    QString tlsDetail;

    quint16 cardFor(const QString &device, const QString &address)
    {
        const QString key = device + QChar(0) + address;
        const auto found = cardIndex.constFind(key);
        if (found != cardIndex.cend())
            return *found;
        cards.push_back(makeCardTopic(settings.topicPrefix, device, address));
        const auto index = quint16(cards.size() - 1);
        cardIndex.insert(key, index);
        return index;
    }

    // Keeps up to sendWindow readings with libmosquitto, oldest first.
    void handMore()
    {
        while (isConnected && !resendPending &&
               handed < std::min<qsizetype>(sendWindow, qsizetype(queue.size()))) {
            QueuedReading &reading = queue[size_t(handed)];
            const CardTopic &card = cards[reading.card];
            const QByteArray payload = payloadOf(reading, card);
            int mid = 0;
            const int rc = mosquitto_publish(mosq, &mid, card.topic.constData(),
                                             int(payload.size()), payload.constData(), 1, false);
            // A QoS 1 message is kept even when the answer is that the connection has gone
            // meanwhile: libmosquitto sends it again after the reconnection with the others in
            // flight, so it counts as handed and must not be published a second time.
            if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
                break;
            reading.mid = quint16(mid);
            ++handed;
            if (rc == MOSQ_ERR_NO_CONN)
                break;
        }
    }

    void publishRetained(const QByteArray &topic, const QByteArray &payload, int *mid = nullptr)
    {
        mosquitto_publish(mosq, mid, topic.constData(), int(payload.size()),
                          payload.isEmpty() ? nullptr : payload.constData(), 1, true);
    }

    // Tells the Qt side, once for each change.
    void report(bool nowConnected, const QString &reason)
    {
        if (nowConnected == reportedConnected && reason == reportedReason)
            return;
        reportedConnected = nowConnected;
        reportedReason = reason;
        QMetaObject::invokeMethod(
            q,
            [publisher = q, nowConnected, reason] {
                emit publisher->connectionChanged(nowConnected, reason);
            },
            Qt::QueuedConnection);
    }

    QString failureText(int rc, int error)
    {
        switch (rc) {
        case MOSQ_ERR_ERRNO:
            return QStringLiteral("broker unreachable: %1").arg(qt_error_string(error));
        case MOSQ_ERR_EAI:
            return QStringLiteral("broker unreachable: cannot resolve the host name %1")
                .arg(settings.host);
        case MOSQ_ERR_NO_CONN:
            return QStringLiteral("broker unreachable");
        case MOSQ_ERR_CONN_LOST:
            return QStringLiteral("the connection to the broker was lost");
        case MOSQ_ERR_KEEPALIVE:
            return QStringLiteral("the broker stopped answering");
        case MOSQ_ERR_TLS: {
            std::lock_guard lock(logMutex);
            return QStringLiteral("TLS with the broker failed: %1")
                .arg(tlsDetail.isEmpty() ? QStringLiteral("no detail from OpenSSL") : tlsDetail);
        }
        default:
            return QStringLiteral("MQTT error: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
        }
    }

    // The connection is gone, was refused or never came. Called with `mutex` held.
    void failed(int rc, int error)
    {
        isConnected = false;
        if (stopLevel >= 1)
            return;
        const bool refused = rc == MOSQ_ERR_CONN_REFUSED && refusalCode != 0;
        const QString reason =
            refused ? connackText(refusalCode, !settings.user.isEmpty()) : failureText(rc, error);
        const bool transient = refused ? refusalCode == 3 : isTransient(rc);
        if (phase == Phase::Starting && !transient) {
            startFailure = reason;
            changed.notify_all();
            return;
        }
        if (phase == Phase::Starting) {
            unreachable = reason;
            changed.notify_all();
        }
        report(false, reason);
    }

    std::chrono::milliseconds backoff(int failures) const
    {
        const qint64 most = std::max(settings.reconnectMaxMs, 1);
        qint64 delay = std::clamp<qint64>(settings.reconnectMinMs, 1, most);
        for (int i = 0; i < failures && delay < most; ++i)
            delay *= 2;
        return std::chrono::milliseconds(std::min(delay, most));
    }

    void run()
    {
        // A write to a socket the broker has closed raises SIGPIPE, which ends the process; OpenSSL
        // writes with write(). Every socket write happens in this thread, so blocking it here is
        // enough and leaves the rest of the program alone.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

        // The connection is made here, not in start(): a name lookup may take long.
        connecting();
        int rc = mosquitto_connect_async(mosq, host.constData(), settings.port, keepAliveSeconds);
        int error = errno;
        int failures = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            if (rc == MOSQ_ERR_SUCCESS) {
                // Once libmosquitto has answered the CONNACK it has sent again what was in flight
                // (it does that right after the connect callback), so new readings go after it.
                if (resendPending) {
                    resendPending = false;
                    handMore();
                }
                if (stopLevel >= 2)
                    break;
                lock.unlock();
                rc = mosquitto_loop(mosq, loopTimeoutMs, 1);
                error = errno;
                lock.lock();
                continue;
            }
            failed(rc, disconnectSeen ? disconnectErrno : error);
            disconnectSeen = false;
            if (stopLevel >= 1 || !startFailure.isEmpty())
                break;
            if (accepted) {
                accepted = false;
                failures = 0;
            }
            changed.wait_for(lock, backoff(failures++), [this] { return stopLevel >= 1; });
            if (stopLevel >= 1)
                break;
            lock.unlock();
            connecting();
            rc = mosquitto_reconnect_async(mosq);
            error = errno;
            lock.lock();
        }
        networkEnded = true;
        changed.notify_all();
    }

    void connectAnswered(int rc)
    {
        std::lock_guard lock(mutex);
        refusalCode = rc;
        if (rc != 0 || stopLevel >= 1)
            return; // a refusal: mosquitto_loop() returns MOSQ_ERR_CONN_REFUSED next, for failed()
        isConnected = true;
        accepted = true;
        mosquitto_log_callback_set(mosq, nullptr);
        publishRetained(statusTopic, QByteArrayLiteral("online"));
        for (const auto &[topic, payload] : announcements)
            publishRetained(topic, payload);
        resendPending = handed > 0;
        handMore();
        report(true, QString());
        changed.notify_all();
    }

    void disconnected(int error)
    {
        std::lock_guard lock(mutex);
        isConnected = false;
        disconnectSeen = true;
        disconnectErrno = error;
        changed.notify_all();
    }

    void acknowledged(int mid)
    {
        std::lock_guard lock(mutex);
        if (mid == offlineMid) {
            offlineAcked = true;
        } else {
            for (qsizetype i = 0; i < handed; ++i) {
                if (queue[size_t(i)].mid == mid) {
                    queue.erase(queue.begin() + i);
                    --handed;
                    handMore();
                    break;
                }
            }
        }
        changed.notify_all();
    }

    // libmosquitto says why TLS failed only in its log: "OpenSSL Error[0]:
    // error:0A000086:SSL routines::certificate verify failed", the reason after the last colon.
    void logged(int level, const char *text)
    {
        if (!(level & MOSQ_LOG_ERR) || std::strncmp(text, "OpenSSL Error", 13) != 0)
            return;
        std::lock_guard lock(logMutex);
        tlsDetail = QString::fromUtf8(text).section(QLatin1Char(':'), -1).trimmed();
    }

    void connecting()
    {
        {
            std::lock_guard lock(logMutex);
            tlsDetail.clear();
        }
        // Only a connection's failures are told in the log alone (OpenSSL's reason). Once it
        // stands the log is left off: libmosquitto formats a line for every packet it logs, and
        // that was the dearest part of publishing a reading.
        mosquitto_log_callback_set(mosq, [](mosquitto *, void *client, int level, const char *text) {
            static_cast<Client *>(client)->logged(level, text);
        });
    }

    // Ends the network thread without a DISCONNECT, so that the broker sends the will.
    void endNetwork()
    {
        if (network.joinable()) {
            {
                std::lock_guard lock(mutex);
                stopLevel = 2;
                changed.notify_all();
            }
            network.join();
        }
        if (mosq) {
            mosquitto_destroy(mosq);
            mosq = nullptr;
        }
    }
};

MqttPublisher::MqttPublisher(const MqttSettings &settings, QObject *parent)
    : QObject(parent), d(std::make_unique<Client>(this, settings))
{
}

MqttPublisher::~MqttPublisher() = default;

QString MqttPublisher::start(int timeoutMs)
{
    Client &c = *d;
    if (c.phase != Client::Phase::Idle)
        return QStringLiteral("the MQTT publisher was started already");

    const QByteArray prefix = c.settings.topicPrefix.toUtf8();
    if (c.settings.topicPrefix.contains(QLatin1Char('+')) ||
        c.settings.topicPrefix.contains(QLatin1Char('#')) ||
        mosquitto_pub_topic_check2(prefix.constData(), size_t(prefix.size())) != MOSQ_ERR_SUCCESS)
        return QStringLiteral("the topic prefix \"%1\" is not a valid MQTT topic (no + or #)")
            .arg(c.settings.topicPrefix);
    // libmosquitto would only say "invalid arguments".
    if (c.settings.tls && !c.settings.caFile.isEmpty()) {
        QFile ca(c.settings.caFile);
        if (!ca.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read the CA file %1: %2")
                .arg(c.settings.caFile, ca.errorString());
    }

    ensureLibraryInit();
    c.mosq = mosquitto_new(nullptr, true, &c);
    if (!c.mosq)
        return QStringLiteral("cannot make an MQTT client: %1").arg(qt_error_string(errno));
    // The network thread is ours, not libmosquitto's: mosquitto_loop_start() runs a loop that
    // reconnects with a blocking connect (stop() could wait minutes for an unreachable host)
    // and ends for good after some errors. Threaded, publish() only queues and wakes that loop.
    mosquitto_threaded_set(c.mosq, true);
    mosquitto_connect_callback_set(c.mosq, [](mosquitto *, void *client, int rc) {
        static_cast<Client *>(client)->connectAnswered(rc);
    });
    mosquitto_disconnect_callback_set(c.mosq, [](mosquitto *, void *client, int) {
        const int error = errno;
        static_cast<Client *>(client)->disconnected(error);
    });
    mosquitto_publish_callback_set(c.mosq, [](mosquitto *, void *client, int mid) {
        static_cast<Client *>(client)->acknowledged(mid);
    });
    if (!c.settings.user.isEmpty()) {
        const QByteArray user = c.settings.user.toUtf8();
        const QByteArray password = c.settings.password.toUtf8();
        mosquitto_username_pw_set(c.mosq, user.constData(),
                                  c.settings.password.isEmpty() ? nullptr : password.constData());
    }
    mosquitto_will_set(c.mosq, c.statusTopic.constData(), 7, "offline", 1, true);
    if (c.settings.tls) {
        const QByteArray caFile = c.settings.caFile.toLocal8Bit();
        const int rc =
            c.settings.caFile.isEmpty()
                ? mosquitto_tls_set(c.mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                : mosquitto_tls_set(c.mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            c.endNetwork();
            return QStringLiteral("cannot set up TLS: %1")
                .arg(QString::fromUtf8(mosquitto_strerror(rc)));
        }
    }

    std::unique_lock lock(c.mutex);
    c.phase = Client::Phase::Starting;
    c.network = std::thread([&c] { c.run(); });
    c.changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&c] {
        return c.isConnected || !c.startFailure.isEmpty() || !c.unreachable.isEmpty();
    });
    if (!c.startFailure.isEmpty()) {
        c.phase = Client::Phase::Failed;
        lock.unlock();
        c.endNetwork();
        return c.startFailure;
    }
    if (!c.isConnected && c.unreachable.isEmpty())
        c.report(false, QStringLiteral("no answer from the broker yet"));
    c.phase = Client::Phase::Running;
    return {};
}

void MqttPublisher::announceCard(const QString &device, const QString &address, const QString &unit,
                                 const std::array<bool, channelCount> &checked)
{
    Client &c = *d;
    if (!c.settings.discovery)
        return;
    std::lock_guard lock(c.mutex);
    const CardTopic &card = c.cards[c.cardFor(device, address)];
    const QString nodeId = discoveryId(c.settings.topicPrefix + QLatin1Char('_') + card.portName +
                                       QLatin1Char('_') + address);
    for (int i = 0; i < channelCount; ++i) {
        const QByteArray topic = QStringLiteral("%1/sensor/%2/channel_%3/config")
                                     .arg(QLatin1String(discoveryPrefix), nodeId)
                                     .arg(i + 1)
                                     .toUtf8();
        // An empty retained config removes the channel that an earlier run may have announced.
        const QByteArray payload = checked[size_t(i)]
                                       ? discoveryConfig(card, nodeId, unit, c.statusTopic, i)
                                       : QByteArray();
        const auto same = std::find_if(c.announcements.begin(), c.announcements.end(),
                                       [&topic](const auto &a) { return a.first == topic; });
        if (same != c.announcements.end())
            same->second = payload;
        else
            c.announcements.emplace_back(topic, payload);
        if (c.isConnected)
            c.publishRetained(topic, payload);
    }
}

void MqttPublisher::publish(const CardReading &reading, const QString &device)
{
    Client &c = *d;
    qint64 droppedTotal = -1;
    {
        std::lock_guard lock(c.mutex);
        QueuedReading queued = compact(reading);
        queued.card = c.cardFor(device, reading.address);
        queued.seq = ++c.cards[queued.card].lastSeq;
        c.queue.push_back(queued);
        const qsizetype limit = std::max<qsizetype>(c.settings.queueLimit, 1);
        // The handed readings are with libmosquitto already: the oldest of the others go.
        const qsizetype over =
            std::min(qsizetype(c.queue.size()) - limit, qsizetype(c.queue.size()) - c.handed);
        if (over > 0) {
            const auto first = c.queue.begin() + c.handed;
            c.queue.erase(first, first + over);
            c.droppedCount += over;
            droppedTotal = c.droppedCount;
        }
        c.handMore();
    }
    if (droppedTotal >= 0)
        emit readingsDropped(droppedTotal);
}

void MqttPublisher::stop(int timeoutMs)
{
    Client &c = *d;
    std::unique_lock lock(c.mutex);
    if (c.phase != Client::Phase::Running)
        return;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    c.changed.wait_until(lock, deadline, [&c] { return c.queue.empty(); });
    // A clean disconnect sends no will, so the status is set here. It gets a second of its own
    // even when the readings took all the time: without it the status would stay "online".
    if (c.isConnected) {
        c.publishRetained(c.statusTopic, QByteArrayLiteral("offline"), &c.offlineMid);
        c.changed.wait_until(
            lock, std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1)),
            [&c] { return c.offlineAcked || !c.isConnected; });
    }
    c.stopLevel = 1;
    c.phase = Client::Phase::Stopped;
    c.changed.notify_all();
    lock.unlock();
    mosquitto_disconnect(c.mosq);
    lock.lock();
    c.changed.wait_for(lock, std::chrono::seconds(1), [&c] { return c.networkEnded; });
    lock.unlock();
    c.endNetwork();
}

qsizetype MqttPublisher::queued() const
{
    std::lock_guard lock(d->mutex);
    return qsizetype(d->queue.size());
}

qint64 MqttPublisher::dropped() const
{
    std::lock_guard lock(d->mutex);
    return d->droppedCount;
}

bool MqttPublisher::connected() const
{
    std::lock_guard lock(d->mutex);
    return d->isConnected;
}

} // namespace tervalo
