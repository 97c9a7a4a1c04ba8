#include "app/frmabout.h"
#include "app/sysinfotool.h"
#include "common/branding.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace tervalo;

class AboutTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void closingUnloads_data();
    void closingUnloads();
    void captionsFitTheirLabels();
    void hyperlinkOpensMakersSite();
    void systemInformation_data();
    void systemInformation();
    void msinfoProgramPath_data();
    void msinfoProgramPath();

private:
    static QList<frmAbout *> boxes();

    QList<QUrl> m_opened;
    QStringList m_started;
    QStringList m_messages;
    QString m_installed;
};

QList<frmAbout *> AboutTest::boxes()
{
    QList<frmAbout *> found;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<frmAbout *>(window))
            found << box;
    }
    return found;
}

void AboutTest::init()
{
    m_opened.clear();
    m_started.clear();
    m_messages.clear();
    m_installed.clear();
    frmAbout::openUrl = [this](const QUrl &url) { m_opened << url; };
    sysInfoSeams().startDetached = [this](const QString &program, const QStringList &) {
        m_started << program;
        return program == m_installed;
    };
    sysInfoSeams().messageBox = [this](QWidget *, const QString &text, const QString &caption) {
        m_messages << caption + QLatin1Char('|') + text;
    };
}

void AboutTest::cleanup()
{
    for (frmAbout *box : boxes())
        box->close();
    QTRY_VERIFY(boxes().isEmpty());
    resetSysInfoSeams();
}

void AboutTest::closingUnloads_data()
{
    QTest::addColumn<int>("way"); // 0: OK clicked, else the key
    QTest::newRow("OK") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
}

void AboutTest::closingUnloads()
{
    QFETCH(int, way);
    frmAbout::showAbout(nullptr);
    frmAbout *box = frmAbout::openBox();
    QVERIFY(box && !box->isModal());
    frmAbout::showAbout(nullptr);
    QCOMPARE(frmAbout::openBox(), box);
    QCOMPARE(boxes().size(), 1);
    QVERIFY(QTest::qWaitForWindowActive(box));
    if (way == 0)
        QTest::mouseClick(box->cmdOK, Qt::LeftButton);
    else
        QTest::keyClick(box, Qt::Key(way));
    QVERIFY(!frmAbout::openBox());
    QTRY_VERIFY(boxes().isEmpty());

    // A new box runs its load step again.
    frmAbout::showAbout(nullptr);
    QVERIFY(frmAbout::openBox());
    QCOMPARE(frmAbout::openBox()->windowTitle(), QStringLiteral("About Tervalo"));
}

void AboutTest::captionsFitTheirLabels()
{
    frmAbout::showAbout(nullptr);
    frmAbout *box = frmAbout::openBox();
    for (QLabel *label : box->findChildren<QLabel *>()) {
        QVERIFY2(box->rect().contains(label->geometry()), qPrintable(label->objectName()));
        if (label->text().isEmpty())
            continue;
        if (label->wordWrap())
            QVERIFY2(label->heightForWidth(label->width()) <= label->height(), qPrintable(label->objectName()));
        else
            QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->objectName()));
    }
}

void AboutTest::hyperlinkOpensMakersSite()
{
    frmAbout::showAbout(nullptr);
    frmAbout *box = frmAbout::openBox();
    QCOMPARE(box->lblHyperlink->text(), QString::fromLatin1(makerUrl));
    QTest::mouseClick(box->lblHyperlink, Qt::LeftButton);
    QCOMPARE(m_opened, QList<QUrl>{QUrl(QString::fromLatin1(makerUrl) + QLatin1Char('/'))});
    QVERIFY(frmAbout::openBox());
}

void AboutTest::systemInformation_data()
{
    QTest::addColumn<int>("installed"); // position in the list of tools; -1: none installed
    QTest::newRow("no tool installed") << -1;
    QTest::newRow("the first tool") << 0;
    QTest::newRow("only a later tool") << 3;
}

void AboutTest::systemInformation()
{
    QFETCH(int, installed);
    QStringList tools;
    for (const ToolCommand &tool : desktopSystemInformationTools())
        tools << tool.program;
    QVERIFY(installed < tools.size());
    m_installed = installed < 0 ? QString() : tools.at(installed);

    frmAbout::showAbout(nullptr);
    QTest::mouseClick(frmAbout::openBox()->cmdSysInfo, Qt::LeftButton);

    QCOMPARE(m_started, installed < 0 ? tools : tools.mid(0, installed + 1));
    if (installed < 0)
        QCOMPARE(m_messages, QStringList{QStringLiteral("Tervalo|System Information Is Unavailable At This Time")});
    else
        QVERIFY(m_messages.isEmpty());
    QVERIFY(frmAbout::openBox());
}

void AboutTest::msinfoProgramPath_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("expected");
    QTest::newRow("PATH alone is enough")
        << QStringList{"PATH=C:\\Tools\\msinfo.exe"} << QStringList{} << "C:\\Tools\\msinfo.exe";
    QTest::newRow("folder without the program")
        << QStringList{"MSINFO=C:\\Shared\\MSInfo"} << QStringList{} << "";
    QTest::newRow("PATH of another type counts as an empty path")
        << QStringList{"PATH", "MSINFO=C:\\Shared\\MSInfo"} << QStringList{"C:\\Shared\\MSInfo\\MSINFO32.EXE"}
        << "";
}

void AboutTest::msinfoProgramPath()
{
    QFETCH(QStringList, values);
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    // "NAME=text" is a text value; a bare "NAME" a value of another type, which keeps keyVal.
    const auto read = [&values](const QString &, const QString &name, QString &keyVal) {
        for (const QString &value : values) {
            if (value.section(QLatin1Char('='), 0, 0) == name) {
                if (value.contains(QLatin1Char('=')))
                    keyVal = value.section(QLatin1Char('='), 1);
                return true;
            }
        }
        return false;
    };
    QCOMPARE(tervalo::msinfoProgramPath(read, [&files](const QString &path) { return files.contains(path); }),
             expected);
}

QTEST_MAIN(AboutTest)
#include "tst_frmabout.moc"
