// The port list, the address box and the suspend notice, against a card simulator on a real
// pseudo-terminal.

#include "devicelinkfixture.h"

#include "common/focusloss.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>

#include <sys/stat.h>
#include <unistd.h>

using RegistryManagement::RegValue;

namespace {
// A second card, sorted after the one every test has, and the window's ports looked for.
bool startSecondCard(SimulatorProcess &second, LinkWindow &w)
{
    if (!second.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                       QStringLiteral("zz-second")}))
        return false;
    w->ports->probePorts(0);
    return w->cmbPort->count() == 2;
}
} // namespace

class DeviceLinkTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rejectedAddresses_data();
    void rejectedAddresses();
    void acceptedAddress();
    void invalidPortEntry_data();
    void invalidPortEntry();
    void typedPortEntry_data();
    void typedPortEntry();
    void unavailablePortThenReadFails();
    void leavingThePortListReopensIt();
    void probeSelectsRememberedPosition_data();
    void probeSelectsRememberedPosition();
    void probeWithoutPorts();
    void suspendStopsAndNextReadReopens();
    void focusLossOnlyWhenTheFocusMovesOn();
    void refusedAddressKeepsItsMessage();
    void simulatorFolderTrustedOnlyWhenPrivate_data();
    void simulatorFolderTrustedOnlyWhenPrivate();

private:
    std::unique_ptr<SimulatorProcess> m_sim;
};

void DeviceLinkTest::initTestCase()
{
    isolateStoreAndPorts();
}

void DeviceLinkTest::init()
{
    m_sim = std::make_unique<SimulatorProcess>();
    QVERIFY(m_sim->start({QStringLiteral("--no-pacing")}));
}

void DeviceLinkTest::cleanup()
{
    m_sim.reset();
}

void DeviceLinkTest::rejectedAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("8") << "8";
    QTest::newRow("9") << "9";
    QTest::newRow("07") << "07";
    QTest::newRow("blank then 5") << " 5";
    QTest::newRow("-1") << "-1";
    QTest::newRow("letter") << "a";
    QTest::newRow("empty") << "";
    QTest::newRow("5 and a pasted line end") << "5\n";
}

void DeviceLinkTest::rejectedAddresses()
{
    QFETCH(QString, text);
    RegistryManagement::saveNumberSetting("Address", 6);
    LinkWindow w;
    w->txtAddress->setText(text);
    w->ports->txtAddress_LostFocus();
    QCOMPARE(w.status(), QStringLiteral("Invalid Address - Must be an integer between 0 and 7"));
    QCOMPARE(w->txtAddress->text(), QStringLiteral("0"));
    QCOMPARE(storedSetting("Address"), RegValue::fromNumber(6)); // the reset "0" is not stored
}

void DeviceLinkTest::acceptedAddress()
{
    LinkWindow w;
    w->lblStringDisplay->setText(QStringLiteral("an old message"));
    w->txtAddress->setText(QStringLiteral("5"));
    w->ports->txtAddress_LostFocus();
    QCOMPARE(storedSetting("Address"), RegValue::fromNumber(5));
    QCOMPARE(w.status(), defaultStatus);
    QCOMPARE(w->txtAddress->text(), QStringLiteral("5"));
}

void DeviceLinkTest::invalidPortEntry_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("selected");
    QTest::addColumn<int>("expectedIndex");
    QTest::newRow("not a number") << QStringList{"1", "COM"} << 1 << 0;
    QTest::newRow("nothing selected") << QStringList{"1"} << -1 << 0;
    QTest::newRow("empty list") << QStringList{} << -1 << -1;
}

void DeviceLinkTest::invalidPortEntry()
{
    QFETCH(QStringList, entries);
    QFETCH(int, selected);
    QFETCH(int, expectedIndex);
    LinkWindow w;
    w->ports->probePorts(0);
    QVERIFY(w.view().portOpen);
    w->cmbPort->clear();
    w->cmbPort->addItems(entries);
    w->cmbPort->setCurrentIndex(selected);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.status(), QStringLiteral("Invalid Comm Port"));
    QCOMPARE(w->cmbPort->currentIndex(), expectedIndex);
    QVERIFY(!w.view().portOpen);
}

void DeviceLinkTest::typedPortEntry_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("expectedIndex");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a listed entry selects it") << "2" << 1 << true;
    QTest::newRow("a port not in the list") << "3" << 0 << false;
    QTest::newRow("a blank before the number") << " 2" << 0 << false;
}

void DeviceLinkTest::typedPortEntry()
{
    QFETCH(QString, typed);
    QFETCH(int, expectedIndex);
    QFETCH(bool, accepted);
    SimulatorProcess second;
    LinkWindow w;
    QVERIFY(startSecondCard(second, w));
    w->cmbPort->setEditText(typed);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w->cmbPort->currentIndex(), expectedIndex);
    QCOMPARE(w->cmbPort->currentText(), w->cmbPort->itemText(expectedIndex));
    QCOMPARE(w.view().portOpen, accepted);
    QCOMPARE(w.status(), accepted ? defaultStatus : QStringLiteral("Invalid Comm Port"));
    if (accepted)
        QCOMPARE(w.view().device, second.linkPath());
}

