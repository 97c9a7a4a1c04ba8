#pragma once

#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QWidget>

class QPushButton;
class QTextBrowser;

namespace tervalo {

// The program's own help window: the user's guide with Back, Forward and Home. One at a time,
// owned by no window; like the system's help viewer it does not keep the program running once
// the program's own windows are closed.
class frmHelp : public QWidget
{
    Q_OBJECT
public:
    // Opens the page of the guide (a file name such as "Welcome.htm") from the first of the
    // folders that holds it, in the open help window or a new one; the window's own page tells
    // when no folder holds it. The page becomes the one Home returns to.
    static frmHelp *showPage(const QString &pageName, const QStringList &folders);
    // The help window on the screen now, if any.
    static frmHelp *openWindow();

    // The text of the window's own page for a page of the guide that is not there.
    static QString notFoundPage(const QString &pageName, const QStringList &folders);

    QTextBrowser *browser = nullptr;
    QPushButton *cmdBack = nullptr;
    QPushButton *cmdForward = nullptr;
    QPushButton *cmdHome = nullptr;

private:
    frmHelp();
    void open(const QString &pageName, const QStringList &folders);
    void goHome();

    QString m_homePage;
    QStringList m_folders;
    QUrl m_home;
    static QPointer<frmHelp> s_open;
};

} // namespace tervalo
