#include "app/help.h"

#include "app/helpviewer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace tervalo {

namespace {

QString &helpFileSetting()
{
    static QString file;
    return file;
}

#ifdef Q_OS_WIN
// The system's HTML Help viewer, when it and the compiled file are there. False sends the caller
// to the program's own help window.
bool showCompiledHelp(const QString &file, const QString &page)
{
    using HtmlHelpFunction = HWND(WINAPI *)(HWND, LPCSTR, UINT, DWORD_PTR);
    constexpr UINT displayTopic = 0; // HH_DISPLAY_TOPIC
    // The library stays loaded: the viewer's window lives in this process.
    static HMODULE viewer = LoadLibraryA("hhctrl.ocx");
    if (!viewer)
        return false;
    const auto htmlHelp = reinterpret_cast<HtmlHelpFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(viewer, "HtmlHelpA")));
    if (!htmlHelp)
        return false;
    const QByteArray fileName = file.toLocal8Bit();
    const QByteArray pageName = page.toLocal8Bit();
    return htmlHelp(nullptr, fileName.constData(), displayTopic,
                    reinterpret_cast<DWORD_PTR>(pageName.constData())) != nullptr;
}
#endif

} // namespace

QString withTrailingSeparator(const QString &folder)
{
    if (folder.isEmpty() || folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\')))
        return folder;
    const bool windowsStyle = folder.contains(QLatin1Char('\\')) && !folder.contains(QLatin1Char('/'));
    return folder + (windowsStyle ? QLatin1Char('\\') : QLatin1Char('/'));
}

QString getAppFolder()
{
    return withTrailingSeparator(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
}

void setAppHelpFile()
{
    helpFileSetting() = getAppFolder() + QString::fromLatin1(helpFileName);
}

QString appHelpFile()
{
    return helpFileSetting();
}

QString helpPageFileName(const QString &sHelpPage)
{
    const qsizetype cut = qMax(sHelpPage.lastIndexOf(QLatin1Char('\\')), sHelpPage.lastIndexOf(QLatin1Char('/')));
    const QString name = sHelpPage.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("Welcome.htm");
    return name;
}

QStringList helpSearchFolders(const QString &appFolder, const QString &sourceHelpFolder)
{
    QStringList folders;
    const QStringList candidates = {
        appFolder.isEmpty() ? QString() : appFolder + QStringLiteral("/help"),
        appFolder.isEmpty() ? QString() : appFolder + QStringLiteral("/../share/tervalo/help"),
        sourceHelpFolder,
    };
    // A relative folder would be looked up in the working folder; it is left out.
    for (const QString &folder : candidates) {
        if (!folder.isEmpty() && QDir::isAbsolutePath(folder))
            folders << QDir::cleanPath(folder);
    }
    return folders;
}

QStringList helpSearchFolders()
{
#ifdef TERVALO_TEST_HELP_DIR
    // Test programs live in folders of their own with no copy of the guide beside them. Only a
    // build with tests knows this folder: a released program must not name the build machine's.
    const QString sourceHelp = QStringLiteral(TERVALO_TEST_HELP_DIR);
#else
    const QString sourceHelp;
#endif
    return helpSearchFolders(QCoreApplication::applicationDirPath(), sourceHelp);
}

void ShowHtmlHelp(const QString &sHelpFile, const QString &sHelpPage)
{
    try {
#ifdef Q_OS_WIN
        // Given with the program's folder rather than bare, so the viewer never picks up a file
        // of that name from whatever folder the program was started in.
        const QString compiled = QDir::isAbsolutePath(sHelpFile) ? sHelpFile : getAppFolder() + sHelpFile;
        if (QFileInfo(compiled).isFile() && showCompiledHelp(compiled, sHelpPage))
            return;
#else
        Q_UNUSED(sHelpFile);
#endif
        frmHelp::showPage(helpPageFileName(sHelpPage), helpSearchFolders());
    } catch (...) {
        // Help that cannot be shown is not worth a message.
    }
}

void mnuGetHelp_Click()
{
    ShowHtmlHelp(QString::fromLatin1(helpFileName), QString::fromLatin1(welcomeHelpPage));
}

void installHelpShortcut(QWidget *window)
{
    auto *f1 = new QShortcut(QKeySequence(Qt::Key_F1), window);
    f1->setObjectName(QStringLiteral("helpShortcut"));
    // Help for the whole program, as the help file is: F1 works in every window of it.
    f1->setContext(Qt::ApplicationShortcut);
    QObject::connect(f1, &QShortcut::activated, f1, [] { mnuGetHelp_Click(); });
}

} // namespace tervalo
