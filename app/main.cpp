#include "ProgramIcon.h"
#include "VelkartApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velkart"));
    QApplication::setApplicationVersion(QStringLiteral(VELKART_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("velkart"));
    QApplication::setWindowIcon(programIcon());
    // The window speaks Chinese; so should the toolkit's own dialogs (the
    // folder picker) where the translations are installed.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&toolkitTexts);
    CVelkartApp theApp;
    theApp.InitInstance();
    return 0;
}
