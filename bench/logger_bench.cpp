// tervalo-log beyond one card: several cards on one line, and the readings sent on to an MQTT
// broker. Run by hand from a Release build:
//
//   logger_bench cards [--cards 8] [--seconds 600]
//       Three runs side by side, at the fastest rate that fits the cards: tervalo-log reading
//       all the cards on one simulated line (A), tervalo-log reading one card (B), and
//       reference_reader, the plain POSIX reader, reading one card (C). Each has a simulator of
//       its own; they run at the same time, so the machine's load is the same for all three.
//       CPU per reading (run_measured's figure for A and B) and every card's records counted
//       against the rounds the time allowed.
//   logger_bench mqtt [--seconds 60] [--rate 3sps] [--pairs 2] [--no-log]
//       tervalo-log with --mqtt (A) and without (B), taking turns, against a mosquitto broker
//       on a free local port, with a subscriber in this process: CPU per reading, and the
//       latency from the reading's time stamp (taken when the answer is decoded) to its
//       delivery to the subscriber.
//   logger_bench queue [--readings 86400]
//       The publisher of tervalo-log in this process, its broker away: the memory that many
//       kept readings take.
//
// Every run ends with "result <key> <value>" lines.

#include "acquisition/ratetable.h"
#include "bench/benchsupport.h"
#include "device/cardreading.h"
#include "logger/mqttpublisher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tervalo;
using namespace tervalo::bench;

