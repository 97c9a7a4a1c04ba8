#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace tervalo {

// The user's guide. On Windows a compiled help file next to the program opens in the system's
// help viewer; everywhere else, and on Windows when there is no compiled file, the guide's pages
// open in the program's own help window.
inline constexpr const char *helpFileName = "tervaloHelp.chm";
inline constexpr const char *welcomeHelpPage = "tervaloHelp\\HTML\\Welcome.htm";

// The folder with exactly one separator at its end, of the kind the folder already uses:
// "C:\Apps\Tervalo" gives "C:\Apps\Tervalo\", while "D:\" and "/" stay as they are.
QString withTrailingSeparator(const QString &folder);

// The folder of the running program, ending in one separator.
QString getAppFolder();

// Makes the help file in the program's folder the program's help file. Called once, as the last
// step of the main window's start-up.
void setAppHelpFile();
QString appHelpFile();

// Opens a page of a help file; any failure is ignored.
void ShowHtmlHelp(const QString &sHelpFile, const QString &sHelpPage);

// Help > Help and Ctrl+H: the welcome page.
void mnuGetHelp_Click();

// Lets F1 open the welcome page from every window of the program while the given window exists.
void installHelpShortcut(QWidget *window);

// The file of the guide that holds a page of the compiled help file: "tervaloHelp\HTML\Welcome.htm"
// gives "Welcome.htm". Only the name is kept, so a page can never lead outside the help folders.
QString helpPageFileName(const QString &sHelpPage);

// Where the guide's pages are looked for, in this order: "help" beside the program, the installed
// data folder "../share/tervalo/help", and, in a build with tests, the source tree's pages. Never
// the current working folder: a page found there could be anybody's.
QStringList helpSearchFolders(const QString &appFolder, const QString &sourceHelpFolder);
QStringList helpSearchFolders();

} // namespace tervalo
