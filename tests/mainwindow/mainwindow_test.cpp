// The main window as a user meets it: start-up with and without stored settings, the two states
// of acquisition, shortcuts, and continuous readings from a card simulator.

#include "acquisition/acquisitioncycle.h"
#include "app/etchedframe.h"
#include "app/frmalarms.h"
#include "app/frmmain.h"
#include "common/branding.h"
#include "device/protocol.h"
#include "device/portnumbering.h"
#include "history/historykeeper.h"
#include "output/alarmdisplay.h"
#include "output/datalog.h"
#include "output/filedialog.h"
#include "output/frmgraph.h"
#include "output/graph.h"
#include "settings/registryfile.h"
#include "settings/registrymanagement.h"
#include "output/readingsdisplay.h"
#include "tests/support/scripteddialog.h"
#include "tests/support/sessionview.h"
#include "tests/support/simulatorprocess.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>

using namespace tervalo;
using RegistryManagement::RegValue;

namespace {

RegValue stored(const char *name)
{
    return RegistryManagement::readKeyValue(RegistryManagement::SETTINGS_KEY, name);
}

void store(const char *name, int16_t value)
{
    RegistryManagement::saveNumberSetting(name, value);
}

SessionView view(const frmMain &w)
{
    return sessionView(*w.acquisitionThread);
}

// What the graph is given for a label's text: its rounded number, 0 when it has none.
qint16 plotted(const QLabel *label)
{
    return tervalo::readingValue(label->text()).value_or(0);
}

const QString timeoutMessage = QStringLiteral("Communications timeout - Check cables and address settings");

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRun();
    void lastRunRestored();
    void unitClickIsStoredAtOnce();
    void controlStatesFollowTheRun();
    void shortcutsWorkFromEveryField_data();
    void shortcutsWorkFromEveryField();
    void timeoutStopsARunButLeavesIdleAlone();
    void keepRunningSwitch_data();
    void keepRunningSwitch();
    void keepRunningOutlastsATimeoutAndMarksTheReadings();
    void rescanKeepsTheDeviceInUse();
    void invalidRate_data();
    void invalidRate();
    void rateIsStoredWhenTheFocusLeaves();
    void continuousRunAtThreePerSecond();
    void closingWhileRunningStopsTheRun();
    void runLogsAndPlotsEveryReading();
    void resizingMovesNothing_data();
    void resizingMovesNothing();
    void dataOutputFrameDrawnAsPlaced();
    void alarmLatchesUntilAcknowledged();
    void alarmsDialogStoresTheRules();

private:
    std::unique_ptr<frmMain> loaded();

    QTemporaryDir m_dir;
    ScriptedDialog m_dialog;
    std::unique_ptr<SimulatorProcess> m_sim;
    int m_exits = 0;
};

void MainWindowTest::initTestCase()
{
    SimulatorProcess::isolateRuntimeFolder();
    setSystemSerialPortsListed(false);
}

void MainWindowTest::init()
{
    static int round = 0;
    RegistryManagement::setStoreFile(
        m_dir.filePath(QStringLiteral("settings-%1.reg").arg(++round)).toStdString());
    m_sim = std::make_unique<SimulatorProcess>();
    QVERIFY(m_sim->start({QStringLiteral("--no-pacing")}));
    m_exits = 0;
    m_dialog = ScriptedDialog();
}

void MainWindowTest::cleanup()
{
    m_sim.reset();
}

std::unique_ptr<frmMain> MainWindowTest::loaded()
{
    auto window = std::make_unique<frmMain>();
    window->endProgram = [this] { ++m_exits; };
    window->dataLog->setDialog(&m_dialog);
    window->Show();
    return window;
}

