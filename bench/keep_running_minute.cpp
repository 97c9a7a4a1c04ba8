// A minute of continuous readings with Keep Running through the faults of a long weekend run:
// paced at 2400 baud, every 20th request unanswered, the card unplugged for 5 s after 20 s.
// Every answer that came must be logged, whole and aligned, and the run must still be going at
// the end. It takes a real minute, so it is run by hand; the same rules are checked in
// milliseconds by the acquisition session's tests.
//
//   keep_running_minute

#include "acquisition/sessionthread.h"
#include "app/frmmain.h"
#include "common/branding.h"
#include "device/cardexchange.h"
#include "device/portnumbering.h"
#include "output/datalog.h"
#include "output/readingsdisplay.h"
#include "settings/registryfile.h"
#include "settings/registrymanagement.h"
#include "tests/support/logchecks.h"
#include "tests/support/scripteddialog.h"
#include "tests/support/simulatorprocess.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace tervalo;

class KeepRunningMinute : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        SimulatorProcess::isolateRuntimeFolder();
        setSystemSerialPortsListed(false);
        RegistryManagement::setStoreFile(m_dir.filePath(QStringLiteral("settings.reg")).toStdString());
    }

    void keepRunningThroughAMinuteOfFaults()
    {
        SimulatorProcess sim;
        QVERIFY(sim.start({QStringLiteral("--fault"), QStringLiteral("no-answer"),
                           QStringLiteral("--fault-every"), QStringLiteral("20"),
                           QStringLiteral("--replug-ms"), QStringLiteral("5000")}));
        const QString log = m_dir.filePath(QStringLiteral("keep-running.csv"));
        ScriptedDialog dialog;
        dialog.answer = log;
        frmMain w;
        w.endProgram = [] {};
        w.dataLog->setDialog(&dialog);
        w.Show();
        w.mnuKeepRunning->trigger();
        w.mnuSave->trigger();
        int timeouts = 0;
        QObject::connect(w.acquisitionThread->session(), &AcquisitionSession::statusText, &w,
                         [&](const QString &text) { timeouts += text == timeoutText(); });
        QElapsedTimer run;
        run.start();
        w.cmdContinuous->click();

        QTest::qWait(20000);
        QVERIFY(sim.command(QStringLiteral("unplug")));
        QVERIFY(sim.waitForLine(QStringLiteral("UNPLUGGED"), 5000));
        QTRY_VERIFY_WITH_TIMEOUT(w.lblStringDisplay->text().startsWith(QStringLiteral("Error ")), 3000);
        QVERIFY(w.state.continuousFlag);
        QVERIFY(w.display->readingsStale());
        // Back by itself on the same port, without a click.
        QVERIFY(sim.waitForLine(QStringLiteral("READY"), 8000));
        QTRY_COMPARE_WITH_TIMEOUT(w.lblStringDisplay->text(), defaultStatusText(), 3000);
        QTRY_VERIFY(!w.display->readingsStale());

        QTest::qWait(int(qMax<qint64>(0, 60000 - run.elapsed())));
        QVERIFY(w.state.continuousFlag); // only the user's Stop ends the run
        w.cmdContinuous->click();
        QTest::qWait(800);

        const QList<QStringList> records = checkedRecords(fileBytes(log));
        const int requests = int(sim.requests().size());
        const int answers = sim.answersSent();
        const auto clean = std::count_if(records.begin(), records.end(), alignedCounts);
        const QString summary = QStringLiteral("%1 requests, %2 answers, %3 records, %4 clean, %5 time-outs")
                                    .arg(requests).arg(answers).arg(records.size()).arg(clean)
                                    .arg(timeouts);
        qInfo("%s", qPrintable(summary));
        // Every answer that came is logged, whole; a missed one leaves no record.
        QCOMPARE(records.size(), answers);
        QCOMPARE(clean, records.size());
        // At this rate a missed answer raises no time-out: the next answer comes before it would
        // expire, and takes the timer with it. The gap is in the log's times.
        QVERIFY2(answers >= 150 && answers <= requests - 8, qPrintable(summary));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(KeepRunningMinute)
#include "keep_running_minute.moc"
