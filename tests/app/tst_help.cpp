#include "app/help.h"
#include "app/helpviewer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

using namespace tervalo;

class HelpTest : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void trailingSeparator_data();
    void trailingSeparator();
    void pageFileName_data();
    void pageFileName();
    void searchFolders_data();
    void searchFolders();
    void viewerOpensPageAndFollowsLinks();
    void missingPageShowsNotFound();
    void menuEntryIgnoresWorkingFolder();
    void f1OpensWelcomePage();

private:
    static void writePage(const QString &path, const QString &title, const QString &body = {});
};

void HelpTest::writePage(const QString &path, const QString &title, const QString &body)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<html><head><title>%1</title></head><body><p>%1</p>%2</body></html>")
                   .arg(title, body)
                   .toUtf8());
}

void HelpTest::cleanup()
{
    if (frmHelp *window = frmHelp::openWindow())
        window->close();
    QTRY_VERIFY(!frmHelp::openWindow());
}

void HelpTest::trailingSeparator_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Windows folder") << "C:\\Apps\\Tervalo" << "C:\\Apps\\Tervalo\\";
    QTest::newRow("Windows drive root") << "D:\\" << "D:\\";
    QTest::newRow("Unix root") << "/" << "/";
    QTest::newRow("Unix folder") << "/opt/tervalo" << "/opt/tervalo/";
}

void HelpTest::trailingSeparator()
{
    QFETCH(QString, folder);
    QFETCH(QString, expected);
    QCOMPARE(withTrailingSeparator(folder), expected);
}

void HelpTest::pageFileName_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("expected");
    QTest::newRow("page inside the compiled file") << "tervaloHelp\\HTML\\Welcome.htm" << "Welcome.htm";
    QTest::newRow("no way out of the help folder") << "..\\..\\secret.htm" << "secret.htm";
    QTest::newRow("nothing given") << "" << "Welcome.htm";
}

void HelpTest::pageFileName()
{
    QFETCH(QString, page);
    QFETCH(QString, expected);
    QCOMPARE(helpPageFileName(page), expected);
}

void HelpTest::searchFolders_data()
{
    QTest::addColumn<QString>("appFolder");
    QTest::addColumn<QString>("sourceFolder");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("program in its build folder")
        << "/home/u/build/app" << "/home/u/src/docs/help"
        << QStringList{"/home/u/build/app/help", "/home/u/build/share/tervalo/help", "/home/u/src/docs/help"};
    QTest::newRow("relative folders are never searched") << "bin" << "docs/help" << QStringList{};
}

void HelpTest::searchFolders()
{
    QFETCH(QString, appFolder);
    QFETCH(QString, sourceFolder);
    QFETCH(QStringList, expected);
    QCOMPARE(helpSearchFolders(appFolder, sourceFolder), expected);
}

void HelpTest::viewerOpensPageAndFollowsLinks()
{
    QTemporaryDir empty;
    QTemporaryDir guide;
    writePage(guide.filePath(QStringLiteral("Welcome.htm")), QStringLiteral("Welcome"),
              QStringLiteral("<a href=\"Ports.htm\">Ports</a>"));
    writePage(guide.filePath(QStringLiteral("Ports.htm")), QStringLiteral("Ports"));
    const QString welcome = QFileInfo(guide.filePath(QStringLiteral("Welcome.htm"))).absoluteFilePath();
    const QString ports = QFileInfo(guide.filePath(QStringLiteral("Ports.htm"))).absoluteFilePath();

    frmHelp *window = frmHelp::showPage(QStringLiteral("Welcome.htm"), {empty.path(), guide.path()});
    QCOMPARE(window->browser->source().toLocalFile(), welcome);
    QVERIFY(!window->cmdBack->isEnabled());

    // Following the link from the keyboard: Tab selects it, Enter opens it.
    window->browser->setFocus();
    QTest::keyClick(window->browser, Qt::Key_Tab);
    QTest::keyClick(window->browser, Qt::Key_Return);
    QCOMPARE(window->browser->source().toLocalFile(), ports);
    QVERIFY(window->cmdBack->isEnabled());
    QTest::mouseClick(window->cmdBack, Qt::LeftButton);
    QCOMPARE(window->browser->source().toLocalFile(), welcome);

    // Asked again, the same window shows the page.
    QCOMPARE(frmHelp::showPage(QStringLiteral("Ports.htm"), {guide.path()}), window);
    QCOMPARE(QApplication::topLevelWidgets().count(window), 1);
}

void HelpTest::missingPageShowsNotFound()
{
    QTemporaryDir empty;
    frmHelp *window = frmHelp::showPage(QStringLiteral("Welcome.htm"), {empty.path()});
    QVERIFY(window->browser->source().isEmpty());
    QVERIFY(window->browser->toPlainText().contains(QStringLiteral("Welcome.htm")));
    QVERIFY(window->browser->toPlainText().contains(QDir::toNativeSeparators(empty.path())));

    // A link to a page that is not there gets the same page, not an empty view.
    QTemporaryDir guide;
    writePage(guide.filePath(QStringLiteral("Welcome.htm")), QStringLiteral("Welcome"),
              QStringLiteral("<a href=\"Missing.htm\">Missing</a>"));
    frmHelp::showPage(QStringLiteral("Welcome.htm"), {guide.path()});
    window->browser->setFocus();
    QTest::keyClick(window->browser, Qt::Key_Tab);
    QTest::keyClick(window->browser, Qt::Key_Return);
    QVERIFY(window->browser->toPlainText().contains(QStringLiteral("Missing.htm")));
}

void HelpTest::menuEntryIgnoresWorkingFolder()
{
    // A folder that offers a page of the same name in every place a careless look-up would try.
    QTemporaryDir working;
    const QString marker = QStringLiteral("planted in the working folder");
    QVERIFY(QDir(working.path()).mkpath(QStringLiteral("help")));
    QVERIFY(QDir(working.path()).mkpath(QStringLiteral("tervaloHelp/HTML")));
    for (const QString &page : {QStringLiteral("Welcome.htm"), QStringLiteral("help/Welcome.htm"),
                                QStringLiteral("tervaloHelp/HTML/Welcome.htm")})
        writePage(working.filePath(page), marker);
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working.path()));
    mnuGetHelp_Click();
    QVERIFY(QDir::setCurrent(previous));

    frmHelp *window = frmHelp::openWindow();
    QVERIFY(window);
    QVERIFY(!window->browser->toPlainText().contains(marker));
    // The guide's own welcome page, from one of the places the program looks.
    const QString shown = window->browser->source().toLocalFile();
    QCOMPARE(QFileInfo(shown).fileName(), QStringLiteral("Welcome.htm"));
    QVERIFY(helpSearchFolders().contains(QFileInfo(shown).absolutePath()));
}

void HelpTest::f1OpensWelcomePage()
{
    QWidget window;
    installHelpShortcut(&window);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F1);
    QVERIFY(frmHelp::openWindow());
    QCOMPARE(QFileInfo(frmHelp::openWindow()->browser->source().toLocalFile()).fileName(),
             QStringLiteral("Welcome.htm"));
}

QTEST_MAIN(HelpTest)
#include "tst_help.moc"