void MainWindowTest::firstRun()
{
    auto w = loaded();
    const char *numbers[] = {"Channel 1", "Channel 2", "Channel 3", "Channel 4", "Channel 5",
                             "Channel 6", "Port No",   "SampleRate", "Address",  "Update Time"};
    for (const char *name : numbers)
        QVERIFY2(stored(name).isNumber(), name);
    QCOMPARE(stored("Data Output"), RegValue::fromText("r"));

    for (QCheckBox *box : w->chkCh)
        QVERIFY(box->isChecked());
    QCOMPARE(w->txtAddress->text(), QStringLiteral("0"));
    QCOMPARE(w->cmbPort->currentText(), QStringLiteral("1"));
    QVERIFY(view(*w).portOpen);
    QCOMPARE(w->cmbSampleRate->count(), 9);
    QCOMPARE(w->cmbSampleRate->currentText(), QStringLiteral("3sps"));
    QCOMPARE(view(*w).interval, 333);
    QVERIFY(!view(*w).gridEnabled);
    QVERIFY(w->OptRaw->isChecked());
    QCOMPARE(w->state.tempType, QStringLiteral("r"));
    QCOMPARE(w->lblTemp[5]->text(), QStringLiteral("Raw"));
    QVERIFY(!w->mnuSave->isChecked());
    QVERIFY(!w->state.continuousFlag);
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QCOMPARE(QApplication::focusWidget(), w->chkSave);
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());

    // The menus as a user walks them with the keyboard: the items every user knows first and in
    // their order, ours after a separator, each access key once in its menu (C, V, K, R, A, W, and S
    // for "&Stop" during a run).
    QStringList menus;
    for (QAction *menu : w->menuBar()->actions()) {
        QString items = menu->text();
        for (QAction *item : menu->menu()->actions())
            items += QLatin1Char('|') + (item->isSeparator() ? QStringLiteral("-") : item->text());
        menus << items;
    }
    QCOMPARE(menus, QStringList({QStringLiteral("&File|E&xit"),
                                 QStringLiteral("&Tools|&Continuous|Sa&ve to Disk|-|&Keep Running|&Rescan Ports|"
                                                "&Alarms...|Ackno&wledge Alarms"),
                                 QStringLiteral("&View|&Graph|&History"),
                                 QStringLiteral("&Help|&About|&Help")}));

    // Tab goes round in the order that leaving the port, the address and the rate relies on.
    QStringList visited;
    for (int i = 0; i < 16; ++i) {
        QWidget *focus = QApplication::focusWidget();
        visited << (focus->objectName().isEmpty() ? focus->parentWidget()->objectName()
                                                  : focus->objectName());
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(visited.join(QLatin1Char(' ')),
             QStringLiteral("chkSave cmdGraph cmdRead cmdContinuous cmdExit cmbPort txtAddress "
                            "cmbSampleRate OptRaw chkCh3 chkCh2 chkCh1 chkCh0 chkCh5 chkCh4 chkSave"));
}

void MainWindowTest::lastRunRestored()
{
    SimulatorProcess second;
    QVERIFY(second.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                          QStringLiteral("second")}));
    store("Channel 2", 0);
    store("Channel 6", 0);
    store("Port No", 1);
    store("Address", 3);
    store("SampleRate", 8);
    RegistryManagement::saveTextSetting("Data Output", "f");

    auto w = loaded();
    const bool expected[6] = {true, false, true, true, true, false};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(w->chkCh[i]->isChecked(), expected[i]);
    QCOMPARE(w->cmbPort->currentIndex(), 1);
    QCOMPARE(view(*w).device, second.linkPath());
    QCOMPARE(w->txtAddress->text(), QStringLiteral("3"));
    QCOMPARE(w->cmbSampleRate->currentText(), QStringLiteral("1sph"));
    QCOMPARE(view(*w).interval, 3600000);
    QVERIFY(w->OptFahrenheit->isChecked());
    QCOMPARE(w->state.tempType, QStringLiteral("f"));
    QCOMPARE(w->lblTemp[0]->text(), QStringLiteral("Fahrenheit"));
}

