#include "app/frmmain.h"
#include "app/frmsplash.h"
#include "app/images/productimages.h"

#include <QApplication>

int main(int argc, char *argv[])
{
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
