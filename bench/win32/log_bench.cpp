// A figure, not a test: a row put at the top of the dialog's event log (an
// owner-data list view, shown, redrawn after each row) when the log holds
// 10,000 rows and when it holds 1,000,000, under the same wine and display.
#include "EventLog.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

EventLog *theLog = nullptr;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR *>(lParam)->code == LVN_GETDISPINFOW) {
        fillLogCell(*theLog, *reinterpret_cast<NMLVDISPINFOW *>(lParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Microseconds per row for `timed` rows put on top of `before` rows.
double microsecondsPerRow(HWND view, std::size_t before, int timed) {
    EventLog log;
    theLog = &log;
    const auto at = std::chrono::system_clock::now();
    for (std::size_t i = 0; i < before; ++i)
        log.prepend(at, L"读卡器连接在串口 1,当前SAM波特率为 115200");
    showLogSize(view, log);
    UpdateWindow(view);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < timed; ++i) {
        log.prepend(std::chrono::system_clock::now(), L"SAM模块状态正常 " + std::to_wstring(i));
        showLogSize(view, log);
        UpdateWindow(view);
    }
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    theLog = nullptr;
    return spent.count() / timed;
}

} // namespace

int main() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"LogBench";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"LogBench", L"log bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                  0, 760, 340, nullptr, nullptr, windowClass.hInstance, nullptr);
    HWND view = CreateWindowExW(0, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_OWNERDATA, 10,
                                10, 710, 276, window, nullptr, windowClass.hInstance, nullptr);
    ListView_SetExtendedListViewStyle(view, LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP |
                                                LVS_EX_FULLROWSELECT);
    for (int column = 0; column < 2; ++column) {
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH;
        c.pszText = const_cast<wchar_t *>(column == 0 ? L"发生时间" : L"信息");
        c.cx = column == 0 ? 140 : 550;
        ListView_InsertColumn(view, column, &c);
    }
    constexpr int kTimed = 200;
    const double small = microsecondsPerRow(view, 10000, kTimed);
    const double large = microsecondsPerRow(view, 1000000, kTimed);
    std::printf("a log row, shown: %.1f us at 10,000 rows, %.1f us at 1,000,000: %.2fx\n", small,
                large, large / small);
    DestroyWindow(window);
    return 0;
}
