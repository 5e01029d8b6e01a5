// A helper of the screenshot script, run under the same wine as the
// dialog: "wait" until Velkart's main dialog is shown, "about" to open its
// about box through the system menu's command and wait until it is shown.
// Exit 0 once it is so, 1 at the deadline.
#include "resource.h"

#include <windows.h>

#include <string>

namespace {

HWND shownWindow(const wchar_t *caption) {
    HWND window = FindWindowW(L"#32770", caption);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

// Polls for the window for at most 60 s.
HWND waitForWindow(const wchar_t *caption) {
    for (int i = 0; i < 3000; ++i) {
        if (HWND window = shownWindow(caption))
            return window;
        Sleep(20);
    }
    return nullptr;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"wait";
    // The pointer off the dialog, so that no button is drawn hot.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    HWND dialog = waitForWindow(L"Velkart");
    if (dialog == nullptr)
        return 1;
    if (command == L"about") {
        PostMessageW(dialog, WM_SYSCOMMAND, IDM_ABOUT, 0);
        if (waitForWindow(L"关于 Velkart") == nullptr)
            return 1;
    }
    // Painted through before the picture is taken: the update is sent to
    // the dialog's thread and returns once it is done.
    for (HWND window : {dialog, shownWindow(L"关于 Velkart")})
        if (window != nullptr)
            RedrawWindow(window, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    return 0;
}