void DeviceLinkTest::unavailablePortThenReadFails()
{
    RegistryManagement::saveNumberSetting("Port No", 0);
    LinkWindow w;
    w->ports->probePorts(0);
    w->cmbPort->addItem(QStringLiteral("99"));
    w->cmbPort->setCurrentIndex(w->cmbPort->count() - 1);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.status(), QStringLiteral("Comm Port Not Available"));
    QCOMPARE(w->cmbPort->currentIndex(), 0);
    QVERIFY(!w.view().portOpen);
    QCOMPARE(storedSetting("Port No"), RegValue::fromNumber(0));

    // The first entry is shown selected, but nothing opened it: a reading fails to send.
    w->cmdRead->click();
    QTRY_COMPARE(w.status(),
             QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
    QVERIFY(!w.view().timeoutActive);
}

void DeviceLinkTest::leavingThePortListReopensIt()
{
    SimulatorProcess second;
    LinkWindow w;
    QVERIFY(startSecondCard(second, w));
    QCOMPARE(w.view().device, m_sim->linkPath());
    QCOMPARE(w->cmbPort->itemData(1, Qt::ToolTipRole).toString(), second.linkPath());

    w->cmbPort->setCurrentIndex(1);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.view().device, second.linkPath());
    QCOMPARE(storedSetting("Port No"), RegValue::fromNumber(1));

    // Unchanged, the port is still closed and opened again: a partial answer in the receive
    // buffer does not survive it.
    second.command(QStringLiteral("fault short"));
    QTest::qWait(100);
    w->acquisitionThread->post([](tervalo::AcquisitionSession &s) { s.line().setOutput(QStringLiteral("t0ca")); });
    QTRY_VERIFY(w.view().inBufferCount > 0);
    w->lblStringDisplay->setText(QStringLiteral("an old message"));
    w->ports->cmbPort_LostFocus();
    QVERIFY(w.view().portOpen);
    QCOMPARE(w.view().device, second.linkPath());
    QCOMPARE(w.view().inBufferCount, 0);
    QCOMPARE(w.status(), defaultStatus);

    // An adapter plugged in later sorts first in the system's list, but port 2 still means the
    // device it meant: on leaving the list and on the reopen after a suspend.
    SimulatorProcess newcomer;
    QVERIFY(newcomer.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                            QStringLiteral("aa-newcomer")}));
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.view().device, second.linkPath());
    w->sysInfo->announceSuspend();
    w->cmdRead->click();
    QTRY_COMPARE(w.view().device, second.linkPath());
    QCOMPARE(w->cmbPort->itemData(1, Qt::ToolTipRole).toString(), second.linkPath());

    // Gone, it fails as any port that does not open; it is never replaced by another device.
    second.stop();
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.status(), QStringLiteral("Comm Port Not Available"));
    QVERIFY(!w.view().portOpen);
}

void DeviceLinkTest::probeSelectsRememberedPosition_data()
{
    QTest::addColumn<int>("saved");
    QTest::addColumn<int>("expected");
    QTest::newRow("second entry") << 1 << 1;
    QTest::newRow("beyond the list") << 7 << 0;
    QTest::newRow("negative") << -1 << 0;
}

void DeviceLinkTest::probeSelectsRememberedPosition()
{
    QFETCH(int, saved);
    QFETCH(int, expected);
    SimulatorProcess second;
    QVERIFY(second.start({QStringLiteral("--link"), QStringLiteral("zz-second")}));
    LinkWindow w;
    w->ports->probePorts(saved);
    QCOMPARE(w->cmbPort->count(), 2);
    QCOMPARE(w->cmbPort->itemText(0), QStringLiteral("1"));
    QCOMPARE(w->cmbPort->itemText(1), QStringLiteral("2"));
    QCOMPARE(w->cmbPort->currentIndex(), expected);
    QVERIFY(w.view().portOpen);
    QCOMPARE(w.view().device, expected == 1 ? second.linkPath() : m_sim->linkPath());
}

