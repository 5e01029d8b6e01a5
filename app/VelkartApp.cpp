#include "VelkartApp.h"

#include "Platform.h"
#include "VelkartDlg.h"

bool CVelkartApp::InitInstance() {
    SystemPlatform platform;
    CVelkartDlg dlg(platform);
    dlg.exec();
    return false;
}
