// The whole window under the faults a user really meets: the card unplugged and plugged back,
// answers damaged on the line, a log file that cannot be written, a settings file that cannot be
// read. Everything goes through the real serial layer, a card simulator and real files.

#include "acquisition/acquisitioncycle.h"
#include "acquisition/sessionclock.h"
#include "acquisition/sessionthread.h"
#include "app/frmmain.h"
#include "common/branding.h"
#include "device/portnumbering.h"
#include "output/datalog.h"
#include "output/filedialog.h"
#include "settings/registryfile.h"
#include "settings/registrymanagement.h"
#include "tests/support/logchecks.h"
#include "tests/support/scripteddialog.h"
#include "tests/support/sessionview.h"
#include "tests/support/simulatorprocess.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

using namespace tervalo;

namespace {

QString writeError(int error)
{
    return QStringLiteral("Error %1 was encountered when writing to disk.").arg(error);
}

// What the window shows of its settings, to compare one start with another.
QStringList settingsShown(const frmMain &w)
{
    QStringList shown;
    for (const QCheckBox *box : w.chkCh)
        shown << (box->isChecked() ? QStringLiteral("on") : QStringLiteral("off"));
    shown << w.txtAddress->text() << w.cmbPort->currentText() << w.cmbSampleRate->currentText()
          << w.state.tempType
          << QString::number(sessionView(*w.acquisitionThread).interval);
    return shown;
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unplugAndReplug_data();
    void unplugAndReplug();
    void unpluggedAtStartUp_data();
    void unpluggedAtStartUp();
    void damagedAnswersInALoggedRun_data();
    void damagedAnswersInALoggedRun();
    void logFileThatCannotBeWritten_data();
    void logFileThatCannotBeWritten();
    void unusableSettingsFile_data();
    void unusableSettingsFile();
    void windowBusyDuringALoggedRun();

private:
    std::unique_ptr<frmMain> loaded();
    // One Read Data; true once its reading is on the labels.
    bool readOnce(frmMain &w, int timeoutMs = 5000);

    QTemporaryDir m_dir;
    ScriptedDialog m_dialog;
    std::unique_ptr<SimulatorProcess> m_sim;
};

void FaultsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    SimulatorProcess::isolateRuntimeFolder();
    setSystemSerialPortsListed(false);
}

void FaultsTest::init()
{
    static int round = 0;
    RegistryManagement::setStoreFile(
        m_dir.filePath(QStringLiteral("settings-%1.reg").arg(++round)).toStdString());
    m_sim = std::make_unique<SimulatorProcess>();
    m_dialog = ScriptedDialog();
}

void FaultsTest::cleanup()
{
    m_sim.reset();
}

std::unique_ptr<frmMain> FaultsTest::loaded()
{
    auto window = std::make_unique<frmMain>();
    window->endProgram = [] {};
    window->dataLog->setDialog(&m_dialog);
    window->Show();
    return window;
}

bool FaultsTest::readOnce(frmMain &w, int timeoutMs)
{
    for (QLabel *label : w.lblCh)
        label->clear();
    w.cmdRead->click();
    return QTest::qWaitFor([&] { return !w.lblCh[5]->text().isEmpty(); }, timeoutMs);
}

