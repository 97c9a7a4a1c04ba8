// Whole readings through the real serial control and a card simulator on a pseudo-terminal.

#include "devicelinkfixture.h"

#include "device/protocol.h"

#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <ctime>

class DeviceLinkE2ETest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void completeReading_data();
    void completeReading();
    void openAndDisabledChannels();
    void malformedAnswers_data();
    void malformedAnswers();
    void timeoutWithWrongAddress_data();
    void timeoutWithWrongAddress();
    void sendFailureOnClosedPort();
    void unplugRecoversAtNextRequest_data();
    void unplugRecoversAtNextRequest();
    void answersDuringADecodeAreNotMixed();
    void heldUpSessionIsNotALostLine();
    void decodedAtThe32ndCharacter_data();
    void decodedAtThe32ndCharacter();
};

namespace {

// On Linux the line wakes us once an answer is whole, not at each of its 32 characters. A few
// wake-ups more are allowed for an answer the scheduler splits.
#ifdef Q_OS_LINUX
constexpr qint64 wakeUpsPerAnswer = 3;
#else
constexpr qint64 wakeUpsPerAnswer = tervalo::answerLength;
#endif

const QString timeoutText = QStringLiteral("Communications timeout - Check cables and address settings");

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Starts a simulator with the given options and a window whose port 1 is open on it.
struct Rig
{
    explicit Rig(const QStringList &args)
    {
        QVERIFY(sim.start(args));
        w.window->ports->probePorts(0);
        QVERIFY(w.view().portOpen);
    }
    bool read(int timeoutMs = 3000)
    {
        const int before = int(w.probe.records.size());
        w->cmdRead->click();
        return QTest::qWaitFor([&] { return w.probe.records.size() > before; }, timeoutMs);
    }
    SimulatorProcess sim;
    LinkWindow w;
};

} // namespace

void DeviceLinkE2ETest::initTestCase()
{
    isolateStoreAndPorts();
}

void DeviceLinkE2ETest::completeReading_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<bool>("paced");
    QTest::newRow("Celsius at 2400 baud") << "c" << true;
    QTest::newRow("Fahrenheit") << "f" << false;
    QTest::newRow("raw") << "r" << false;
}

void DeviceLinkE2ETest::completeReading()
{
    QFETCH(QString, unit);
    QFETCH(bool, paced);
    Rig rig(paced ? QStringList{QStringLiteral("--address"), QStringLiteral("3")}
                  : QStringList{QStringLiteral("--address"), QStringLiteral("3"),
                                QStringLiteral("--no-pacing")});
    rig.w->txtAddress->setText(QStringLiteral("3"));
    rig.w->state.tempType = unit;
    rig.w->state.saveToDisk = true;
    rig.w->lblStringDisplay->setText(QStringLiteral("an old message"));

    const qint64 wakeUpsBefore = rig.w.view().wakeUps;
    QVERIFY(rig.read());
    const qint64 wakeUps = rig.w.view().wakeUps - wakeUpsBefore;
    QVERIFY2(wakeUps <= wakeUpsPerAnswer, qPrintable(QString::number(wakeUps)));
    QCOMPARE(rig.w.view().charactersAwaited, 0);
    QCOMPARE(rig.sim.requests().last(), QStringLiteral("t3%1a").arg(unit));
    QVERIFY(!rig.w.view().timeoutActive);
    QTRY_COMPARE(rig.w.status(), defaultStatus);

    // Each label shows the card's four characters; the record carries the same, and the value to
    // plot is their rounded number.
    const QString record = rig.w.probe.records.last();
    QVERIFY2(record.contains(QStringLiteral(",%1,").arg(unit)), qPrintable(record));
    QVERIFY(record.endsWith(QLatin1Char(',')));
    QCOMPARE(record.count(QLatin1Char(',')), 9);
    const QStringList items = record.split(QLatin1Char(',')).mid(3, 6);
    for (int i = 0; i < 6; ++i) {
        const QString label = rig.w->lblCh[i]->text();
        QCOMPARE(label.size(), 4);
        QCOMPARE(items[i], label);
        QCOMPARE(rig.w.probe.values.last()[i], *tervalo::readingValue(label));
    }
}

