#include "ProgramIcon.h"
#include "VelkartApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#ifdef VELKART_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>

#include <thread>
#endif

int main(int argc, char *argv[]) {
#ifdef VELKART_HAVE_FONTCONFIG
    // Reading the font configuration takes milliseconds that the start
    // needs only when the dialog is built: read it while the toolkit
    // connects to the display.
    std::thread fontConfiguration([] { FcInit(); });
#endif
    // The program takes no arguments, and the toolkit's own (-reverse,
    // -style, -platform...) would change the window: it sees only the
    // program's name. The platform can still be chosen by QT_QPA_PLATFORM.
    char fallbackName[] = "velkart";
    int toolkitArgc = 1;
    char *toolkitArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
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
#ifdef VELKART_HAVE_FONTCONFIG
    fontConfiguration.join();
#endif
    CVelkartApp theApp;
    theApp.InitInstance();
    return 0;
}
