// A start-up reference with Velkart.exe's own window: the main dialog's
// template, built as Velkart.exe builds it, run modal with comctl32 6
// through the same manifest, and nothing else: no reader library, no
// handlers, no log columns, no icons. What it costs over bare_dialog.exe is
// the window system's price of the 30 controls; what Velkart.exe costs over
// it is Velkart.exe's own.
#include "DialogTemplate.h"

#include <vector>

namespace {

INT_PTR CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const std::vector<WORD> main = buildDialogTemplate(res::mainDialog(), WS_EX_APPWINDOW);
    return static_cast<int>(DialogBoxIndirectParamW(
        instance, reinterpret_cast<LPCDLGTEMPLATEW>(main.data()), nullptr, proc, 0));
}