void MainWindowTest::unitClickIsStoredAtOnce()
{
    auto w = loaded();
    w->cmdGraph->click();
    w->cmdRead->click();
    QTRY_VERIFY(!w->lblCh[0]->text().isEmpty());
    QTRY_COMPARE(w->graph->graphData[graphPoints - 1][1], plotted(w->lblCh[1]));
    QTest::mouseClick(w->OptCelsius, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(w->OptCelsius->isChecked());
    // The open graph starts again in the new unit.
    QCOMPARE(w->graph->window()->axisY->titleText(), QStringLiteral("Temperature Celsius"));
    QCOMPARE(w->graph->graphData, GraphData{});
    QCOMPARE(stored("Data Output"), RegValue::fromText("c"));
    QCOMPARE(w->state.tempType, QStringLiteral("c"));
    QCOMPARE(w->lblTemp[3]->text(), QStringLiteral("Celsius"));
    for (QLabel *label : w->lblCh)
        QVERIFY(label->text().isEmpty());
    QVERIFY(w->chkCh[0]->isChecked());

    w->cmdRead->click();
    QVERIFY(m_sim->waitForRequests(2, 3000));
    QCOMPARE(m_sim->requests().last(), QStringLiteral("t0ca"));

    // Selecting the option that is already selected still runs its handler.
    QTRY_VERIFY(!w->lblCh[0]->text().isEmpty());
    RegistryManagement::saveTextSetting("Data Output", "f");
    w->setDataOutputValueToTrue("c");
    QVERIFY(w->lblCh[0]->text().isEmpty());
    QCOMPARE(stored("Data Output"), RegValue::fromText("c"));

    // An unknown letter selects nothing and keeps the unit in use; "0" means raw.
    w->setDataOutputValueToTrue("x");
    QVERIFY(!w->OptRaw->isChecked() && !w->OptCelsius->isChecked() && !w->OptFahrenheit->isChecked());
    QCOMPARE(w->state.tempType, QStringLiteral("c"));
    w->setDataOutputValueToTrue("0");
    QVERIFY(w->OptRaw->isChecked());
    QCOMPARE(w->state.tempType, QStringLiteral("r"));
}

void MainWindowTest::controlStatesFollowTheRun()
{
    auto w = loaded();
    QList<QWidget *> locked = {w->cmbSampleRate, w->cmbPort, w->txtAddress,
                               w->cmdRead,       w->chkSave, w->frameDataOutputSelect};
    for (QCheckBox *box : w->chkCh)
        locked << box;
    const QList<QWidget *> always = {w->cmdContinuous, w->cmdGraph, w->cmdExit};
    const auto check = [&](bool running) {
        QCOMPARE(w->state.continuousFlag, running);
        const QString caption = running ? QStringLiteral("&Stop") : QStringLiteral("&Continuous");
        QCOMPARE(w->cmdContinuous->text(), caption);
        QCOMPARE(w->mnuContinuous->text(), caption);
        QCOMPARE(view(*w).gridEnabled, running);
        for (QWidget *control : locked)
            QVERIFY2(control->isEnabled() == !running, qPrintable(control->objectName()));
        QCOMPARE(w->OptCelsius->isEnabled(), !running);
        QCOMPARE(w->mnuSave->isEnabled(), !running);
        QCOMPARE(w->mnuKeepRunning->isEnabled(), !running);
        QCOMPARE(w->mnuRescanPorts->isEnabled(), !running);
        for (QWidget *control : always)
            QVERIFY(control->isEnabled());
        for (QAction *item : {w->mnuContinuous, w->mnuGraph, w->mnuExit, w->mnuAbout, w->mnuGetHelp})
            QVERIFY(item->isEnabled());
    };
    check(false);
    w->cmdContinuous->click();
    check(true);
    QCOMPARE(m_sim->requests().size(), 0); // the first request waits one interval
    w->mnuContinuous->trigger();
    check(false);
    w->mnuContinuous->trigger();
    check(true);
    w->cmdContinuous->click();
    check(false);
}

void MainWindowTest::shortcutsWorkFromEveryField_data()
{
    // The fields that keep Ctrl+X as "cut" for themselves unless the window says otherwise.
    QTest::addColumn<QString>("field");
    QTest::newRow("address box") << "txtAddress";
    QTest::newRow("port list") << "cmbPort";
    QTest::newRow("rate list") << "cmbSampleRate";
}

void MainWindowTest::shortcutsWorkFromEveryField()
{
    QFETCH(QString, field);
    auto w = loaded();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    auto *control = w->findChild<QWidget *>(field);
    QVERIFY(control);
    control->setFocus();
    QTRY_VERIFY(control->hasFocus());
    auto *combo = qobject_cast<QComboBox *>(control);
    if (combo)
        combo->lineEdit()->selectAll();
    const QString text = combo ? combo->currentText() : w->txtAddress->text();
    QSignalSpy save(w->mnuSave, &QAction::triggered);
    QSignalSpy graph(w->mnuGraph, &QAction::triggered);
    QSignalSpy help(w->mnuGetHelp, &QAction::triggered);
    QTest::keyClick(control, Qt::Key_G, Qt::ControlModifier);
    QTest::keyClick(control, Qt::Key_H, Qt::ControlModifier);
    QTest::keyClick(control, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(graph.size(), 1);
    QCOMPARE(help.size(), 1);
    QCOMPARE(m_exits, 1);
    QCOMPARE(combo ? combo->currentText() : w->txtAddress->text(), text); // nothing was cut
    if (combo)
        return;

    // Ctrl+S does nothing while logging cannot be switched.
    w->cmdContinuous->click();
    QTest::keyClick(w->cmdContinuous, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(save.size(), 0);
    w->cmdContinuous->click();
    w->cmbPort->setFocus();
    QTest::keyClick(w->cmbPort, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(save.size(), 1);
    QCOMPARE(m_dialog.shown, 1);
    QCOMPARE(w->lblStringDisplay->text(), QStringLiteral("No file was selected."));
    QVERIFY(!w->chkSave->isChecked());
    QVERIFY(!w->mnuSave->isChecked());
}

void MainWindowTest::timeoutStopsARunButLeavesIdleAlone()
{
    auto w = loaded();
    w->txtAddress->setText(QStringLiteral("6")); // nobody answers there

    w->cmdRead->click();
    QTRY_COMPARE_WITH_TIMEOUT(w->lblStringDisplay->text(), timeoutMessage, 2000);
    QTest::qWait(50);
    QVERIFY(!w->state.continuousFlag);
    QCOMPARE(w->cmdContinuous->text(), QStringLiteral("&Continuous"));

    w->lblStringDisplay->clear();
    w->cmdContinuous->click();
    QTRY_COMPARE_WITH_TIMEOUT(w->lblStringDisplay->text(), timeoutMessage, 3000);
    QTRY_VERIFY(!w->state.continuousFlag);
    QCOMPARE(w->cmdContinuous->text(), QStringLiteral("&Continuous"));
    QVERIFY(w->cmdRead->isEnabled());
    QVERIFY(!view(*w).gridEnabled);
}

void MainWindowTest::keepRunningSwitch_data()
{
    // What the store holds before the start, and whether the switch is on.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("on");
    QTest::newRow("missing") << "" << false;
    QTest::newRow("1") << "1" << true;
    QTest::newRow("0") << "0" << false;
    QTest::newRow("2") << "2" << false;
    QTest::newRow("a typo") << "text:yes" << false;
}

void MainWindowTest::keepRunningSwitch()
{
    QFETCH(QString, stored);
    QFETCH(bool, on);
    if (stored.startsWith(QLatin1String("text:")))
        RegistryManagement::saveTextSetting("Keep Running", stored.mid(5).toStdString());
    else if (!stored.isEmpty())
        store("Keep Running", int16_t(stored.toInt()));
    auto w = loaded();
    QCOMPARE(w->mnuKeepRunning->text(), QStringLiteral("&Keep Running"));
    QVERIFY(w->mnuKeepRunning->isCheckable());
    QCOMPARE(w->mnuKeepRunning->isChecked(), on);
    QCOMPARE(w->state.keepRunning, on);

    w->mnuKeepRunning->trigger();
    QCOMPARE(w->state.keepRunning, !on);
    QCOMPARE(::stored("Keep Running"), RegValue::fromNumber(on ? 0 : 1));
    w->mnuKeepRunning->trigger();
    QCOMPARE(w->mnuKeepRunning->isChecked(), on);
    QCOMPARE(::stored("Keep Running"), RegValue::fromNumber(on ? 1 : 0));
}

void MainWindowTest::keepRunningOutlastsATimeoutAndMarksTheReadings()
{
    auto w = loaded();
    const auto greyed = [&w] {
        int grey = 0;
        for (QLabel *label : w->lblCh) {
            const QPalette palette = label->palette();
            grey += palette.color(QPalette::WindowText) ==
                    palette.color(QPalette::Disabled, QPalette::WindowText);
        }
        return grey;
    };
    w->cmdRead->click();
    QTRY_VERIFY(!w->lblCh[5]->text().isEmpty());
    const QStringList shown = [&w] {
        QStringList texts;
        for (QLabel *label : w->lblCh)
            texts << label->text();
        return texts;
    }();
    // The boxes are white whatever their text says, as the eye reads them.
    const auto white = [&w] {
        int count = 0;
        for (QLabel *label : w->lblCh)
            count += label->grab().toImage().pixelColor(3, 3) == QColor(Qt::white);
        return count;
    };
    QCOMPARE(greyed(), 0);
    QCOMPARE(white(), 6);
    QVERIFY(w->lblCh[0]->toolTip().startsWith(QStringLiteral("Answer received ")));

    w->mnuKeepRunning->trigger();
    QVERIFY(m_sim->command(QStringLiteral("fault no-answer")));
    w->cmdContinuous->click();
    QTRY_COMPARE_WITH_TIMEOUT(w->lblStringDisplay->text(), timeoutMessage, 3000);
    // The run goes on, asking again at every tick; the old readings stay, greyed.
    const qsizetype asked = m_sim->requests().size();
    QVERIFY(m_sim->waitForRequests(int(asked) + 2, 3000));
    QVERIFY(w->state.continuousFlag);
    QVERIFY(w->display->readingsStale());
    QCOMPARE(greyed(), 6);
    QCOMPARE(white(), 6);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(w->lblCh[i]->text(), shown[i]);

    // The card answers again: fresh readings in the window's own colour.
    QVERIFY(m_sim->command(QStringLiteral("fault none")));
    QTRY_COMPARE_WITH_TIMEOUT(w->lblStringDisplay->text(), defaultStatusText(), 3000);
    QTRY_VERIFY(!w->display->readingsStale());
    QCOMPARE(greyed(), 0);
    QCOMPARE(white(), 6);
    w->cmdContinuous->click();
    QVERIFY(!w->state.continuousFlag);
}

void MainWindowTest::rescanKeepsTheDeviceInUse()
{
    SimulatorProcess second;
    QVERIFY(second.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                          QStringLiteral("second")}));
    store("Port No", 1);
    auto w = loaded();
    QCOMPARE(view(*w).device, second.linkPath());
    QCOMPARE(w->mnuRescanPorts->text(), QStringLiteral("&Rescan Ports"));

    // A card plugged in since the start sorts first; the one in use keeps its selection.
    SimulatorProcess newcomer;
    QVERIFY(newcomer.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                            QStringLiteral("another")}));
    QCOMPARE(w->cmbPort->count(), 2);
    w->mnuRescanPorts->trigger();
    QCOMPARE(w->cmbPort->count(), 3);
    QCOMPARE(w->cmbPort->currentIndex(), 2);
    QVERIFY(view(*w).portOpen);
    QCOMPARE(view(*w).device, second.linkPath());
    QCOMPARE(stored("Port No"), RegValue::fromNumber(2));
    // The device itself beside the position, for tervalo-log.
    QCOMPARE(stored("Port Device"), RegValue::fromText(second.linkPath().toStdString()));
    w->cmdRead->click();
    QVERIFY(second.waitForRequests(1, 3000));

    // The card in use is gone: the first entry, as at a start.
    second.stop();
    w->mnuRescanPorts->trigger();
    QCOMPARE(w->cmbPort->count(), 2);
    QCOMPARE(w->cmbPort->currentIndex(), 0);
    QCOMPARE(view(*w).device, newcomer.linkPath());
    QCOMPARE(stored("Port No"), RegValue::fromNumber(0));
    QCOMPARE(stored("Port Device"), RegValue::fromText(newcomer.linkPath().toStdString()));
}