void FaultsTest::windowBusyDuringALoggedRun()
{
    // Paced at 2400 baud, logged at three readings a second. The window thread is held for two
    // seconds in the middle, as a large file or a print would hold it: sampling never notices.
    QVERIFY(m_sim->start());
    const QString log = m_dir.filePath(QStringLiteral("busy.csv"));
    m_dialog.answer = log;
    auto w = loaded();
    w->mnuSave->trigger();
    QVERIFY(w->chkSave->isChecked());
    // The ticks as the session's own thread sees them, and every message it gives.
    QList<qint64> ticks;
    QElapsedTimer run;
    w->acquisitionThread->call([&](AcquisitionSession &s) {
        QObject::connect(&s.clock(), &SessionClock::Timer, &s, [&] { ticks.append(run.nsecsElapsed()); });
    });
    QStringList messages;
    QObject::connect(w->acquisitionThread->session(), &AcquisitionSession::statusText, w.get(),
                     [&](const QString &text) {
                         if (text != defaultStatusText())
                             messages << text;
                     });
    run.start();
    w->cmdContinuous->click();
    QTest::qWait(1000);
    QThread::msleep(2000); // the window thread, busy
    QTest::qWait(1000);
    w->cmdContinuous->click();
    QTRY_VERIFY_WITH_TIMEOUT(!sessionView(*w->acquisitionThread).timeoutActive, 3000);
    QTest::qWait(300);

    const QList<qint64> grid = w->acquisitionThread->call([&](AcquisitionSession &) { return ticks; });
    const QList<QStringList> records = checkedRecords(fileBytes(log));
    const int requests = int(m_sim->requests().size());
    qint64 worstMs = 0;
    for (qsizetype n = 0; n < grid.size(); ++n)
        worstMs = std::max(worstMs, qAbs(grid[n] / 1000000 - 333 * (n + 1)));
    const QString summary = QStringLiteral("%1 ticks, %2 requests, %3 records, worst %4 ms off the grid")
                                .arg(grid.size()).arg(requests).arg(records.size()).arg(worstMs);
    qInfo("%s", qPrintable(summary));
    // Twelve ticks in four seconds, none skipped, each on its grid point; every request answered
    // and logged whole; no time-out, no error.
    QVERIFY2(grid.size() >= 11 && grid.size() <= 13, qPrintable(summary));
    QVERIFY2(worstMs < 30, qPrintable(summary));
    QCOMPARE(requests, grid.size());
    QCOMPARE(records.size(), requests);
    QCOMPARE(std::count_if(records.begin(), records.end(), alignedCounts), records.size());
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1String("; "))));
}

void FaultsTest::unplugAndReplug_data()
{
    QTest::addColumn<bool>("continuous");
    QTest::newRow("during a continuous run") << true;
    QTest::newRow("during a single reading") << false;
}

void FaultsTest::unplugAndReplug()
{
    QFETCH(bool, continuous);
    QVERIFY(m_sim->start({QStringLiteral("--no-pacing"), QStringLiteral("--replug-ms"),
                          QStringLiteral("1000")}));
    auto w = loaded();
    QVERIFY(sessionView(*w->acquisitionThread).portOpen);

    if (continuous) {
        w->cmdContinuous->click();
        QVERIFY(m_sim->waitForRequests(2, 5000));
        QVERIFY(m_sim->command(QStringLiteral("unplug")));
    } else {
        QVERIFY(m_sim->command(QStringLiteral("fault unplug")));
        w->cmdRead->click();
    }
    QVERIFY(m_sim->waitForLine(QStringLiteral("UNPLUGGED"), 5000));

    // The vanished card ends the run with a message instead of an error at every tick.
    QTRY_VERIFY_WITH_TIMEOUT(!sessionView(*w->acquisitionThread).portOpen, 3000);
    QTRY_VERIFY_WITH_TIMEOUT(w->lblStringDisplay->text().startsWith(QStringLiteral("Error ")), 3000);
    QVERIFY(!w->state.continuousFlag);
    QCOMPARE(w->cmdContinuous->text(), QStringLiteral("&Continuous"));
    QVERIFY(w->cmdRead->isEnabled());
    QVERIFY(!sessionView(*w->acquisitionThread).gridEnabled);
    QVERIFY(!sessionView(*w->acquisitionThread).timeoutActive);

    // Plugged back in, the next Read Data reads again, on the port the user had.
    QVERIFY(m_sim->waitForLine(QStringLiteral("READY"), 5000));
    QVERIFY(m_sim->command(QStringLiteral("fault none")));
    QVERIFY(readOnce(*w));
    QVERIFY(sessionView(*w->acquisitionThread).portOpen);
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    for (QLabel *label : w->lblCh)
        QCOMPARE(label->text().size(), 4);

    // And a new run goes on by itself.
    const qsizetype before = m_sim->requests().size();
    w->cmdContinuous->click();
    QVERIFY(m_sim->waitForRequests(int(before) + 3, 5000));
    w->cmdContinuous->click();
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
}

