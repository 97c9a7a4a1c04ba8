#include "app/frmmain.h"
#include "app/frmsplash.h"
#include "app/images/productimages.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *usage =
    "Usage: tervalo [--help | --version]\n"
    "Reads, logs and plots the six channels of a Maravex thermocouple card.\n"
    "Without arguments it opens its main window; the user's guide is under Help.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n";

// The two questions that are answered from a terminal, before the application object exists:
// that object needs a display, and these must work without one (over ssh, in a build, in a
// package check). Anything else is refused rather than passed on to Qt: the program has no other
// options, and Qt's own (-platform, -style, ...) have environment variables that do the same.
// Returns the exit status when the program is to end here, or -1 to go on to the windows.
int answerCommandLine(int argc, char *argv[])
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            help = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            version = true;
        } else {
            std::fprintf(stderr, "tervalo: unknown argument '%s'\n%s", argv[i], usage);
            return 2;
        }
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

} // namespace

int main(int argc, char *argv[])
{
    if (const int status = answerCommandLine(argc, argv); status >= 0)
        return status;

    QApplication app(argc, argv);
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