void MainWindowTest::invalidRate_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("unknown code") << "7sps";
    QTest::newRow("wrong case") << "3SPS";
    QTest::newRow("empty") << "";
}

void MainWindowTest::invalidRate()
{
    QFETCH(QString, entry);
    auto w = loaded();
    w->cmbSampleRate->addItem(entry);
    w->cmbSampleRate->setCurrentIndex(w->cmbSampleRate->count() - 1);
    w->acquisition->cmbSampleRate_LostFocus();
    QCOMPARE(w->lblStringDisplay->text(), QStringLiteral("Invalid Sample Rate"));
    QCOMPARE(w->cmbSampleRate->currentIndex(), 0);
    QCOMPARE(w->cmbSampleRate->currentText(), QStringLiteral("3sps"));
    QCOMPARE(view(*w).interval, 333);
}

void MainWindowTest::rateIsStoredWhenTheFocusLeaves()
{
    auto w = loaded();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    w->cmbSampleRate->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(w->cmbSampleRate->hasFocus());
    w->cmbSampleRate->setCurrentIndex(5); // "1spm"
    QCOMPARE(stored("SampleRate"), RegValue::fromNumber(0)); // not yet: the focus is still there
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_VERIFY(!w->cmbSampleRate->hasFocus());
    QCOMPARE(stored("SampleRate"), RegValue::fromNumber(5));
    QCOMPARE(view(*w).interval, 60000);
}