void DeviceLinkE2ETest::openAndDisabledChannels()
{
    Rig rig({QStringLiteral("--no-pacing"), QStringLiteral("--open"), QStringLiteral("2,5")});
    rig.w->state.saveToDisk = true;
    rig.w->chkCh[2]->setChecked(false);
    rig.w->chkCh[4]->setChecked(false); // open and disabled: disabled wins
    QVERIFY(rig.read());
    const QStringList labels = rig.w.labels();
    QCOMPARE(labels[1], QStringLiteral("Open"));
    QCOMPARE(labels[2], QStringLiteral("Disabled"));
    QCOMPARE(labels[4], QStringLiteral("Disabled"));
    const QStringList items = rig.w.probe.records.last().split(QLatin1Char(',')).mid(3, 6);
    QCOMPARE(items[1], QStringLiteral("open"));
    QCOMPARE(items[2], QStringLiteral("disabled"));
    QCOMPARE(items[4], QStringLiteral("disabled"));
    for (int i : {1, 2, 4})
        QCOMPARE(rig.w.probe.values.last()[i], qint16(0));
}

void DeviceLinkE2ETest::malformedAnswers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("decoded");
    QTest::addColumn<bool>("allErr");
    QTest::newRow("garbage: all six Err") << "garbage" << true << true;
    QTest::newRow("short: never decoded") << "short" << false << false;
    QTest::newRow("extra characters: never part of the next answer") << "extra" << true << false;
}

void DeviceLinkE2ETest::malformedAnswers()
{
    QFETCH(QString, fault);
    QFETCH(bool, decoded);
    QFETCH(bool, allErr);
    Rig rig({QStringLiteral("--no-pacing")});
    rig.w->state.saveToDisk = true;
    // A good reading first, so that what a failed one plots can be told from what was there.
    QVERIFY(rig.read());
    QVERIFY(rig.sim.command(QStringLiteral("fault ") + fault));
    const qsizetype before = rig.w.probe.records.size();
    QCOMPARE(rig.read(1500), decoded);
    if (!decoded) {
        QTRY_COMPARE(rig.w.status(), timeoutText);
        QCOMPARE(rig.w.view().inBufferCount, 0);
        QCOMPARE(rig.w.probe.records.size(), before);
    } else if (allErr) {
        const QString record = rig.w.probe.records.last();
        QVERIFY(record.endsWith(QStringLiteral("err,err,err,err,err,err,")));
        QTRY_COMPARE(rig.w.labels(), QStringList(6, QStringLiteral("Err")));
        for (qint16 v : rig.w.probe.values.last())
            QCOMPARE(v, qint16(0));
    } else {
        QVERIFY(!rig.w.probe.records.last().contains(QStringLiteral("err")));
    }
    // Whatever came past the 32nd character, and what never made a whole answer (even where the
    // line itself still held it at the time-out), is gone before the next answer: that is clean.
    rig.sim.command(QStringLiteral("fault none"));
    QVERIFY(rig.read());
    QVERIFY(!rig.w.probe.records.last().contains(QStringLiteral("err")));
    QCOMPARE(rig.w.view().inBufferCount, 0);
}

void DeviceLinkE2ETest::timeoutWithWrongAddress_data()
{
    QTest::addColumn<bool>("continuous");
    QTest::newRow("single reading") << false;
    QTest::newRow("continuous run stops") << true;
}

void DeviceLinkE2ETest::timeoutWithWrongAddress()
{
    QFETCH(bool, continuous);
    Rig rig({QStringLiteral("--address"), QStringLiteral("2")});
    rig.w->txtAddress->setText(QStringLiteral("5"));
    if (continuous)
        rig.w.startQuietRun();
    rig.w->state.saveToDisk = true;
    QElapsedTimer clock;
    qint64 firedAt = -1;
    // Heard on the session's thread, where the time-out runs.
    rig.w->acquisitionThread->call([&](tervalo::AcquisitionSession &s) {
        QObject::connect(&s.clock(), &tervalo::SessionClock::timeoutExpired, &s, [&] {
            if (firedAt < 0)
                firedAt = clock.elapsed();
        });
    });
    clock.start();
    rig.w->acquisition->cmdRead_Click();
    QVERIFY(rig.w.view().timeoutActive);
    // Enabling the running time-out again does not restart its countdown: 500 ms from the
    // first request, where a restart would make it 800 ms.
    QTest::qWait(300);
    rig.w.requestData();
    QTRY_COMPARE_WITH_TIMEOUT(rig.w.status(), timeoutText, 2000);
    QVERIFY2(firedAt >= 495 && firedAt < 700, qPrintable(QString::number(firedAt)));
    QVERIFY(!rig.w.view().timeoutActive);
    QTRY_COMPARE(rig.w.probe.stopCalls, continuous ? 1 : 0);
    QCOMPARE(rig.w->state.continuousFlag, false);
    QVERIFY(rig.w.probe.records.isEmpty());
}

