// The port list, the address box and the suspend notice, against a card simulator on a real
// pseudo-terminal.

#include "devicelinkfixture.h"

#include "common/focusloss.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPushButton>

using RegistryManagement::RegValue;

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
    void unavailablePortThenReadFails();
    void leavingThePortListReopensIt();
    void probeSelectsRememberedPosition_data();
    void probeSelectsRememberedPosition();
    void probeWithoutPorts();
    void suspendStopsAndNextReadReopens();
    void focusLossOnlyWhenTheFocusMovesOn();

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
    QVERIFY(w->MSComm1->PortOpen());
    w->cmbPort->clear();
    w->cmbPort->addItems(entries);
    w->cmbPort->setCurrentIndex(selected);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w.status(), QStringLiteral("Invalid Comm Port"));
    QCOMPARE(w->cmbPort->currentIndex(), expectedIndex);
    QVERIFY(!w->MSComm1->PortOpen());
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
    QVERIFY(!w->MSComm1->PortOpen());
    QCOMPARE(storedSetting("Port No"), RegValue::fromNumber(0));

    // The first entry is shown selected, but nothing opened it: a reading fails to send.
    w->cmdRead->click();
    QCOMPARE(w.status(),
             QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
    QVERIFY(!w->tmrTimeout->isActive());
}

void DeviceLinkTest::leavingThePortListReopensIt()
{
    SimulatorProcess second;
    QVERIFY(second.start({QStringLiteral("--no-pacing"), QStringLiteral("--link"),
                          QStringLiteral("zz-second")}));
    LinkWindow w;
    w->ports->probePorts(0);
    QCOMPARE(w->cmbPort->count(), 2);
    QCOMPARE(w->MSComm1->device(), m_sim->linkPath());
    QCOMPARE(w->cmbPort->itemData(1, Qt::ToolTipRole).toString(), second.linkPath());

    w->cmbPort->setCurrentIndex(1);
    w->ports->cmbPort_LostFocus();
    QCOMPARE(w->MSComm1->device(), second.linkPath());
    QCOMPARE(storedSetting("Port No"), RegValue::fromNumber(1));

    // Unchanged, the port is still closed and opened again: a partial answer in the receive
    // buffer does not survive it.
    second.command(QStringLiteral("fault short"));
    QTest::qWait(100);
    w->MSComm1->setOutput(QStringLiteral("t0ca"));
    QTRY_VERIFY(w->MSComm1->InBufferCount() > 0);
    w->lblStringDisplay->setText(QStringLiteral("an old message"));
    w->ports->cmbPort_LostFocus();
    QVERIFY(w->MSComm1->PortOpen());
    QCOMPARE(w->MSComm1->device(), second.linkPath());
    QCOMPARE(w->MSComm1->InBufferCount(), 0);
    QCOMPARE(w.status(), defaultStatus);
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
    QVERIFY(w->MSComm1->PortOpen());
    QCOMPARE(w->MSComm1->device(), expected == 1 ? second.linkPath() : m_sim->linkPath());
}

void DeviceLinkTest::probeWithoutPorts()
{
    m_sim.reset();
    LinkWindow w;
    w->ports->probePorts(3);
    QCOMPARE(w->cmbPort->count(), 0);
    QCOMPARE(w->cmbPort->currentIndex(), -1);
    w->cmdRead->click();
    QCOMPARE(w.status(),
             QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
}

void DeviceLinkTest::suspendStopsAndNextReadReopens()
{
    LinkWindow w;
    w->ports->probePorts(0);
    w->state.continuousFlag = true;
    w->protocol->requestData();
    QVERIFY(w->tmrTimeout->isActive());
    w->sysInfo->announceSuspend();
    QVERIFY(w->state.suspendFlag);
    QVERIFY(!w->tmrTimeout->isActive());
    QVERIFY(!w->MSComm1->PortOpen());
    QCOMPARE(w.probe.stopCalls, 1);
    QVERIFY(!w->state.continuousFlag);

    const int before = int(m_sim->requests().size());
    w->cmdRead->click();
    QVERIFY(w->MSComm1->PortOpen());
    QVERIFY(!w->state.suspendFlag);
    QVERIFY(m_sim->waitForRequests(before + 1, 3000));
    QTRY_VERIFY_WITH_TIMEOUT(!w->tmrTimeout->isActive(), 3000);
    QCOMPARE(w.status(), defaultStatus);
    QVERIFY(!w->lblCh[0]->text().isEmpty());
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

QTEST_MAIN(DeviceLinkTest)
#include "devicelink_test.moc"