void MainWindowTest::continuousRunAtThreePerSecond()
{
    m_sim.reset();
    m_sim = std::make_unique<SimulatorProcess>();
    QVERIFY(m_sim->start()); // paced at 2400 baud, as the real line
    auto w = loaded();
    w->cmdContinuous->click();
    QTest::qWait(2150);
    w->cmdContinuous->click();
    // Ticks at 333, 666, ... 1998 ms: six requests, each answered within the interval.
    const int requests = int(m_sim->requests().size());
    QVERIFY2(requests >= 5 && requests <= 7, qPrintable(QString::number(requests)));
    QTRY_VERIFY_WITH_TIMEOUT(!view(*w).timeoutActive, 1000);
    QCOMPARE(w->lblStringDisplay->text(), defaultStatusText());
    for (QLabel *label : w->lblCh)
        QCOMPARE(label->text().size(), 4);
}

void MainWindowTest::closingWhileRunningStopsTheRun()
{
    QWidget other;
    other.show();
    auto w = loaded();
    w->cmdContinuous->click();
    w->close();
    QVERIFY(!view(*w).portOpen);
    QVERIFY(!w->state.continuousFlag);
    QVERIFY(!view(*w).gridEnabled);
}

void MainWindowTest::runLogsAndPlotsEveryReading()
{
    const QString log = m_dir.filePath(QStringLiteral("run.csv"));
    m_dialog.answer = log;
    auto w = loaded();
    w->chkCh[2]->setChecked(false);
    w->mnuSave->trigger();
    QVERIFY(w->chkSave->isChecked());
    QVERIFY(w->mnuSave->isChecked());
    w->cmdGraph->click();
    QVERIFY(w->graph->graphVisible());
    w->OptCelsius->click(); // the graph is open: re-titled and cleared
    w->mnuHistory->trigger(); // follows the log, which the first record creates
    QVERIFY(w->history->window()->isVisible());
    w->cmdContinuous->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_sim->requests().size() >= 4, 4000);
    w->cmdContinuous->click();
    QTRY_VERIFY_WITH_TIMEOUT(!view(*w).timeoutActive, 1000);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.last(), QByteArray()); // every record ends with its line end
    const qsizetype records = lines.size() - 1;
    QCOMPARE(records, m_sim->requests().size());
    for (qsizetype i = 0; i < records; ++i) {
        const QList<QByteArray> fields = lines[i].split(',');
        QCOMPARE(fields.size(), 10);
        QCOMPARE(fields[2], QByteArray("c"));
        QCOMPARE(fields[5], QByteArray("disabled"));
        QVERIFY(lines[i].endsWith(",\r"));
    }
    // Logged before the window hears of it: wait until the last consumer has it too.
    QTRY_COMPARE(w->history->records().size(), records);
    // The newest reading is the rightmost point; the disabled channel stays at zero.
    const auto &newest = w->graph->graphData[49];
    for (int i = 0; i < 6; ++i)
        QCOMPARE(newest[size_t(i)], plotted(w->lblCh[i]));
    QCOMPARE(newest[2], qint16(0));
    QCOMPARE(w->graph->graphData[49 - records], (std::array<qint16, 6>{}));
    // The history holds every reading, and its window shows the log as it grew.
    const HistoryData &shown = w->history->window()->data();
    QCOMPARE(shown.size(), records);
    QCOMPARE(shown.shownUnit(), 'c');
    QVERIFY(std::isnan(shown.value(records - 1, 2)));
    // With the card's tenths, where the graph rounds to whole numbers.
    QCOMPARE(shown.value(records - 1, 0), w->lblCh[0]->text().toFloat());
}