void DeviceLinkTest::probeWithoutPorts()
{
    m_sim.reset();
    LinkWindow w;
    w->ports->probePorts(3);
    QCOMPARE(w->cmbPort->count(), 0);
    QCOMPARE(w->cmbPort->currentIndex(), -1);
    w->cmdRead->click();
    QTRY_COMPARE(w.status(),
             QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
}

void DeviceLinkTest::suspendStopsAndNextReadReopens()
{
    LinkWindow w;
    w->ports->probePorts(0);
    w.startQuietRun();
    w.requestData();
    QVERIFY(w.view().timeoutActive);
    w->sysInfo->announceSuspend();
    const SessionView suspended = w.view();
    QVERIFY(suspended.suspendFlag);
    QVERIFY(!suspended.timeoutActive);
    QVERIFY(!suspended.portOpen);
    QTRY_COMPARE(w.probe.stopCalls, 1);
    QVERIFY(!w->state.continuousFlag);
    QCOMPARE(w->cmdContinuous->text(), QStringLiteral("&Continuous"));

    const int before = int(m_sim->requests().size());
    w->cmdRead->click();
    QVERIFY(w.view().portOpen);
    QVERIFY(!w.view().suspendFlag);
    QVERIFY(m_sim->waitForRequests(before + 1, 3000));
    QTRY_VERIFY_WITH_TIMEOUT(!w.view().timeoutActive, 3000);
    QTRY_COMPARE(w.status(), defaultStatus);
    QTRY_VERIFY(!w->lblCh[0]->text().isEmpty());
}

void DeviceLinkTest::focusLossOnlyWhenTheFocusMovesOn()
{
    QWidget window;
    auto *first = new QLineEdit(&window);
    auto *combo = new QComboBox(&window);
    combo->setEditable(true);
    combo->addItems({QStringLiteral("1"), QStringLiteral("2")});
    auto *second = new QLineEdit(&window);
    int editLosses = 0;
    int comboLosses = 0;
    tervalo::FocusLossFilter::attach(first, [&] { ++editLosses; });
    tervalo::FocusLossFilter::attach(combo, [&] { ++comboLosses; });
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    first->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(first->hasFocus());
    QTest::keyClick(first, Qt::Key_Tab); // to the combo box
    QTRY_VERIFY(combo->hasFocus());
    QCOMPARE(editLosses, 1);

    // Another window taking the focus is not leaving the field.
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_VERIFY(QApplication::activeWindow() == &other);
    window.activateWindow();
    QTRY_VERIFY(QApplication::activeWindow() == &window);
    QCOMPARE(comboLosses, 0);

    // Neither is the focus moving between the combo box and its own line edit, or its list
    // opening.
    combo->showPopup();
    QTRY_VERIFY(combo->view()->isVisible());
    combo->hidePopup();
    QCOMPARE(comboLosses, 0);

    second->setFocus(Qt::MouseFocusReason);
    QTRY_VERIFY(second->hasFocus());
    QCOMPARE(comboLosses, 1);
    QCOMPARE(editLosses, 1);
}

void DeviceLinkTest::refusedAddressKeepsItsMessage()
{
    // Shift+Tab from the address box lands on the port list; the focus goes back to the box, and
    // passing through the list is not leaving it.
    LinkWindow w;
    w->ports->probePorts(0);
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
    w->txtAddress->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(w->txtAddress->hasFocus());
    w->txtAddress->setText(QStringLiteral("9"));
    QTest::keyClick(w->txtAddress, Qt::Key_Backtab, Qt::ShiftModifier);
    QTRY_VERIFY(w->txtAddress->hasFocus());
    QTest::qWait(50);
    QVERIFY(w->txtAddress->hasFocus());
    QCOMPARE(w.status(), QStringLiteral("Invalid Address - Must be an integer between 0 and 7"));
    QCOMPARE(w->txtAddress->text(), QStringLiteral("0"));
}

void DeviceLinkTest::simulatorFolderTrustedOnlyWhenPrivate_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("otherOwner");
    QTest::addColumn<bool>("listed");
    QTest::newRow("private") << 0700 << false << true;
    QTest::newRow("writable by everyone") << 0777 << false << false;
    QTest::newRow("writable by the group") << 0770 << false << false;
    QTest::newRow("another user's") << 0700 << true << false;
}

void DeviceLinkTest::simulatorFolderTrustedOnlyWhenPrivate()
{
    QFETCH(int, mode);
    QFETCH(bool, otherOwner);
    QFETCH(bool, listed);
    if (otherOwner && ::getuid() != 0)
        QSKIP("only root can give a folder to another user");
    // Without a runtime directory the simulators' folder sits below the shared temporary folder,
    // where anyone can create it first.
    QTemporaryDir tmp;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray tmpdir = qgetenv("TMPDIR");
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    const QString base = tmp.filePath(QStringLiteral("tervalo-runtime-%1").arg(::getuid()));
    const QString folder = base + QStringLiteral("/tervalo");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::link(m_sim->ptyPath(), folder + QStringLiteral("/card")));
    for (const QString &path : {base, folder}) {
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
        if (otherOwner)
            QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
    }
    const QList<tervalo::SerialPortEntry> ports = tervalo::enumerateSerialPorts();
    qputenv("XDG_RUNTIME_DIR", runtime);
    if (tmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", tmpdir);
    QCOMPARE(ports.size(), listed ? 1 : 0);
}

QTEST_MAIN(DeviceLinkTest)
#include "devicelink_test.moc"
