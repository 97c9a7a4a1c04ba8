// The rate table, the sampling timer's grid, and the acquisition cycle's handlers on a small
// window of their own, with the other subsystems replaced by hooks that record their calls.

#include "acquisition/acquisitioncycle.h"
#include "acquisition/hirestimer.h"
#include "acquisition/ratetable.h"
#include "settings/registrymanagement.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#ifdef Q_OS_UNIX
#include <sched.h>
#include <sys/resource.h>
#endif

using namespace tervalo;

namespace {

const QString commTimer = QStringLiteral("commTimer");
const QString key = QStringLiteral("t");

// When each tick of one timer arrives, in ms from the log's creation (just before enabling).
struct TickLog
{
    TickLog(HiResTimer &timer, const QString &name)
    {
        QObject::connect(&timer, &HiResTimer::Timer, &timer, [this, name](const QString &sKey) {
            if (sKey == name)
                times.append(double(clock.nsecsElapsed()) / 1e6);
        });
        clock.start();
    }
    QList<double> times;
    QElapsedTimer clock;
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int storedRate()
{
    const auto value =
        RegistryManagement::readKeyValue(RegistryManagement::SETTINGS_KEY, "SampleRate");
    return value.isNumber() ? value.number : -100;
}

struct Host
{
    Host()
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(cmbSampleRate);
        layout->addWidget(next);
        cmbSampleRate->setEditable(true);
        cycle = std::make_unique<AcquisitionCycle>(
            state, AcquisitionControls{cmdRead, cmdContinuous, mnuContinuous, cmbSampleRate,
                                       lblStringDisplay});
        cycle->setHooks({[this](bool on) { controlStates.append(on); }});
        // What the session would be told.
        QObject::connect(cycle.get(), &AcquisitionCycle::readRequested, [this] { ++requests; });
        QObject::connect(cycle.get(), &AcquisitionCycle::intervalChosen, [this](int ms) { m_interval = ms; });
        QObject::connect(cycle.get(), &AcquisitionCycle::runStarted, [this] { m_running = true; });
        QObject::connect(cycle.get(), &AcquisitionCycle::runStopped, [this] { m_running = false; });
    }
    int interval() const { return m_interval; }
    bool running() const { return m_running; }
    int m_interval = 250;
    bool m_running = false;

    QWidget window;
    QPushButton *cmdRead = new QPushButton(&window);
    QPushButton *cmdContinuous = new QPushButton(&window);
    QAction *mnuContinuous = new QAction(&window);
    QComboBox *cmbSampleRate = new QComboBox(&window);
    QLineEdit *next = new QLineEdit(&window);
    QLabel *lblStringDisplay = new QLabel(&window);
    WindowState state;
    int requests = 0;
    QList<bool> controlStates;
    std::unique_ptr<AcquisitionCycle> cycle; // goes before the controls it watches
};

} // namespace

class AcquisitionTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit()); }

    void rateTable_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("expected"); // -1: not a rate
        const std::pair<const char *, int> rates[] = {
            {"5sps", 200},     {"4sps", 250},     {"3sps", 333},      {"2sps", 500},
            {"1sps", 1000},    {"6spm", 10000},   {"3spm", 20000},    {"2spm", 30000},
            {"1spm", 60000},   {"6sph", 600000},  {"3sph", 1200000},  {"2sph", 1800000},
            {"1sph", 3600000}};
        for (const auto &[code, interval] : rates)
            QTest::newRow(code) << code << interval;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("upper case") << "3SPS" << -1;
        QTest::newRow("blank before") << " 3sps" << -1;
        QTest::newRow("unknown count") << "7sps" << -1;
    }
    void rateTable()
    {
        QFETCH(QString, code);
        QFETCH(int, expected);
        QCOMPARE(sampleRateInterval(code).value_or(-1), expected);
    }

    void timerKeepsToItsGrid()
    {
        HiResTimer timer;
        timer.Add(key, 200);
        TickLog log(timer, key);
        timer.setEnabled(key, true);
        QTRY_VERIFY_WITH_TIMEOUT(log.times.size() >= 40, 20000);
        QList<double> errors;
        for (qsizetype n = 0; n < 40; ++n)
            errors.append(log.times[n] - 200.0 * double(n + 1));
        // Medians, so that one late wake-up of a busy machine does not decide. A timer counting
        // from its last wake-up falls behind at every tick: that shows between first and last.
        const double early = median(errors.mid(0, 10));
        const double late = median(errors.mid(30, 10));
        QVERIFY2(qAbs(early) < 15 && qAbs(late) < 15 && qAbs(late - early) < 6,
                 qPrintable(QStringLiteral("%1 ms, then %2 ms").arg(early).arg(late)));
    }

    void enableAndDisable()
    {
        HiResTimer timer;
        timer.Add(key, 400);
        timer.Add(QStringLiteral("never"), 200);
        TickLog log(timer, key);
        TickLog never(timer, QStringLiteral("never"));
        timer.setEnabled(key, true);
        QTest::qWait(250);
        timer.setEnabled(key, true); // no restart: the first tick stays due at 400 ms, not 650
        QTRY_COMPARE_WITH_TIMEOUT(log.times.size(), 1, 3000);
        QVERIFY2(log.times[0] < 600, qPrintable(QString::number(log.times[0])));

        timer.setInterval(key, 0); // clamped to 200 ms, still running
        QVERIFY(timer.isEnabled(key));
        QCOMPARE(timer.interval(key), 200);
        QTest::qWait(1000);
        QVERIFY2(log.times.size() >= 5, qPrintable(QString::number(log.times.size())));

        timer.setEnabled(key, false);
        timer.setInterval(key, 4000000);
        QCOMPARE(timer.interval(key), 3600000);
        const qsizetype stopped = log.times.size();
        QTest::qWait(500);
        QVERIFY(!timer.isEnabled(key));
        QCOMPARE(log.times.size(), stopped);
        QVERIFY(never.times.isEmpty());
    }

    void blockedLoopGivesOneTick()
    {
        HiResTimer timer;
        timer.Add(key, 200);
        TickLog log(timer, key);
        timer.setEnabled(key, true);
        QThread::msleep(1130); // five ticks missed, the sixth due at 1200 ms
        QTest::qWait(30);
        QCOMPARE(log.times.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(log.times.size(), 2, 3000);
        // Back on the grid: a multiple of 200 ms from the start, not 200 ms after the late tick.
        const double second = log.times[1];
        QVERIFY2(qAbs(second - 200.0 * qRound(second / 200.0)) < 40 && second - log.times[0] < 180,
                 qPrintable(QStringLiteral("%1 then %2 ms").arg(log.times[0]).arg(second)));
    }

    // The interval changed while the loop is held up, before the tick due under the old one (if
    // any) has been raised: the next tick counts from the run's start, and a tick that came due
    // under the old interval is not raised as well.
    void intervalChangedWhileHeld_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("heldMs");
        QTest::addColumn<int>("after");
        QTest::addColumn<double>("firstTickMs");
        QTest::newRow("longer, nothing due") << 200 << 100 << 600 << 600.0;
        QTest::newRow("longer, old tick due") << 200 << 250 << 700 << 700.0;
        QTest::newRow("shorter, already passed") << 1000 << 300 << 200 << 300.0;
    }
    void intervalChangedWhileHeld()
    {
        QFETCH(int, before);
        QFETCH(int, heldMs);
        QFETCH(int, after);
        QFETCH(double, firstTickMs);
        HiResTimer timer;
        timer.Add(key, before);
        TickLog log(timer, key);
        timer.setEnabled(key, true);
        QThread::msleep(heldMs);
        timer.setInterval(key, after);
        QTRY_VERIFY_WITH_TIMEOUT(!log.times.isEmpty(), 3000);
        QVERIFY2(log.times[0] >= firstTickMs - 1 && log.times[0] < firstTickMs + 60,
                 qPrintable(QString::number(log.times[0])));
    }

    // Stopped or replaced while its tick is due but not yet raised: nothing more comes.
    void stoppedWhileTickDue_data()
    {
        QTest::addColumn<bool>("readd");
        QTest::newRow("disabled") << false;
        QTest::newRow("added again") << true;
    }
    void stoppedWhileTickDue()
    {
        QFETCH(bool, readd);
        HiResTimer timer;
        timer.Add(key, 200);
        TickLog log(timer, key);
        timer.setEnabled(key, true);
        QThread::msleep(250);
        if (readd)
            timer.Add(key, 200);
        else
            timer.setEnabled(key, false);
        QTest::qWait(300);
        QVERIFY(log.times.isEmpty());
        QVERIFY(!timer.isEnabled(key));
    }

    // A tick is never raised before its grid point: the log's clock starts before the run's, so
    // each tick is at least n x interval after it. Waking early and calling it the tick would
    // put samples a whole interval out whenever the clocks disagree.
    void noTickBeforeItsGridPoint()
    {
        HiResTimer timer;
        timer.Add(key, 200);
        TickLog log(timer, key);
        timer.setEnabled(key, true);
        QTRY_VERIFY_WITH_TIMEOUT(log.times.size() >= 5, 5000);
        for (qsizetype n = 0; n < log.times.size(); ++n)
            QVERIFY2(log.times[n] >= 200.0 * double(n + 1) - 1,
                     qPrintable(QStringLiteral("tick %1 at %2 ms").arg(n + 1).arg(log.times[n])));
    }

    void fillRateList_data()
    {
        QTest::addColumn<int>("saved");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("interval");
        QTest::newRow("first") << 0 << "3sps" << 333;
        QTest::newRow("last") << 8 << "1sph" << 3600000;
        QTest::newRow("past the end") << 9 << "3sps" << 333;
        QTest::newRow("negative") << -1 << "3sps" << 333;
    }
    void fillRateList()
    {
        QFETCH(int, saved);
        QFETCH(QString, selected);
        QFETCH(int, interval);
        Host host;
        host.cycle->fillRateList(saved);
        QStringList entries;
        for (int i = 0; i < host.cmbSampleRate->count(); ++i)
            entries << host.cmbSampleRate->itemText(i);
        QCOMPARE(entries.join(' '), QStringLiteral("3sps 2sps 1sps 6spm 2spm 1spm 6sph 2sph 1sph"));
        QCOMPARE(host.cmbSampleRate->currentText(), selected);
        QCOMPARE(host.interval(), interval);
        QVERIFY(!host.running());
        QVERIFY(host.lblStringDisplay->text().isEmpty());
    }

    void toggle_data()
    {
        QTest::addColumn<bool>("fromMenu");
        QTest::newRow("button") << false;
        QTest::newRow("menu") << true;
    }
    void toggle()
    {
        QFETCH(bool, fromMenu);
        Host host;
        host.cycle->fillRateList(8); // one an hour
        const auto click = [&] {
            fromMenu ? host.mnuContinuous->trigger() : host.cmdContinuous->click();
        };
        click();
        QVERIFY(host.state.continuousFlag);
        QCOMPARE(host.cmdContinuous->text(), QStringLiteral("&Stop"));
        QCOMPARE(host.mnuContinuous->text(), QStringLiteral("&Stop"));
        QCOMPARE(host.controlStates, QList<bool>{false});
        QVERIFY(host.running());
        QCOMPARE(host.interval(), 3600000);
        click();
        QVERIFY(!host.state.continuousFlag);
        QCOMPARE(host.cmdContinuous->text(), QStringLiteral("&Continuous"));
        QCOMPARE(host.mnuContinuous->text(), QStringLiteral("&Continuous"));
        QCOMPARE(host.controlStates, (QList<bool>{false, true}));
        QVERIFY(!host.running());
        QCOMPARE(host.requests, 0); // nothing is sent when a run starts
        host.cmdRead->click();
        QCOMPARE(host.requests, 1);
    }

    void typedRate_data()
    {
        QTest::addColumn<QString>("text"); // the edit field; null: no entry selected
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("interval");
        QTest::newRow("no entry") << QString() << -1 << "3sps" << 333;
        QTest::newRow("unknown text") << "fast" << -1 << "3sps" << 333;
        QTest::newRow("code in upper case") << "1SPM" << -1 << "3sps" << 333;
        QTest::newRow("code not in the list") << "5sps" << -1 << "3sps" << 333;
        QTest::newRow("an entry typed out") << "1spm" << 5 << "1spm" << 60000;
    }
    void typedRate()
    {
        QFETCH(QString, text);
        QFETCH(int, stored);
        QFETCH(QString, selected);
        QFETCH(int, interval);
        Host host;
        host.cycle->fillRateList(2);
        if (text.isNull())
            host.cmbSampleRate->setCurrentIndex(-1);
        else
            host.cmbSampleRate->setEditText(text);
        host.cycle->cmbSampleRate_LostFocus();
        QCOMPARE(host.lblStringDisplay->text() == QStringLiteral("Invalid Sample Rate"),
                 stored < 0);
        QCOMPARE(host.cmbSampleRate->currentText(), selected);
        QCOMPARE(host.interval(), interval);
        QCOMPARE(storedRate(), stored);
    }

    void rateTakenWhenFocusLeaves()
    {
        Host host;
        host.cycle->fillRateList(0);
        host.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&host.window));
        host.cmbSampleRate->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(host.cmbSampleRate->hasFocus());
        host.cmbSampleRate->setCurrentIndex(7);
        QCOMPARE(host.interval(), 333);
        host.next->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(host.interval(), 1800000);
        QCOMPARE(storedRate(), 7);
    }

    // A run the session ended by itself puts the window back to idle; one the user already
    // stopped, or an earlier run, does not start it again.
    void sessionEndedRun()
    {
        Host host;
        host.cycle->fillRateList(8);
        int runId = 0;
        QObject::connect(host.cycle.get(), &AcquisitionCycle::runStarted, [&](int id) { runId = id; });
        host.cmdContinuous->click();
        host.cycle->sessionEndedRun(runId - 1); // an earlier run's end, arriving late
        QVERIFY(host.state.continuousFlag);
        host.cycle->sessionEndedRun(runId);
        QVERIFY(!host.state.continuousFlag);
        QCOMPARE(host.cmdContinuous->text(), QStringLiteral("&Continuous"));
        QVERIFY(!host.running());
        host.cycle->sessionEndedRun(runId); // said twice: still idle
        QVERIFY(!host.state.continuousFlag);
    }

    void priorityNeverRealTime()
    {
#ifdef Q_OS_UNIX
        errno = 0;
        const int niceBefore = ::getpriority(PRIO_PROCESS, 0);
        SetPriority(-2, 0x100); // the real-time class, as at start-up
        QCOMPARE(::sched_getscheduler(0), SCHED_OTHER);
        QVERIFY(::getpriority(PRIO_PROCESS, 0) <= niceBefore);
#else
        QSKIP("the Windows calls are passed through as they are");
#endif
    }
};

QTEST_MAIN(AcquisitionTest)
#include "acquisition_test.moc"