void MainWindowTest::resizingMovesNothing_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger") << QSize(613, 420);
    // Smaller than the drawn client area: the controls are cut off, not squeezed.
    QTest::newRow("smaller") << QSize(200, 120);
}

void MainWindowTest::resizingMovesNothing()
{
    QFETCH(QSize, size);
    auto w = loaded();
    QCOMPARE(w->centralWidget()->size(), QSize(413, 256));
    const QRect read = w->cmdRead->geometry();
    const QRect status = w->lblStringDisplay->geometry();
    w->resize(size);
    QTest::qWait(50);
    QCOMPARE(w->size(), size);
    QCOMPARE(w->cmdRead->geometry(), read);
    QCOMPARE(w->lblStringDisplay->geometry(), status);
}

void MainWindowTest::dataOutputFrameDrawnAsPlaced()
{
    auto w = loaded();
    auto *frame = qobject_cast<EtchedFrame *>(w->frameDataOutputSelect);
    QVERIFY(frame);
    QCOMPARE(frame->geometry(), QRect(160, 136, 89, 81));
    const QImage image = frame->grab().toImage();
    const qreal scale = image.devicePixelRatio();
    const QColor ground = frame->palette().color(QPalette::Window);
    // How much of a stretch of one row, in the frame's own pixels, is drawn on.
    const auto inked = [&](int row, int from, int to) {
        int count = 0;
        for (int x = int(from * scale); x < int(to * scale); ++x)
            count += image.pixelColor(x, row) != ground;
        return double(count) / (int(to * scale) - int(from * scale));
    };
    const QRect caption = frame->captionRect();
    // The top line runs right of the caption; the caption's text stands above and below it.
    int line = -1;
    int textTop = -1;
    int textBottom = -1;
    for (int row = 0; row < int(w->OptRaw->y() * scale); ++row) {
        const bool lineRow = inked(row, caption.right() + 2, frame->width() - 3) > 0.9;
        if (lineRow && line < 0)
            line = row;
        else if (!lineRow && inked(row, caption.left(), caption.right()) > 0)
            textBottom = row, textTop = textTop < 0 ? row : textTop;
        // One line only: none between the caption and the first option, as a group box draws.
        QVERIFY2(!lineRow || row <= line + 2 * scale, qPrintable(QStringLiteral("line at %1").arg(row)));
    }
    QVERIFY2(textTop < line && line < textBottom,
             qPrintable(QStringLiteral("text %1..%2, line %3").arg(textTop).arg(textBottom).arg(line)));
    QVERIFY(inked(line, 1, caption.left()) > 0.9);
    // Every option whole: inside the frame, below the line, tall enough for its round indicator.
    QStyleOptionButton look;
    look.initFrom(w->OptFahrenheit);
    const int indicator = w->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, &look, w->OptFahrenheit);
    for (QRadioButton *option : {w->OptRaw, w->OptCelsius, w->OptFahrenheit}) {
        QVERIFY(option->geometry().top() * scale > line + scale);
        QVERIFY(option->geometry().bottom() < frame->height() - 2);
        QVERIFY(option->height() >= indicator);
    }
}

