// A helper of the screenshot script, run under the same wine as the
// dialog: "wait" until Velkart's main dialog is shown, "about" to open its
// about box through the system menu's command and wait until it is shown,
// "monitor" to open the frame monitor and ask the SAM's status, so that
// it shows a press's frames, "save" to ask for the log's file.
// Exit 0 once it is so, 1 at the deadline.
#include "resource.h"

#include <windows.h>

#include <string>

namespace {

HWND shownWindow(const wchar_t *caption, const wchar_t *type = L"#32770") {
    HWND window = FindWindowW(type, caption);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

// Polls for the window for at most 60 s.
HWND waitForWindow(const wchar_t *caption, const wchar_t *type = L"#32770") {
    for (int i = 0; i < 3000; ++i) {
        if (HWND window = shownWindow(caption, type))
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
    if (command == L"save") {
        PostMessageW(dialog, WM_SYSCOMMAND, IDM_SAVE_LOG,
                     0); // the dialog's loop would block a send
        if (waitForWindow(L"保存日志") == nullptr)
            return 1;
    }
    if (command == L"monitor") {
        SendMessageW(dialog, WM_SYSCOMMAND, IDM_FRAME_MONITOR, 0);
        HWND monitor = waitForWindow(L"通讯监视 - Velkart", L"VelkartFrameMonitor");
        if (monitor == nullptr)
            return 1;
        SendMessageW(GetDlgItem(dialog, IDC_SAM_STATUS), BM_CLICK, 0, 0);
        Sleep(500); // the rows come with a message posted after the press
        SetForegroundWindow(monitor);
        SetWindowPos(monitor, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        RedrawWindow(monitor, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    // Painted through before the picture is taken: the update is sent to
    // the dialog's thread and returns once it is done.
    for (HWND window : {dialog, shownWindow(L"关于 Velkart")})
        if (window != nullptr)
            RedrawWindow(window, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    return 0;
}