void FaultsTest::unpluggedAtStartUp_data()
{
    QTest::addColumn<bool>("viaPortList");
    QTest::newRow("port list left after the replug") << true;
    QTest::newRow("next request after the replug") << false;
}

void FaultsTest::unpluggedAtStartUp()
{
    QFETCH(bool, viaPortList);
    // Back long after the window has loaded, even on a slow machine.
    QVERIFY(m_sim->start({QStringLiteral("--no-pacing"), QStringLiteral("--replug-ms"),
                          QStringLiteral("3000")}));
    QVERIFY(m_sim->command(QStringLiteral("unplug")));
    QVERIFY(m_sim->waitForLine(QStringLiteral("UNPLUGGED"), 5000));

    auto w = loaded();
    QVERIFY(w->isVisible());
    QVERIFY(!sessionView(*w->acquisitionThread).portOpen);
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    QVERIFY(QTest::qWaitForWindowActive(w.get()));

    QVERIFY(m_sim->waitForLine(QStringLiteral("READY"), 8000));
    if (viaPortList) {
        w->cmbPort->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(w->cmbPort->hasFocus());
        w->cmbPort->setEditText(QStringLiteral("1"));
        w->txtAddress->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(!w->cmbPort->hasFocus());
    } else {
        // The first request may still find the port closed; the one after it must not.
        readOnce(*w, 1500);
    }
    const bool read = readOnce(*w);
    QVERIFY2(read, qPrintable(w->lblStringDisplay->text()));
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
}

void FaultsTest::damagedAnswersInALoggedRun_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("fault");
    for (const char *rate : {"3sps", "2sps", "1sps"}) {
        for (const char *fault : {"garbage", "short", "extra", "stray"})
            QTest::addRow("%s %s", rate, fault) << rate << fault;
    }
    // A card that needs about 350 ms for each answer: at 3 a second the next request goes out
    // while the previous answer is still arriving.
    QTest::newRow("3sps slow answers") << "3sps" << "slow";
}