// An alarm in the window: the box in the alarm colour with the reason in its tool tip, the
// status line naming it, latched after the reading is back until a click on the box.
void MainWindowTest::alarmLatchesUntilAcknowledged()
{
    RegistryManagement::saveTextSetting("Data Output", "c");
    RegistryManagement::saveTextSetting("Alarm Rules", "ch1>0C;ch9>1;ch6:open");
    auto w = loaded();
    // The rule that cannot be read is left out, the others are in force.
    QCOMPARE(alarmRulesText(w->alarms->rules()), QStringLiteral("ch1>0C;ch6:open"));
    const auto background = [&w](int i) { return w->lblCh[size_t(i)]->grab().toImage().pixelColor(3, 3); };
    QVERIFY(!w->mnuAcknowledgeAlarms->isEnabled());
    w->cmdRead->click();
    QTRY_COMPARE(background(0), AlarmDisplay::alarmColour());
    QCOMPARE(background(1), QColor(Qt::white));
    QCOMPARE(w->lblStringDisplay->text(), QStringLiteral("Alarm: channel 1 above 0 Celsius"));
    QVERIFY2(w->lblCh[0]->toolTip().contains(QStringLiteral("\nAlarm: channel 1 above 0 Celsius since ")),
             qPrintable(w->lblCh[0]->toolTip()));
    QVERIFY(w->mnuAcknowledgeAlarms->isEnabled());

    // The reading is back under the limit: still coloured, until the click.
    w->alarms->setRules({*parseAlarmRule(QStringLiteral("ch1>1000C"))}, 0, 1);
    w->cmdRead->click();
    QVERIFY(m_sim->waitForRequests(2, 3000));
    QTRY_VERIFY(w->lblCh[0]->toolTip().contains(QStringLiteral("back since")));
    QCOMPARE(background(0), AlarmDisplay::alarmColour());
    QTest::mouseClick(w->lblCh[0], Qt::LeftButton);
    QCOMPARE(background(0), QColor(Qt::white));
    QVERIFY(!w->lblCh[0]->toolTip().contains(QStringLiteral("Alarm")));
    QVERIFY(!w->mnuAcknowledgeAlarms->isEnabled());
}

