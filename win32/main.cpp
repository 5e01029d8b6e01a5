// Velkart.exe: the main dialog, modal, until it ends. It reads no command
// line, no settings file and no registry key.
#include "VelkartDlg.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    CVelkartDlg dialog;
    dialog.DoModal(instance);
    return 0;
}
