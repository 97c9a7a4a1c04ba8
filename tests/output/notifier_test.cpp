// Alarms on the desktop: notifications sent through a private session bus to a stand-in
// notification service in this process, and what becomes of them where there is no service, or
// no session bus at all, which the notifier is tried against in processes of its own.

#include "output/desktopnotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tervalo;

namespace {

const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
const char childOption[] = "--notify-without-bus";

// What "returns at once" means. A wait on D-Bus is either a round trip, too short for any clock
// to tell from the call's own work (which is why the stand-in answers on this thread and must
// not have been called by the time notify() returns), or the bus library's 25 s timeout. The
// call itself takes a fraction of a millisecond; the limit leaves room for a machine so busy
// that this process is not given a processor for a while.
constexpr qint64 quickNs = 50 * 1000 * 1000;

// A session bus of the usual kind, but one that starts nothing by itself: a bus reading the
// system's session configuration would start a real notification daemon installed on this
// machine as soon as the stand-in is gone.
const char busConfig[] = R"(<busconfig>
  <type>session</type>
  <listen>unix:path=DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// The notification service as far as the notifier sees it: it notes each call and gives out
// ids that only ever grow, so that an id can be traced back to the call it came from.
class StandIn : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call
    {
        QString appName;
        uint replacesId;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
        uint id;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expireTimeout)
    {
        calls.append({appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout,
                      ++m_lastId});
        return m_lastId;
    }

private:
    uint m_lastId = 40;
};

// In a process of its own, where nothing has touched the session bus yet: sends two
// notifications at once and a third once the first two have failed, waiting up to the given
// time for each failure. Prints how long each notify() took (ns), how many failures were told
// from within notify(), how many in all, and the last error. Ends without waiting for a
// connection still being made, which a bus that never answers holds for 25 s.
int notifyWithoutBus(int waitMs)
{
    DesktopNotifier notifier;
    int failures = 0;
    QString error;
    QObject::connect(&notifier, &DesktopNotifier::failed, [&](const QString &, const QString &why) {
        ++failures;
        error = why;
    });
    QList<qint64> took;
    int toldWithin = 0;
    const auto notify = [&](const QString &body) {
        const int before = failures;
        QElapsedTimer timer;
        timer.start();
        notifier.notify(QStringLiteral("channel 1"), QStringLiteral("Tervalo alarm"), body);
        took.append(timer.nsecsElapsed());
        toldWithin += failures - before;
    };
    notify(QStringLiteral("first"));
    notify(QStringLiteral("second"));
    (void)QTest::qWaitFor([&] { return failures == 2; }, waitMs);
    notify(QStringLiteral("third"));
    (void)QTest::qWaitFor([&] { return failures == 3; }, waitMs);
    std::printf("%lld %lld %lld %d %d %s\n", static_cast<long long>(took[0]),
                static_cast<long long>(took[1]), static_cast<long long>(took[2]), toldWithin,
                failures, qPrintable(error.simplified()));
    std::fflush(stdout);
    _exit(0);
}

} // namespace

class NotifierTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void notifications_data();
    void notifications();
    void burstArrivesInOrder();
    void noService();
    void withoutSessionBus_data();
    void withoutSessionBus();

private:
    QTemporaryDir m_dir{QDir::tempPath() + "/tervalo-dbus-XXXXXX"};
    QProcess m_daemon;
    StandIn m_standIn;
};

void NotifierTest::initTestCase()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        QSKIP("dbus-daemon is not installed (Debian package dbus-daemon)");
    QVERIFY(m_dir.isValid());
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QByteArray(busConfig).replace("DIR", QFile::encodeName(m_dir.path())));
    config.close();

    m_daemon.setProgram(daemon);
    m_daemon.setArguments({"--config-file=" + config.fileName(), "--nofork", "--print-address"});
    // Goes when the test goes, even when the test dies.
    m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start();
    QVERIFY2(m_daemon.waitForStarted(10000), qPrintable(m_daemon.errorString()));
    QElapsedTimer waited;
    waited.start();
    while (!m_daemon.canReadLine() && !waited.hasExpired(10000))
        m_daemon.waitForReadyRead(500);
    const QByteArray address = m_daemon.readLine().trimmed();
    QVERIFY2(!address.isEmpty(), m_daemon.readAllStandardError().constData());

    // Before anything asks for the session bus: the D-Bus library reads the variable once, when
    // the process's session connection is first made.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);

    QDBusConnection standIn =
        QDBusConnection::connectToBus(QString::fromLatin1(address), "standin");
    QVERIFY2(standIn.isConnected(), qPrintable(standIn.lastError().message()));
    QVERIFY(standIn.registerObject(objectPath, &m_standIn, QDBusConnection::ExportAllSlots));
}