// Tools > Alarms sets the rules, says which cannot watch the readings, and stores them.
void MainWindowTest::alarmsDialogStoresTheRules()
{
    auto w = loaded(); // raw readings
    w->mnuAlarms->trigger();
    frmAlarms *dialog = w->alarmsDialog;
    QVERIFY(dialog && dialog->isVisible() && !dialog->isModal());
    dialog->chkAbove[2]->setChecked(true);
    dialog->spnAbove[2]->setValue(250);
    dialog->chkOpen[5]->setChecked(true);
    dialog->spnDelay->setValue(3);
    QCOMPARE(dialog->lblInactive[2]->text(), QStringLiteral("inactive: readings are in Raw"));
    QCOMPARE(dialog->lblInactive[5]->text(), QString()); // open is open in every unit
    dialog->cmbUnit->setCurrentIndex(2); // raw counts
    QCOMPARE(dialog->lblInactive[2]->text(), QString());
    dialog->cmbUnit->setCurrentIndex(0);
    emit dialog->applied();
    QCOMPARE(alarmRulesText(w->alarms->rules()), QStringLiteral("ch3>250C;ch6:open"));
    QCOMPARE(w->alarms->delay(), 3);
    QCOMPARE(stored("Alarm Rules"), RegValue::fromText("ch3>250C;ch6:open"));
    QCOMPARE(stored("Alarm Delay"), RegValue::fromNumber(3));
    // What the store holds comes back in the dialog the next time.
    dialog->close();
    w->alarms->loadSettings();
    w->mnuAlarms->trigger();
    QVERIFY(dialog->chkAbove[2]->isChecked() && dialog->chkOpen[5]->isChecked());
    QCOMPARE(dialog->spnAbove[2]->value(), 250.0);
}

QTEST_MAIN(MainWindowTest)
#include "mainwindow_test.moc"
