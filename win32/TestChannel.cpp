#include "TestChannel.h"

#ifdef VELKART_TEST_SEAMS
#include <string>

namespace {

std::wstring menuLines(HMENU menu) {
    std::wstring lines;
    const int count = GetMenuItemCount(menu);
    for (int index = 0; index < count; ++index) {
        MENUITEMINFOW item{};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &item))
            continue;
        if (item.fType & MFT_SEPARATOR) {
            lines += L"menu\t-\n";
            continue;
        }
        std::wstring text(item.cch + 1, L'\0');
        item.dwTypeData = text.data();
        item.cch += 1;
        GetMenuItemInfoW(menu, static_cast<UINT>(index), TRUE, &item);
        text.resize(item.cch);
        lines += L"menu\t" + std::to_wstring(item.wID) + L"\t" + text + L"\n";
    }
    return lines;
}

// The size of the picture the window has for its kind of icon, as set.
std::wstring iconLine(HWND dialog, WPARAM kind, const wchar_t *name) {
    std::wstring line = std::wstring(L"icon\t") + name + L"\t";
    auto *icon = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, kind, 0));
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info))
        return line + L"none\n";
    BITMAP picture{};
    GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof picture, &picture);
    // A monochrome icon's mask holds the picture and its mask one above the other.
    const LONG height = info.hbmColor != nullptr ? picture.bmHeight : picture.bmHeight / 2;
    if (info.hbmColor != nullptr)
        DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr)
        DeleteObject(info.hbmMask);
    return line + std::to_wstring(picture.bmWidth) + L"x" + std::to_wstring(height) + L"\n";
}

} // namespace

bool answerTestQuery(HWND dialog, HWND asker, const COPYDATASTRUCT &data) {
    if (data.dwData != kTestQuery || !IsWindow(asker))
        return false;
    std::wstring answer = menuLines(GetSystemMenu(dialog, FALSE));
    answer += iconLine(dialog, ICON_BIG, L"big");
    answer += iconLine(dialog, ICON_SMALL, L"small");
    COPYDATASTRUCT reply{};
    reply.dwData = kTestAnswer;
    reply.cbData = static_cast<DWORD>(answer.size() * sizeof(wchar_t));
    reply.lpData = answer.data();
    SendMessageW(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(dialog),
                 reinterpret_cast<LPARAM>(&reply));
    return true;
}

#else

bool answerTestQuery(HWND, HWND, const COPYDATASTRUCT &) {
    return false;
}

#endif
