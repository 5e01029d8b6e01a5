#include "FolderPicker.h"

#include "Wide.h"

#include <shlobj.h>

#include <cstdlib>

namespace {

constexpr UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_RETURNFSANCESTORS; // 9

#ifdef VELKART_TEST_SEAMS
// Only a test build reads this: the shipped program reads no environment.
bool testAnswer(FolderAnswer &answer) {
    const wchar_t *value = _wgetenv(L"VELKART_TEST_FOLDER");
    if (value == nullptr)
        return false;
    const std::wstring text(value);
    const std::wstring chosen = L"chosen:";
    if (text.rfind(chosen, 0) == 0)
        answer = {FolderPick::Outcome::Chosen, text.substr(chosen.size())};
    else if (text == L"notfs")
        answer = {FolderPick::Outcome::NotFileSystem, {}};
    else if (text == L"unavailable")
        answer = {FolderPick::Outcome::Unavailable, {}};
    else
        answer = {FolderPick::Outcome::Cancelled, {}};
    return true;
}
#endif

} // namespace

FolderAnswer browseForFolder(HWND owner, const std::wstring &prompt) {
    FolderAnswer answer;
#ifdef VELKART_TEST_SEAMS
    if (testAnswer(answer))
        return answer;
#endif
    IMalloc *allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || allocator == nullptr) {
        answer.outcome = FolderPick::Outcome::Unavailable;
        return answer;
    }
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pszDisplayName = displayName;
    info.lpszTitle = prompt.c_str();
    info.ulFlags = kBrowseFlags;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
    if (chosen == nullptr) {
        answer.outcome = FolderPick::Outcome::Cancelled;
    } else {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(chosen, path)) {
            answer.outcome = FolderPick::Outcome::Chosen;
            answer.path = path;
        } else {
            answer.outcome = FolderPick::Outcome::NotFileSystem;
        }
        allocator->Free(chosen);
    }
    allocator->Release();
    return answer;
}

FolderPick toFolderPick(const FolderAnswer &answer) {
    FolderPick pick;
    pick.outcome = answer.outcome;
    if (answer.outcome == FolderPick::Outcome::Chosen)
        pick.path = toUtf8(answer.path);
    return pick;
}