namespace {

QString program(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

QString loggerProgram()
{
    return QStringLiteral(TERVALO_LOGGER_BUILD_PATH);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(std::min<double>(double(values.size() - 1), std::ceil(p * double(values.size())) - 1))];
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

int lineCount(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : -1;
}

// A child run to its end; its result lines, or none when it failed.
Results runToEnd(QProcess &child, double seconds, const char *side)
{
    if (!child.waitForFinished(int(seconds * 1000) + 60000) ||
        child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        std::fprintf(stderr, "logger_bench: side %s failed (exit %d): %s\n", side, child.exitCode(),
                     child.readAllStandardError().constData());
        return {};
    }
    return parseResults(child.readAllStandardOutput());
}

int cardsBench(const PrivateFolders &folders, int cards, double seconds)
{
    int intervalMs = 0;
    QString rate;
    for (const SampleRate &r : sampleRates) {
        if (intervalMs == 0 && r.intervalMs >= cards * roundSlotMs) {
            intervalMs = r.intervalMs;
            rate = QString::fromLatin1(r.code.data(), qsizetype(r.code.size()));
        }
    }
    QStringList addresses;
    for (int i = 0; i < cards; ++i)
        addresses << QString::number(i);
    std::printf("logger_bench cards: %d cards at %s (%d ms), %.0f s, the three sides at once\n", cards,
                qPrintable(rate), intervalMs, seconds);

    QProcess sims[3];
    QString links[3];
    const QStringList simArgs[3] = {{QStringLiteral("--address"), addresses.join(QLatin1Char(','))},
                                    {QStringLiteral("--address"), QStringLiteral("0")},
                                    {QStringLiteral("--address"), QStringLiteral("0")}};
    for (int i = 0; i < 3; ++i) {
        const QString output = folders.runtimeFile(QStringLiteral("sim-%1.out").arg(i));
        if (!startSimulator(sims[i], simArgs[i] + QStringList{QStringLiteral("--link"), QStringLiteral("card%1").arg(i)}, output)) {
            std::fprintf(stderr, "logger_bench: cannot start the simulator\n");
            return 1;
        }
        links[i] = linkAnnounced(output);
    }
    const QString duration = QString::number(qRound(seconds));
    // The loggers end after whole rounds (a duration could end one halfway): then every card
    // must have a record of each.
    const int rounds = int(seconds * 1000) / intervalMs;
    const auto loggerArgs = [&](int side, const QString &address, const QString &log) {
        return QStringList{loggerProgram(), QStringLiteral("--device"), links[side],
                           QStringLiteral("--address"), address, QStringLiteral("--rate"), rate,
                           QStringLiteral("--unit"), QStringLiteral("c"), QStringLiteral("--count"),
                           QString::number(rounds), QStringLiteral("--keep-running"), QStringLiteral("--quiet"),
                           QStringLiteral("--log"), folders.runtimeFile(log)};
    };
    const double loadStart = loadAverage1();
    QProcess a, b, c;
    a.start(program("run_measured"), loggerArgs(0, addresses.join(QLatin1Char(',')), QStringLiteral("a-%a.csv")));
    b.start(program("run_measured"), loggerArgs(1, QStringLiteral("0"), QStringLiteral("b.csv")));
    c.start(program("reference_reader"),
            {QStringLiteral("--link"), links[2], QStringLiteral("--rate-ms"), QString::number(intervalMs),
             QStringLiteral("--seconds"), duration, QStringLiteral("--address"), QStringLiteral("0"),
             QStringLiteral("--unit"), QStringLiteral("c")});
    const Results ra = runToEnd(a, seconds, "A");
    const Results rb = runToEnd(b, seconds, "B");
    const Results rc = runToEnd(c, seconds, "C");
    const double loadEnd = loadAverage1();
    for (QProcess &sim : sims) {
        sim.terminate();
        sim.waitForFinished(3000);
    }
    if (ra.empty() || rb.empty() || rc.empty())
        return 1;

    int fewest = rounds, most = 0;
    for (const QString &address : addresses) {
        const int records = lineCount(folders.runtimeFile(QStringLiteral("a-%1.csv").arg(address)));
        fewest = std::min(fewest, records);
        most = std::max(most, records);
    }
    const auto get = [](const Results &r, const char *key) {
        const auto found = r.find(QString::fromLatin1(key));
        return found == r.end() ? 0.0 : found->second;
    };
    const double cpuA = get(ra, "cpu_ms_per_reading"), cpuB = get(rb, "cpu_ms_per_reading"),
                 cpuC = get(rc, "cpu_ms_per_reading");
    std::printf("\n  %-36s %12s %12s %12s\n", "measure", "A: 8 cards", "B: 1 card", "C: reference");
    std::printf("  %-36s %12.0f %12.0f %12.0f\n", "readings", get(ra, "answers"), get(rb, "answers"), get(rc, "answers"));
    std::printf("  %-36s %12.3f %12.3f %12.3f\n", "CPU per reading, ms", cpuA, cpuB, cpuC);
    std::printf("  %-36s %12.1f %12.1f %12.1f\n", "peak resident memory, MB", get(ra, "peak_rss_mb"),
                get(rb, "peak_rss_mb"), get(rc, "peak_rss_mb"));
    std::printf("\n  rounds %d; records per card in A: %d to %d; B logged %d\n", rounds,
                fewest, most, lineCount(folders.runtimeFile(QStringLiteral("b.csv"))));
    std::printf("  load average %.2f at the start, %.2f at the end\n\n", loadStart, loadEnd);
    std::printf("result cards %d\nresult interval_ms %d\nresult rounds %d\n", cards, intervalMs, rounds);
    std::printf("result records_per_card_min %d\nresult records_per_card_max %d\n", fewest, most);
    std::printf("result cpu_ms_per_reading_cards %.6g\nresult cpu_ms_per_reading_one %.6g\n"
                "result cpu_ms_per_reading_reference %.6g\n", cpuA, cpuB, cpuC);
    std::printf("result ratio_cards_one %.6g\nresult ratio_cards_reference %.6g\n",
                cpuB > 0 ? cpuA / cpuB : 0, cpuC > 0 ? cpuA / cpuC : 0);
    // Lost: a card with fewer records than the rounds.
    return fewest == rounds && most == rounds ? 0 : 1;
}

// A port nobody listens on now: the one the system hands out for port 0.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// Every reading the broker delivers, with the moment it came.
struct Subscriber
{
    std::mutex lock;
    std::vector<double> latencyMs;
    std::vector<double> referenceMs; // the reference publisher's, to the microsecond
    int received = 0;

    static qint64 steadyNs()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    static void onMessage(mosquitto *, void *self, const mosquitto_message *message)
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 nowNs = steadyNs();
        const QJsonObject reading =
            QJsonDocument::fromJson(QByteArray(static_cast<const char *>(message->payload), message->payloadlen)).object();
        auto *subscriber = static_cast<Subscriber *>(self);
        const std::lock_guard guard(subscriber->lock);
        if (reading.contains(QStringLiteral("ns"))) {
            subscriber->referenceMs.push_back(double(nowNs - qint64(reading.value(QStringLiteral("ns")).toDouble())) / 1e6);
            return;
        }
        const QDateTime stamped = QDateTime::fromString(reading.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        ++subscriber->received;
        if (stamped.isValid())
            subscriber->latencyMs.push_back(double(now - stamped.toMSecsSinceEpoch()));
    }
};

// The broker's and the subscriber's share of the latency: messages of a reading's size, published
// from this process at the same rate with QoS 1, stamped with the steady clock the subscriber
// reads too, so to the microsecond.
void referencePublisher(int port, int intervalMs, int count)
{
    mosquitto *client = mosquitto_new(nullptr, true, nullptr);
    mosquitto_connect(client, "127.0.0.1", port, 30);
    mosquitto_loop_start(client);
    const QByteArray padding(300, 'x');
    for (int i = 0; i < count; ++i) {
        const QByteArray payload = "{\"ns\":" + QByteArray::number(Subscriber::steadyNs()) +
                                   ",\"pad\":\"" + padding + "\"}";
        mosquitto_publish(client, nullptr, "bench/reference/0/reading", int(payload.size()),
                          payload.constData(), 1, false);
        QThread::msleep(ulong(intervalMs));
    }
    QThread::msleep(500);
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
}

int mqttBench(const PrivateFolders &folders, double seconds, const QString &rate, int pairs, bool log)
{
    const int port = freePort();
    const QString config = folders.runtimeFile(QStringLiteral("mosquitto.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toLatin1());
    file.close();
    QProcess broker;
    broker.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config});
    if (!broker.waitForStarted(5000)) {
        std::fprintf(stderr, "logger_bench: cannot start mosquitto\n");
        return 1;
    }
    QThread::msleep(500);

    Subscriber subscriber;
    mosquitto_lib_init();
    mosquitto *client = mosquitto_new("logger_bench", true, &subscriber);
    mosquitto_message_callback_set(client, &Subscriber::onMessage);
    if (mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(client, nullptr, "bench/+/+/reading", 1) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "logger_bench: cannot subscribe\n");
        return 1;
    }
    std::printf("logger_bench mqtt: %d pairs of %.0f s at %s, A with --mqtt, B without, %s\n", pairs, seconds,
                qPrintable(rate), log ? "both logging to a file" : "no log file");
    std::vector<double> cpuA, cpuB;
    int readingsA = 0;
    for (int pair = 1; pair <= pairs; ++pair) {
        for (const bool mqtt : {true, false}) {
            QProcess sim;
            const QString output = folders.runtimeFile(QStringLiteral("sim-%1-%2.out").arg(pair).arg(mqtt));
            if (!startSimulator(sim, {}, output))
                return 1;
            QStringList args{loggerProgram(), QStringLiteral("--device"), linkAnnounced(output),
                             QStringLiteral("--rate"), rate, QStringLiteral("--unit"), QStringLiteral("c"),
                             QStringLiteral("--address"), QStringLiteral("0"),
                             QStringLiteral("--duration"), QString::number(qRound(seconds)),
                             QStringLiteral("--quiet")};
            // The log is written, with its fsync, before the reading is published: part of the
            // way from the answer to the broker. --no-log leaves it out to show the rest alone.
            if (log)
                args << QStringLiteral("--log") << folders.runtimeFile(QStringLiteral("run-%1-%2.csv").arg(pair).arg(mqtt));
            if (mqtt)
                args << QStringLiteral("--mqtt") << QStringLiteral("mqtt://127.0.0.1:%1").arg(port)
                     << QStringLiteral("--mqtt-topic") << QStringLiteral("bench");
            QProcess run;
            run.start(program("run_measured"), args);
            const Results results = runToEnd(run, seconds, mqtt ? "A" : "B");
            sim.terminate();
            sim.waitForFinished(3000);
            if (results.empty())
                return 1;
            (mqtt ? cpuA : cpuB).push_back(results.at(QStringLiteral("cpu_ms_per_reading")));
            if (mqtt)
                readingsA += int(results.at(QStringLiteral("answers")));
            std::printf("  %s%d: %.3f ms CPU per reading, load average %.2f\n", mqtt ? "A" : "B", pair,
                        results.at(QStringLiteral("cpu_ms_per_reading")), loadAverage1());
            std::fflush(stdout);
        }
    }
    std::printf("  reference: the broker alone, %d messages\n", int(seconds * 1000) / *sampleRateInterval(rate));
    std::fflush(stdout);
    referencePublisher(port, *sampleRateInterval(rate), int(seconds * 1000) / *sampleRateInterval(rate));
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    broker.terminate();
    broker.waitForFinished(3000);

    const double a = median(cpuA), b = median(cpuB);
    const std::lock_guard guard(subscriber.lock);
    std::printf("\n  CPU per reading, median: with MQTT %.3f ms, without %.3f ms, ratio %.2f\n", a, b, b > 0 ? a / b : 0);
    std::printf("  delivered %d of %d readings; time stamp -> subscriber: p50 %.0f ms, p99 %.0f ms, max %.0f ms\n\n",
                subscriber.received, readingsA, percentile(subscriber.latencyMs, 0.5),
                percentile(subscriber.latencyMs, 0.99), percentile(subscriber.latencyMs, 1.0));
    std::printf("  reference publisher in this process -> subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n\n",
                percentile(subscriber.referenceMs, 0.5), percentile(subscriber.referenceMs, 0.99),
                percentile(subscriber.referenceMs, 1.0));
    std::printf("result reference_latency_p50_ms %.6g\nresult reference_latency_p99_ms %.6g\n",
                percentile(subscriber.referenceMs, 0.5), percentile(subscriber.referenceMs, 0.99));
    std::printf("result cpu_ms_per_reading_mqtt %.6g\nresult cpu_ms_per_reading_plain %.6g\nresult ratio_mqtt_plain %.6g\n",
                a, b, b > 0 ? a / b : 0);
    std::printf("result delivered %d\nresult readings %d\nresult latency_p50_ms %.6g\nresult latency_p99_ms %.6g\n",
                subscriber.received, readingsA, percentile(subscriber.latencyMs, 0.5),
                percentile(subscriber.latencyMs, 0.99));
    return subscriber.received == readingsA ? 0 : 1;
}

int queueBench(int readings)
{
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = freePort(); // nobody listens there
    MqttPublisher publisher(settings);
    publisher.start(2000);
    const QString answer = QStringLiteral("T0022.5037.10-018099.9065.20 250");
    const QDateTime start = QDateTime::currentDateTime();
    QCoreApplication::processEvents();
    const double before = currentRssMb();
    for (int i = 0; i < readings; ++i) {
        CardReading reading = decodeAnswer(answer, {true, true, true, true, true, true}, start.addMSecs(qint64(i) * 1000),
                                           QStringLiteral("c"));
        reading.address = QStringLiteral("0");
        publisher.publish(reading, QStringLiteral("/dev/ttyUSB0"));
    }
    QCoreApplication::processEvents();
    const double after = currentRssMb();
    std::printf("logger_bench queue: %d readings kept for a broker that is away (%lld queued, %lld dropped)\n"
                "  resident memory %.1f MB before, %.1f MB after: %.1f MB, %.0f bytes a reading\n\n",
                readings, qlonglong(publisher.queued()), qlonglong(publisher.dropped()), before, after,
                after - before, (after - before) * 1048576.0 / readings);
    std::printf("result queued %lld\nresult rss_before_mb %.3f\nresult rss_after_mb %.3f\n", qlonglong(publisher.queued()),
                before, after);
    return publisher.queued() == readings ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    PrivateFolders folders;
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto value = [&args](const char *name, const QString &fallback) {
        const qsizetype at = args.indexOf(QLatin1String(name));
        return at >= 0 && at + 1 < args.size() ? args[at + 1] : fallback;
    };
    const QString mode = args.value(0);
    if (mode == QLatin1String("cards"))
        return cardsBench(folders, value("--cards", QStringLiteral("8")).toInt(),
                          value("--seconds", QStringLiteral("600")).toDouble());
    if (mode == QLatin1String("mqtt"))
        return mqttBench(folders, value("--seconds", QStringLiteral("60")).toDouble(),
                         value("--rate", QStringLiteral("3sps")), value("--pairs", QStringLiteral("2")).toInt(),
                         !args.contains(QLatin1String("--no-log")));
    if (mode == QLatin1String("queue"))
        return queueBench(value("--readings", QStringLiteral("86400")).toInt());
    std::fprintf(stderr, "usage: logger_bench cards|mqtt|queue [options] (see the source's head)\n");
    return 2;
}
