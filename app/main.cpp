#include "app/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tervalo::frmMain window;
    window.Form_Load();
    window.show();
    return app.exec();
}