void NotifierTest::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus("standin");
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

void NotifierTest::init()
{
    QDBusConnection standIn("standin");
    standIn.registerService(serviceName);
    m_standIn.calls.clear();
}

void NotifierTest::notifications_data()
{
    // The keys notified one after the other, each once the previous one was answered, and for
    // each the earlier notification it takes the place of (its index), or -1.
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QList<int>>("replaces");
    QTest::newRow("one alarm") << QStringList{"channel 3"} << QList<int>{-1};
    QTest::newRow("same key again takes its place")
        << QStringList{"channel 3", "channel 3"} << QList<int>{-1, 0};
    QTest::newRow("another key stands beside it")
        << QStringList{"channel 3", "channel 4"} << QList<int>{-1, -1};
    QTest::newRow("each key its own")
        << QStringList{"channel 3", "channel 4", "channel 4", "channel 3"}
        << QList<int>{-1, -1, 1, 0};
    QTest::newRow("the latest of a key is the one replaced")
        << QStringList{"channel 3", "channel 3", "channel 3"} << QList<int>{-1, 0, 1};
}

void NotifierTest::notifications()
{
    QFETCH(QStringList, keys);
    QFETCH(QList<int>, replaces);
    DesktopNotifier notifier;
    QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    for (int i = 0; i < keys.size(); ++i) {
        const QString summary = QStringLiteral("Tervalo alarm %1").arg(i);
        const QString body =
            QStringLiteral("Alarm: %1 above 250 Celsius (reading %2)").arg(keys[i]).arg(i);
        QElapsedTimer timer;
        timer.start();
        notifier.notify(keys[i], summary, body);
        const qint64 took = timer.nsecsElapsed();
        QVERIFY2(took < quickNs, qPrintable(QStringLiteral("notify() took %1 ms").arg(took / 1e6)));
        // The stand-in answers on this thread: had notify() waited for the answer, the call
        // would be in already.
        QCOMPARE(m_standIn.calls.size(), i);
        QCOMPARE(delivered.size(), i);
        QTRY_COMPARE(delivered.size(), i + 1);

        QCOMPARE(m_standIn.calls.size(), i + 1);
        const StandIn::Call &call = m_standIn.calls[i];
        QCOMPARE(delivered[i], QVariantList({keys[i], call.id}));
        QCOMPARE(call.appName, QStringLiteral("Tervalo"));
        QCOMPARE(call.appIcon, QStringLiteral("tervalo"));
        QCOMPARE(call.summary, summary);
        QCOMPARE(call.body, body);
        QCOMPARE(call.actions, QStringList());
        const QVariant urgency = call.hints.value(QStringLiteral("urgency"));
        QCOMPARE(urgency.metaType(), QMetaType::fromType<uchar>()); // a byte, or it is ignored
        QCOMPARE(urgency.value<uchar>(), uchar(2));
        QCOMPARE(call.expireTimeout, 0);
        QCOMPARE(call.replacesId, replaces[i] < 0 ? 0u : m_standIn.calls[replaces[i]].id);
    }
    QCOMPARE(failed.size(), 0);
}

// Asked for faster than they are answered, and before the bus connection is there for this
// notifier: none is lost, and they reach the desktop in the order they were raised.
void NotifierTest::burstArrivesInOrder()
{
    DesktopNotifier notifier;
    QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
    const QStringList keys{"channel 1", "channel 2", "channel 6", "channel 2"};
    for (const QString &key : keys)
        notifier.notify(key, QStringLiteral("Tervalo alarm"), key + QStringLiteral(" open"));
    QTRY_COMPARE(delivered.size(), keys.size());
    QCOMPARE(m_standIn.calls.size(), keys.size());
    for (int i = 0; i < keys.size(); ++i) {
        QCOMPARE(m_standIn.calls[i].body, keys[i] + QStringLiteral(" open"));
        QCOMPARE(delivered[i], QVariantList({keys[i], m_standIn.calls[i].id}));
    }
}