void DeviceLinkE2ETest::sendFailureOnClosedPort()
{
    Rig rig({QStringLiteral("--no-pacing")});
    // A request nobody answers is outstanding when the next one cannot be sent.
    rig.w->txtAddress->setText(QStringLiteral("5"));
    rig.w.startQuietRun();
    rig.w.requestData();
    QVERIFY(rig.w.view().timeoutActive);
    rig.w->acquisitionThread->call([](tervalo::AcquisitionSession &s) { s.line().setPortOpen(false); });
    rig.w->lblCh[0]->setText(QStringLiteral("22.0"));
    rig.w.requestData();
    QTRY_COMPARE(rig.w.status(),
                 QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
    QVERIFY(!rig.w.view().timeoutActive);
    QTRY_COMPARE(rig.w.probe.stopCalls, 1);
    QVERIFY(!rig.w->state.continuousFlag);
    QCOMPARE(rig.w->lblCh[0]->text(), QStringLiteral("22.0"));
}

void DeviceLinkE2ETest::unplugRecoversAtNextRequest_data()
{
    QTest::addColumn<bool>("waiting");
    QTest::newRow("while an answer is awaited") << true;
    QTest::newRow("while idle") << false;
}

void DeviceLinkE2ETest::unplugRecoversAtNextRequest()
{
    QFETCH(bool, waiting);
    Rig rig({QStringLiteral("--replug-ms"), QStringLiteral("4000")});
    rig.w->state.saveToDisk = true;
    if (waiting) {
        rig.w.startQuietRun();
        QVERIFY(rig.sim.command(QStringLiteral("fault unplug")));
        rig.w.requestData();
    } else {
        // A hung-up line reads nothing for ever; it must be noticed although nobody reads.
        QVERIFY(rig.read());
        rig.w.startQuietRun();
        QVERIFY(rig.sim.command(QStringLiteral("unplug")));
    }
    QVERIFY(rig.sim.waitForLine(QStringLiteral("UNPLUGGED"), 3000));
    // The vanished device is noticed at once: port closed, time-out off, the run stopped.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.w.view().portOpen, 1000);
    QVERIFY(rig.w.view().suspendFlag);
    QVERIFY(!rig.w.view().timeoutActive);
    QTRY_COMPARE(rig.w.probe.stopCalls, 1);
    QTRY_COMPARE(rig.w.status(),
                 QStringLiteral("Error 8106 received. If problem persists please restart Tervalo."));

    // And then costs nothing while it is away.
    const double cpuBefore = processCpuSeconds();
    QTest::qWait(3000);
    const double cpu = processCpuSeconds() - cpuBefore;
    QVERIFY2(cpu < 0.1, qPrintable(QStringLiteral("%1 s of CPU in 3 s").arg(cpu)));

    // A reading while the card is still away fails to send, and the one after it tries again.
    rig.w->cmdRead->click();
    QTRY_VERIFY(rig.w.status().startsWith(QStringLiteral("Error ")));
    QVERIFY(rig.sim.waitForLine(QStringLiteral("READY"), 5000));
    rig.sim.command(QStringLiteral("fault none"));
    QTest::qWait(200);
    QVERIFY(rig.read());
    QVERIFY(rig.w.view().portOpen);
    QTRY_COMPARE(rig.w.status(), defaultStatus);
}

void DeviceLinkE2ETest::answersDuringADecodeAreNotMixed()
{
    Rig rig({QStringLiteral("--no-pacing")});
    rig.w->state.saveToDisk = true;
    const QString first = QStringLiteral("T0") + QStringLiteral("01110 1120 1130 1140 1150 1160");
    const QString second = QStringLiteral("T0") + QStringLiteral("02220 2222 2230 2240 2250 2260");

    // Two answers on the line at once: each is taken whole and alone.
    QVERIFY(rig.sim.command(QStringLiteral("send ") + first));
    QVERIFY(rig.sim.command(QStringLiteral("send ") + second));
    QTRY_COMPARE_WITH_TIMEOUT(rig.w.probe.records.size(), 2, 3000);
    QTest::qWait(100);
    QCOMPARE(rig.w.probe.records.size(), 2);
    QVERIFY2(rig.w.probe.records[0].endsWith(QStringLiteral(",c,1110,1120,1130,1140,1150,1160,")),
             qPrintable(rig.w.probe.records[0]));
    QVERIFY2(rig.w.probe.records[1].endsWith(QStringLiteral(",c,2220,2222,2230,2240,2250,2260,")),
             qPrintable(rig.w.probe.records[1]));
    QTRY_COMPARE(rig.w.labels()[1], QStringLiteral("2222"));
}

void DeviceLinkE2ETest::heldUpSessionIsNotALostLine()
{
    // The session's thread held up past a time-out while answers arrive: when it gets going, the
    // time-out and the next tick clear the line in the same turn of the event loop that found it
    // readable, and the read that follows finds nothing. That is no hang-up.
    Rig rig({});
    QStringList messages;
    QObject::connect(rig.w->acquisitionThread->session(), &tervalo::AcquisitionSession::statusText,
                     rig.w.window.get(), [&](const QString &text) { messages << text; });
    rig.w->cmdContinuous->click();
    for (int i = 0; i < 4; ++i) {
        QTest::qWait(400 + 90 * i);
        rig.w->acquisitionThread->call([](tervalo::AcquisitionSession &) { QThread::msleep(700); });
    }
    QTest::qWait(700);
    QVERIFY2(rig.w->state.continuousFlag || messages.contains(timeoutText),
             qPrintable(messages.join(QLatin1String("; "))));
    QVERIFY2(!messages.contains(QStringLiteral("Error 8106 received. If problem persists please restart Tervalo.")),
             qPrintable(messages.join(QLatin1String("; "))));
    QVERIFY(rig.w.view().portOpen);
}

void DeviceLinkE2ETest::decodedAtThe32ndCharacter_data()
{
    QTest::addColumn<bool>("requested");
    QTest::addColumn<QStringList>("simArgs");
    QTest::newRow("nothing requested") << false << QStringList{};
    QTest::newRow("while a reading is awaited") << true << QStringList{QStringLiteral("--no-pacing")};
}

void DeviceLinkE2ETest::decodedAtThe32ndCharacter()
{
    QFETCH(bool, requested);
    QFETCH(QStringList, simArgs);
    Rig rig(simArgs);
    rig.w->state.saveToDisk = true;
    if (requested) {
        rig.w->txtAddress->setText(QStringLiteral("5")); // the card does not answer it itself
        rig.w->cmdRead->click();
    }
    const qint64 wakeUpsBefore = rig.w.view().wakeUps;
    const QString answer = QStringLiteral("T0") + QStringLiteral("01110 1120 1130 1140 1150 1160");
    QVERIFY(rig.sim.command(QStringLiteral("send ") + answer.left(31)));
    if (requested) {
        QTest::qWait(100);
    } else {
        // Nothing awaited: every character is taken as it comes.
        QTRY_COMPARE(rig.w.view().inBufferCount, 31);
        QTest::qWait(200);
    }
    QVERIFY(rig.w.probe.records.isEmpty());
    QVERIFY(rig.sim.command(QStringLiteral("send ") + answer.right(1)));
    QTRY_COMPARE(rig.w.probe.records.size(), 1);
    QVERIFY(rig.w.probe.records[0].endsWith(QStringLiteral(",c,1110,1120,1130,1140,1150,1160,")));
    QCOMPARE(rig.w.view().inBufferCount, 0);
    QTRY_COMPARE(rig.w.status(), defaultStatus);
    if (requested) {
        const qint64 wakeUps = rig.w.view().wakeUps - wakeUpsBefore;
        QVERIFY2(wakeUps <= wakeUpsPerAnswer, qPrintable(QString::number(wakeUps)));
    }
}

QTEST_MAIN(DeviceLinkE2ETest)
#include "devicelink_e2e_test.moc"
