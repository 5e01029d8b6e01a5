#include "RowText.h"

#include "SaveDialog.h"
#include "host_system.h"

#include <algorithm>
#include <cwchar>
#include <new>

std::wstring programName() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    name.erase(0, name.find_last_of(L"\\/") + 1);
    if (const auto dot = name.find_last_of(L'.'); dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

std::wstring systemReason(DWORD error) {
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring reason = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    if (text != nullptr)
        LocalFree(text);
    while (!reason.empty() &&
           (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' '))
        reason.pop_back();
    return reason.empty() ? std::to_wstring(error) : reason;
}

std::wstring timeStampedName(std::wstring_view prefix, std::wstring_view suffix,
                             std::chrono::system_clock::time_point at) {
    std::tm fields{};
    wchar_t stamp[32] = L"00000000-000000";
    // A time the system cannot tell still gives a name to start from.
    if (kav::host::localCalendar(std::chrono::system_clock::to_time_t(at), fields))
        std::swprintf(stamp, sizeof stamp / sizeof stamp[0], L"%04d%02d%02d-%02d%02d%02d",
                      fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                      fields.tm_min, fields.tm_sec);
    return std::wstring(prefix) + stamp + std::wstring(suffix);
}

namespace {

// Writes and flushes the whole of bytes to file; 0 or the error.
DWORD writeAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        bytes.remove_prefix(written);
    }
    return FlushFileBuffers(file) ? 0 : GetLastError();
}

} // namespace

DWORD writeWholeFile(const std::wstring &path, std::string_view bytes) {
    // The new file is made in the same folder, so that putting it in place
    // is a rename, never a copy that could stop halfway.
    const auto slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH] = {};
    if (GetTempFileNameW(folder.c_str(), L"vkt", 0, temporary) == 0)
        return GetLastError();
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : writeAll(file, bytes);
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file) && error == 0)
        error = GetLastError();
    if (error == 0 &&
        !MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0)
        DeleteFileW(temporary);
    return error;
}

void saveRows(HWND owner, const std::wstring &caption, const std::wstring &defaultName,
              const RowsToBytes &toBytes, const std::wstring &failure) {
    const SaveAnswer answer = askSaveFile(owner, caption, defaultName);
    if (answer.outcome == SaveAnswer::Outcome::Cancelled)
        return;
    std::wstring reason = answer.error;
    if (answer.outcome == SaveAnswer::Outcome::Chosen) {
        DWORD error = 0;
        try {
            if (const std::optional<std::string> bytes = toBytes(answer.path))
                error = writeWholeFile(answer.path, *bytes);
            else
                error = ERROR_NO_UNICODE_TRANSLATION;
        } catch (const std::bad_alloc &) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        if (error == 0)
            return;
        reason = systemReason(error);
    }
    MessageBoxW(owner, (failure + reason).c_str(), programName().c_str(), MB_OK);
}

std::vector<std::size_t> selectedRows(HWND view) {
    std::vector<std::size_t> rows;
    for (int row = ListView_GetNextItem(view, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(view, row, LVNI_SELECTED))
        rows.push_back(static_cast<std::size_t>(row));
    return rows;
}

void putOnClipboard(HWND owner, const std::wstring &text) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr)
        return;
    std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t *>(GlobalLock(memory)));
    GlobalUnlock(memory);
    if (OpenClipboard(owner)) {
        EmptyClipboard();
        if (SetClipboardData(CF_UNICODETEXT, memory) != nullptr)
            memory = nullptr; // the clipboard owns it now
        CloseClipboard();
    }
    if (memory != nullptr)
        GlobalFree(memory);
}