void FaultsTest::damagedAnswersInALoggedRun()
{
    QFETCH(QString, rate);
    QFETCH(QString, fault);
    // Paced at 2400 baud as on the real line; every second answer is damaged.
    const bool slow = fault == QLatin1String("slow");
    QVERIFY(m_sim->start(slow ? QStringList{QStringLiteral("--delay"), QStringLiteral("215"),
                                            QStringLiteral("--queue")}
                              : QStringList{QStringLiteral("--fault"), fault,
                                            QStringLiteral("--fault-every"), QStringLiteral("2")}));
    const QString log = m_dir.filePath(QStringLiteral("%1-%2.csv").arg(rate, fault));
    m_dialog.answer = log;
    const bool stray = fault == QLatin1String("stray");
    auto w = loaded();
    if (stray) {
        // Shifted by one, a one-decimal reading ("22.4") still reads as a number ("022."); the
        // channels that print whole degrees or a sign would only show Err.
        w->OptCelsius->click();
        for (int i : {2, 3, 5})
            w->chkCh[i]->setChecked(false);
    }
    w->cmbSampleRate->setCurrentIndex(w->cmbSampleRate->findText(rate));
    w->acquisition->cmbSampleRate_LostFocus();
    QCOMPARE(w->cmbSampleRate->currentText(), rate);
    w->mnuSave->trigger();
    QVERIFY(w->chkSave->isChecked());

    QStringList timeouts;
    QObject::connect(w->acquisitionThread->session(), &AcquisitionSession::statusText, w.get(),
                     [&](const QString &text) {
                         if (text == QStringLiteral("Communications timeout - Check cables and address settings"))
                             timeouts << text;
                     });
    w->cmdContinuous->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->requests().size() >= 6 || !w->state.continuousFlag, 15000);
    const bool stoppedByItself = !w->state.continuousFlag;
    if (!stoppedByItself)
        w->cmdContinuous->click();
    // The answer to the last request is still taken after the stop.
    QTRY_VERIFY_WITH_TIMEOUT(!sessionView(*w->acquisitionThread).timeoutActive, 3000);
    QTest::qWait(300);
    const int requests = int(m_sim->requests().size());
    const auto answers = [this] { return m_sim->answersSent(); };
    if (slow) {
        QTRY_COMPARE_WITH_TIMEOUT(answers(), requests, 3000);
        QTest::qWait(100);
    }

    const QList<QStringList> records =
        checkedRecords(fileBytes(log), stray ? QStringLiteral("c") : QStringLiteral("r"));
    if (QTest::currentTestFailed())
        return;
    QVERIFY(!records.isEmpty());
    const auto good = std::count_if(records.begin(), records.end(),
                                    [](const QStringList &items) { return !items.isEmpty(); });
    const auto clean = std::count_if(records.begin(), records.end(), alignedCounts);
    const QString summary = QStringLiteral("%1 requests, %2 records, %3 good, %4 clean, status \"%5\"")
                                .arg(requests)
                                .arg(records.size())
                                .arg(good)
                                .arg(clean)
                                .arg(w->lblStringDisplay->text());

    if (slow) {
        // Each answer is taken whole, however it overlaps the next request.
        QVERIFY2(!stoppedByItself && timeouts.isEmpty(), qPrintable(summary));
        QCOMPARE(records.size(), answers());
        QCOMPARE(clean, records.size());
    } else if (fault == QLatin1String("garbage")) {
        // Junk where the readings belong: Err, and the run carries on.
        QVERIFY2(!stoppedByItself, qPrintable(summary));
        QCOMPARE(records.size(), requests);
        QVERIFY2(good > 0 && good < records.size(), qPrintable(summary));
        QVERIFY2(clean == good, qPrintable(summary));
    } else if (fault == QLatin1String("short")) {
        // Too short to decode: the answer is never taken alone. It ends with the time-out unless
        // the next answer completes it first, and then that mixture is the error record.
        // (The answer to a request sent just before the time-out may still come and be shown.)
        QVERIFY2(records.size() < requests, qPrintable(summary));
        QVERIFY2(!stoppedByItself || !timeouts.isEmpty(), qPrintable(summary));
        QVERIFY2(good > 0 && clean == good, qPrintable(summary));
    } else if (fault == QLatin1String("extra")) {
        // The characters after an answer go with it and spoil nothing: the damaged answer is
        // itself whole, and so are all the others.
        QVERIFY2(!stoppedByItself, qPrintable(summary));
        QVERIFY2(records.size() >= 2 && alignedCounts(records[1]), qPrintable(summary));
        QCOMPARE(clean, records.size());
    } else {
        // A character ahead of the answer shifts every field by one: the status digit shows up
        // ahead of the reading's first three characters.
        QVERIFY2(!stoppedByItself, qPrintable(summary));
        QCOMPARE(records.size(), requests);
        // The character in front of a field's status may be a "1" that reads as an open
        // thermocouple; the first channel has the address digit in front of it.
        const bool shifted = std::any_of(records.begin(), records.end(), [](const QStringList &items) {
            static const QRegularExpression moved(QStringLiteral("^0..\\.$"));
            return !items.isEmpty() && moved.match(items[0]).hasMatch() &&
                   std::all_of(items.begin(), items.end(), [](const QString &item) {
                       return item == QLatin1String("disabled") || item == QLatin1String("open") ||
                              moved.match(item).hasMatch();
                   });
        });
        QVERIFY2(shifted, qPrintable(summary));
    }
}

