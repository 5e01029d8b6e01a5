#include "ProgramIcon.h"
#include "VelkartApp.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkart"));
    QApplication::setApplicationVersion(QStringLiteral(VELKART_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velkart"));
    QApplication::setWindowIcon(programIcon());
    CVelkartApp theApp;
    theApp.InitInstance();
    return 0;
}
