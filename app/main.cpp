#include "app/frmmain.h"
#include "app/frmsplash.h"
#include "app/images/productimages.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *usage =
    "Usage: tervalo [--help | --version]\n"
    "Reads, logs and plots the six channels of a Maravex thermocouple card.\n"
    "Without --help or --version it opens its main window; the user's guide is under Help.\n"
    "Qt's own options (-platform, -style, -display, ...) are taken as usual; any other\n"
    "argument is ignored.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// The two questions that are answered from a terminal, before the application object exists:
// that object needs a display, and these must work without one (over ssh, in a build, in a
// package check). Returns the exit status when the program is to end here, or -1 to go on to
// the windows.
int answerCommandLine(int argc, char *argv[])
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        help = help || std::strcmp(argv[i], "--help") == 0;
        version = version || std::strcmp(argv[i], "--version") == 0;
    }
    if (help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (version) {
        std::printf("tervalo %d.%d.%d\n", TERVALO_VERSION_MAJOR, TERVALO_VERSION_MINOR,
                    TERVALO_VERSION_PATCH);
        return 0;
    }
    return -1;
}

// The program has no other arguments, yet it is started with some: a file manager or a desktop
// shortcut passes a file, a user passes Qt's own options (-platform, -style, -display), which
// the application object has taken out by now. None of them may keep the window from opening;
// what is left is only mentioned.
void noteIgnoredArguments(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        std::fprintf(stderr, "tervalo: ignoring argument '%s'\n", argv[i]);
}

} // namespace

int main(int argc, char *argv[])
{
    if (const int status = answerCommandLine(argc, argv); status >= 0)
        return status;

#ifdef SIGXFSZ
    // A log that reaches a file-size limit (ulimit -f) is a failed write, reported and taken back
    // like one on a full disk, not the end of the program in the middle of a record.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    noteIgnoredArguments(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tervalo"));
    QApplication::setOrganizationName(QStringLiteral("Quillmar"));
    QApplication::setWindowIcon(tervalo::productIcon());

    // The splash window comes first; when it goes it shows the main window, whose load step
    // does the real start-up work. Between the two no window is on the screen, which must not
    // count as the last window closing.
    QApplication::setQuitOnLastWindowClosed(false);
    tervalo::frmMain window;
    auto *splash = new tervalo::frmSplash([&window] {
        window.Show();
        QApplication::setQuitOnLastWindowClosed(true);
    });
    splash->endProgram = [] { QCoreApplication::exit(0); };
    splash->Form_Load();
    splash->show();
    return app.exec();
}