namespace {
enum class LogFault { FullDisk, ReadOnlyFile, ParentIsAFile, FolderInItsPlace, FolderDeleted };
}

void FaultsTest::logFileThatCannotBeWritten_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("error");
    QTest::newRow("full disk") << int(LogFault::FullDisk) << ENOSPC;
    QTest::newRow("read-only file") << int(LogFault::ReadOnlyFile) << EACCES;
    QTest::newRow("parent is a file") << int(LogFault::ParentIsAFile) << ENOTDIR;
    QTest::newRow("folder in its place") << int(LogFault::FolderInItsPlace) << EISDIR;
    QTest::newRow("folder deleted") << int(LogFault::FolderDeleted) << ENOENT;
}

void FaultsTest::logFileThatCannotBeWritten()
{
    QFETCH(int, kind);
    QFETCH(int, error);
    const auto fault = LogFault(kind);
    if (fault == LogFault::FullDisk && !QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("this system has no /dev/full");
    if (fault == LogFault::ReadOnlyFile && ::geteuid() == 0)
        QSKIP("root writes to a read-only file; the rows with a folder in the way stop root too");

    QTemporaryDir dir(m_dir.filePath(QStringLiteral("log-XXXXXX")));
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("logs"));
    const QString real = dir.filePath(QStringLiteral("real.csv"));
    QString log = folder + QStringLiteral("/run.csv");
    QVERIFY(QDir().mkpath(folder));
    if (fault == LogFault::FullDisk) {
        log = dir.filePath(QStringLiteral("link.csv"));
        QVERIFY(QFile::link(real, log));
    }

    const auto breakIt = [&] {
        switch (fault) {
        case LogFault::FullDisk:
            return QFile::remove(log) && QFile::link(QStringLiteral("/dev/full"), log);
        case LogFault::ReadOnlyFile:
            return QFile::setPermissions(log, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ReadOther);
        case LogFault::ParentIsAFile: {
            QFile blocker(folder);
            return QDir(folder).removeRecursively() && blocker.open(QIODevice::WriteOnly);
        }
        case LogFault::FolderInItsPlace:
            return QFile::remove(log) && QDir().mkpath(log + QStringLiteral("/inside"));
        case LogFault::FolderDeleted:
            return QDir(folder).removeRecursively();
        }
        return false;
    };
    const auto mendIt = [&] {
        switch (fault) {
        case LogFault::FullDisk:
            return QFile::remove(log) && QFile::link(real, log);
        case LogFault::ReadOnlyFile:
            return QFile::setPermissions(log, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        case LogFault::ParentIsAFile:
            return QFile::remove(folder) && QDir().mkpath(folder);
        case LogFault::FolderInItsPlace:
            return QDir(log).removeRecursively();
        case LogFault::FolderDeleted:
            return QDir().mkpath(folder);
        }
        return false;
    };
    const QString written = fault == LogFault::FullDisk ? real : log;

    QVERIFY(m_sim->start({QStringLiteral("--no-pacing")}));
    m_dialog.answer = log;
    auto w = loaded();
    w->mnuSave->trigger();
    QVERIFY(w->chkSave->isChecked());
    QVERIFY(readOnce(*w));
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    const QByteArray before = fileBytes(written);
    QCOMPARE(checkedRecords(before).size(), 1);

    // Every reading says the record was lost, and the file keeps only whole records.
    QVERIFY(breakIt());
    for (int i = 0; i < 2; ++i) {
        w->lblStringDisplay->clear();
        QVERIFY(readOnce(*w));
        QCOMPARE(w->lblStringDisplay->text(), writeError(error));
        QVERIFY(w->chkSave->isChecked());
    }
    const bool keptItsRecords = fault != LogFault::FolderInItsPlace && fault != LogFault::FolderDeleted &&
                                fault != LogFault::ParentIsAFile;
    if (keptItsRecords)
        QCOMPARE(fileBytes(written), before);

    // Once the cause has gone, logging goes on without the user choosing the file again.
    QVERIFY(mendIt());
    QVERIFY(readOnce(*w));
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    QVERIFY(readOnce(*w));
    QCOMPARE(m_dialog.shown, 1);
    const QByteArray after = fileBytes(written);
    QCOMPARE(checkedRecords(after).size(), keptItsRecords ? 3 : 2);
    if (keptItsRecords)
        QVERIFY(after.startsWith(before));
    // The box names the file, what went into it and the last failure.
    const QString tip = w->chkSave->toolTip();
    QVERIFY2(tip.contains(QFileInfo(log).absoluteFilePath()) &&
                 tip.contains(QStringLiteral("\n3 records written since logging started")) &&
                 tip.contains(QStringLiteral("Last write error: ") + writeError(error)),
             qPrintable(tip));
}

namespace {
enum class SettingsFault { Folder, Malformed, Truncated };
}

void FaultsTest::unusableSettingsFile_data()
{
    QTest::addColumn<int>("kind");
    // What the window shows (channels 1 to 6, address, port, rate, unit, interval); nothing
    // for what a first start shows. A damaged line costs its own value only.
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("a folder in its place") << int(SettingsFault::Folder) << QStringList();
    QTest::newRow("malformed lines")
        << int(SettingsFault::Malformed)
        << QStringList{"on", "off", "on", "on", "on", "on", "3", "1", "3sps", "r", "333"};
    QTest::newRow("cut off in a value")
        << int(SettingsFault::Truncated)
        << QStringList{"off", "off", "off", "off", "off", "on", "3", "1", "1sph", "f", "3600000"};
}

void FaultsTest::unusableSettingsFile()
{
    QFETCH(int, kind);
    QFETCH(QStringList, shown);
    // The card answers at the address the window will show.
    QVERIFY(m_sim->start({QStringLiteral("--no-pacing"), QStringLiteral("--address"),
                          shown.isEmpty() ? QStringLiteral("0") : shown[6]}));
    // What a first start shows, from a settings file that is not there.
    QStringList defaults;
    {
        auto first = loaded();
        defaults = settingsShown(*first);
    }

    const QString file = m_dir.filePath(QStringLiteral("damaged-%1.reg").arg(kind));
    RegistryManagement::setStoreFile(file.toStdString());
    switch (SettingsFault(kind)) {
    case SettingsFault::Folder:
        QVERIFY(QDir().mkpath(file + QStringLiteral("/inside")));
        break;
    case SettingsFault::Malformed: {
        QFile text(file);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo]\r\n"
                   "\"Address\"=dword:00000003\r\n\"SampleRate\"=dword:0000zz08\r\n"
                   "\"Data Output\"=\"f\r\n\"Channel 2\"=dword:00000000\r\n");
        break;
    }
    case SettingsFault::Truncated: {
        // Every value away from its default, then the file cut in the middle of its last value.
        RegistryManagement::saveNumberSetting("Address", 3);
        RegistryManagement::saveNumberSetting("SampleRate", 8);
        RegistryManagement::saveTextSetting("Data Output", "f");
        for (int i = 1; i <= 6; ++i)
            RegistryManagement::saveNumberSetting("Channel " + std::to_string(i), 0);
        QByteArray text = fileBytes(file);
        while (text.endsWith('\n') || text.endsWith('\r'))
            text.chop(1);
        const qsizetype lastLine = text.lastIndexOf('\n');
        QVERIFY(lastLine > 0);
        QVERIFY(text.indexOf('=', lastLine) > 0);
        text.truncate(text.indexOf('=', lastLine) + 2);
        QFile cut(file);
        QVERIFY(cut.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cut.write(text);
        break;
    }
    }

    auto w = loaded();
    QVERIFY(w->isVisible());
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    QCOMPARE(settingsShown(*w), shown.isEmpty() ? defaults : shown);
    // The window still works on those settings.
    QVERIFY(readOnce(*w));
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
}

QTEST_MAIN(FaultsTest)
#include "faults_test.moc"
