#include "app/frmsplash.h"

#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>

using namespace tervalo;

class SplashTest : public QObject
{
    Q_OBJECT
private slots:
    void versionCaption_data();
    void versionCaption();
    void loadShowsBuildVersionAndStartsTimer();
    void timerShowsMainOnce();
    void characterKeyEndsSplash_data();
    void characterKeyEndsSplash();
    void otherInputLeavesSplash_data();
    void otherInputLeavesSplash();
    void closedFromOutsideEndsTheProgram();

private:
    QPointer<frmSplash> openSplash();
    int m_shown = 0;
    int m_programEnds = 0;
};

QPointer<frmSplash> SplashTest::openSplash()
{
    m_shown = 0;
    m_programEnds = 0;
    auto *splash = new frmSplash([this] { ++m_shown; });
    splash->endProgram = [this] { ++m_programEnds; };
    splash->Form_Load();
    splash->show();
    if (!QTest::qWaitForWindowExposed(splash))
        qWarning("splash window not exposed");
    return splash;
}

void SplashTest::versionCaption_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("expected");
    QTest::newRow("revision 0") << 2 << 0 << 0 << "Version 2.0.0";
    QTest::newRow("two-digit revision") << 2 << 0 << 12 << "Version 2.0.12";
    QTest::newRow("no leading zeros") << 1 << 10 << 7 << "Version 1.10.7";
}

void SplashTest::versionCaption()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, revision);
    QFETCH(QString, expected);
    QCOMPARE(tervalo::versionCaption(major, minor, revision), expected);
}

void SplashTest::loadShowsBuildVersionAndStartsTimer()
{
    QPointer<frmSplash> splash = openSplash();
    QCOMPARE(splash->lblVersion->text(), QStringLiteral("Version %1.%2.%3")
                                             .arg(TERVALO_VERSION_MAJOR)
                                             .arg(TERVALO_VERSION_MINOR)
                                             .arg(TERVALO_VERSION_PATCH));
    QVERIFY(splash->tmrSplash->isActive());
    QCOMPARE(splash->tmrSplash->interval(), 3000);
    QCOMPARE(m_shown, 0);
    delete splash;
}

void SplashTest::timerShowsMainOnce()
{
    QPointer<frmSplash> splash = openSplash();
    splash->tmrSplash->setInterval(20);
    QTRY_COMPARE(m_shown, 1);
    QTRY_VERIFY(splash.isNull());
    QTest::qWait(60);
    QCOMPARE(m_shown, 1);
}

void SplashTest::characterKeyEndsSplash_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("space") << int(Qt::Key_Space);
    QTest::newRow("letter") << int(Qt::Key_Q);
    QTest::newRow("digit") << int(Qt::Key_7);
}

void SplashTest::characterKeyEndsSplash()
{
    QFETCH(int, key);
    QPointer<frmSplash> splash = openSplash();
    // Sent to a control inside the window: the window previews every key.
    QTest::keyClick(splash->Frame1, Qt::Key(key));
    QCOMPARE(m_shown, 1);
    QVERIFY(!splash->isVisible());
    QVERIFY(!splash->tmrSplash->isActive());
    // A tick that was already due when the key came must not show the main window again.
    splash->tmrSplash_Timer();
    QTRY_VERIFY(splash.isNull());
    QCOMPARE(m_shown, 1);
    QCOMPARE(m_programEnds, 0);
}

void SplashTest::otherInputLeavesSplash_data()
{
    QTest::addColumn<int>("key"); // 0: a mouse click instead of a key
    QTest::newRow("arrow") << int(Qt::Key_Left);
    QTest::newRow("function key") << int(Qt::Key_F1);
    QTest::newRow("Shift alone") << int(Qt::Key_Shift);
    QTest::newRow("mouse click") << 0;
}

void SplashTest::otherInputLeavesSplash()
{
    QFETCH(int, key);
    QPointer<frmSplash> splash = openSplash();
    if (key == 0) {
        QTest::mouseClick(splash, Qt::LeftButton);
        QTest::mouseClick(splash->Label1, Qt::LeftButton);
    } else {
        QTest::keyClick(splash, Qt::Key(key));
    }
    QTest::qWait(20);
    QCOMPARE(m_shown, 0);
    QVERIFY(splash && splash->isVisible());
    QVERIFY(splash->tmrSplash->isActive());
    delete splash;
}

void SplashTest::closedFromOutsideEndsTheProgram()
{
    // Alt+F4 or the taskbar: no main window follows, and nothing else would end the process.
    QPointer<frmSplash> splash = openSplash();
    splash->close();
    QCOMPARE(m_programEnds, 1);
    splash->tmrSplash_Timer();
    QCOMPARE(m_shown, 0);
    delete splash;
}

QTEST_MAIN(SplashTest)
#include "tst_frmsplash.moc"
