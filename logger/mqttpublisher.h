// Sends every reading of a tervalo-log run to an MQTT broker, for dashboards and home automation.
// The CSV log stays the record: publishing never makes the card's exchange wait, and a broker
// that goes away only delays the readings, in order, up to a bound (see MqttSettings).

#pragma once

#include "common/channelcount.h"
#include "device/cardreading.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <optional>

namespace tervalo {

// Readings kept while the broker is away: 300000 is a day at the logger's default interval of
// 333 ms (259200 readings), or three and a half days at one reading a second. A kept reading takes
// 48 bytes (the JSON is only made when it is sent), so a full queue costs about 15 MB.
inline constexpr qsizetype defaultMqttQueueLimit = 300000;

struct MqttSettings
{
    QString host; // a name or an address; an IPv6 address without its brackets
    int port = 1883;
    bool tls = false;       // mqtts: TLS, the broker's certificate checked against caFile
    QString caFile;         // empty with tls: the system's CA folder, /etc/ssl/certs
    QString user;           // empty: no user name and no password are sent
    QString password;       // read from a file by the caller, never taken from the command line
    QString topicPrefix;    // empty: defaultMqttTopicPrefix()
    bool discovery = false; // Home Assistant MQTT discovery configs for each card announced
    qsizetype queueLimit = defaultMqttQueueLimit; // beyond it the oldest readings are dropped
    // The wait before a new attempt after a lost or failed connection: it doubles at each failure
    // up to the maximum and starts again at the minimum once the broker has accepted us.
    int reconnectMinMs = 1000;
    int reconnectMaxMs = 60000;
};

// "mqtt://host[:port]" or "mqtts://host[:port]" (1883 and 8883 by default; an IPv6 address in
// brackets). Anything else - another scheme, a user name or password, a path, query or fragment,
// an empty host, a port outside 1-65535 - gives nothing, and *error says why.
std::optional<MqttSettings> parseMqttUrl(const QString &url, QString *error);

// "tervalo/<this computer's host name>": one logger per computer is the common case, and the
// host name keeps two computers on one broker apart.
QString defaultMqttTopicPrefix();

// The topic level that stands for a port: the device's file name (/dev/ttyUSB0 -> ttyUSB0) with
// the characters a topic level cannot hold (+ # / and NUL) replaced by '_'.
QString topicPortName(const QString &device);

// The message for one reading: compact UTF-8 JSON,
//   {"time":"2026-12-08T10:15:02.125+01:00","unit":"C","address":3,"port":"ttyUSB0","seq":7,
//    "channels":[{"channel":1,"value":22.5},{"channel":2,"status":"open"},...]}
// unit is "C", "F" or "raw"; every one of the six channels has either the card's value (as the
// card wrote it: 22.5, never 22.499999) or a status: "open", "disabled" or "err" (every channel
// of an answer that failed). seq counts one card's readings from 1, so a gap shows a loss.
QByteArray readingPayload(const CardReading &reading, const QString &device, quint32 seq);

// One connection to one broker for a whole run. The network work runs in a thread of its own;
// publish() only queues. Topics, with PREFIX the settings' topic prefix:
//   PREFIX/status                         "online" (retained) at every connection; "offline"
//                                         (retained) at stop() or as the last will when the
//                                         connection is lost
//   PREFIX/<port name>/<address>/reading  each reading, QoS 1, not retained
//   homeassistant/sensor/...              discovery configs (retained), if asked for
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    explicit MqttPublisher(const MqttSettings &settings, QObject *parent = nullptr);
    // Without stop() the connection is dropped without a word, so the broker sends the will.
    ~MqttPublisher() override;

    // Connects, and waits up to timeoutMs for the broker's answer. Empty when connected, and also
    // when the broker merely cannot be reached now: the publisher then keeps trying in the
    // background and queues the readings. Otherwise why the run cannot publish: the broker refused
    // the user name or password, the broker's certificate failed verification, the CA file cannot
    // be read, the topic prefix is not a valid topic. Called once.
    QString start(int timeoutMs = 10000);

    // Discovery configs for one card's channels in use (with discovery on), retained and sent
    // again at every connection; configs for its unused channels are removed. Once per card.
    void announceCard(const QString &device, const QString &address, const QString &unit,
                      const std::array<bool, channelCount> &checked);

    // Queues one reading and returns at once; it goes out in order, QoS 1, when the broker is
    // there.
    void publish(const CardReading &reading, const QString &device);

    // At the end of a run: waits up to timeoutMs for the queue to be delivered, publishes the
    // retained "offline" status and disconnects. What is still queued then is lost.
    void stop(int timeoutMs = 5000);

    qsizetype queued() const; // readings the broker has not acknowledged yet
    qint64 dropped() const;   // oldest readings dropped because the queue was full
    bool connected() const;

signals:
    // Every change of the connection, after start() as well as during it, except what start()
    // itself returns as its failure. reason is empty when connected, else why not ("broker
    // unreachable: Connection refused", "the connection to the broker was lost", ...).
    void connectionChanged(bool connected, const QString &reason);
    // The total number of readings dropped so far, each time readings are dropped.
    void readingsDropped(qint64 total);

private:
    class Client;
    std::unique_ptr<Client> d;
};

} // namespace tervalo