// The bus is there but the service is not: notify() is as quick as ever, the error is told to
// whoever listens and to nobody else, and once the service is back the next one goes through.
void NotifierTest::noService()
{
    DesktopNotifier notifier;
    QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
    QSignalSpy failed(&notifier, &DesktopNotifier::failed);
    // The bus connection is made: what is timed below is the call alone.
    notifier.notify(QStringLiteral("channel 2"), QStringLiteral("Tervalo alarm"),
                    QStringLiteral("first"));
    QTRY_COMPARE(delivered.size(), 1);

    QVERIFY(QDBusConnection("standin").unregisterService(serviceName));
    QElapsedTimer timer;
    timer.start();
    notifier.notify(QStringLiteral("channel 5"), QStringLiteral("Tervalo alarm"),
                    QStringLiteral("second"));
    const qint64 took = timer.nsecsElapsed();
    QVERIFY2(took < quickNs, qPrintable(QStringLiteral("notify() took %1 ms").arg(took / 1e6)));
    QCOMPARE(failed.size(), 0);
    QTRY_COMPARE(failed.size(), 1);
    QCOMPARE(failed[0][0].toString(), QStringLiteral("channel 5"));
    QVERIFY2(failed[0][1].toString().contains(serviceName), qPrintable(failed[0][1].toString()));
    QCOMPARE(delivered.size(), 1);

    QDBusConnection("standin").registerService(serviceName);
    notifier.notify(QStringLiteral("channel 5"), QStringLiteral("Tervalo alarm"),
                    QStringLiteral("third"));
    QTRY_COMPARE(delivered.size(), 2);
    QCOMPARE(m_standIn.calls.last().body, QStringLiteral("third"));
}

void NotifierTest::withoutSessionBus_data()
{
    // What the child's environment says of the session bus; "unset" takes the variable away.
    QTest::addColumn<QString>("address");
    // Whether the failure is known within the wait. A bus that never answers is given up on
    // only after the bus library's 25 s, which no test waits for.
    QTest::addColumn<bool>("failsSoon");
    QTest::newRow("nothing listens at the address") << "unix:path=DIR/nobody" << true;
    QTest::newRow("no address, no desktop session") << "unset" << true;
    QTest::newRow("a bus that never answers") << "unix:path=DIR/silent" << false;
}

// The notifier in a process of its own, since the process's session connection is made once
// and kept: notify() returns at once, and nothing worse than failed() comes of it.
void NotifierTest::withoutSessionBus()
{
    QFETCH(QString, address);
    QFETCH(bool, failsSoon);
    // Something that takes the connection and never says a word.
    const QString silent = m_dir.filePath("silent");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    const auto closeListener = qScopeGuard([listener, silent] {
        ::close(listener);
        QFile::remove(silent);
    });
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    qstrncpy(name.sun_path, QFile::encodeName(silent).constData(), sizeof name.sun_path);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&name), sizeof name) == 0);
    QVERIFY(::listen(listener, 4) == 0);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (address == QLatin1String("unset")) {
        // Without the variable the bus library looks for the bus in the runtime folder, then
        // asks the X display to start one.
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath("runtime"));
    } else {
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QString(address).replace(QStringLiteral("DIR"), m_dir.path()));
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(childOption), QString::number(failsSoon ? 10000 : 300)});
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        QFAIL("the child did not end: notify() waited on the bus");
    }
    const QString said = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    const QString complained = QString::fromLocal8Bit(child.readAllStandardError());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QStringList parts = said.split(QLatin1Char(' '));
    QVERIFY2(parts.size() >= 5, qPrintable(said + complained));
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(parts[i].toLongLong() < quickNs,
                 qPrintable(QStringLiteral("notify() %1 took %2 ms")
                                .arg(i + 1)
                                .arg(parts[i].toLongLong() / 1e6)));
    }
    QCOMPARE(parts[3].toInt(), 0); // told later, never from within notify()
    QCOMPARE(parts[4].toInt(), failsSoon ? 3 : 0);
    qInfo("notify() took %.3f, %.3f and %.3f ms; %s", parts[0].toLongLong() / 1e6,
          parts[1].toLongLong() / 1e6, parts[2].toLongLong() / 1e6,
          qPrintable(said.section(QLatin1Char(' '), 4)));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], childOption) == 0)
        return notifyWithoutBus(QByteArray(argv[2]).toInt());
    NotifierTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "notifier_test.moc"
