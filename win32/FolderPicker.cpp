#include "FolderPicker.h"

#include "Wide.h"

#include <shlobj.h>

#include <cstdlib>

namespace {

constexpr UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_RETURNFSANCESTORS; // 9

#ifdef VELKART_TEST_SEAMS
bool testAnswer(FolderAnswer &answer) {
    const std::optional<TestSeamAnswer> seam = testSeamAnswer(L"VELKART_TEST_FOLDER");
    if (!seam)
        return false;
    if (seam->chosen)
        answer = {FolderPick::Outcome::Chosen, seam->text};
    else if (seam->text == L"notfs")
        answer = {FolderPick::Outcome::NotFileSystem, {}};
    else if (seam->text == L"unavailable")
        answer = {FolderPick::Outcome::Unavailable, {}};
    else
        answer = {FolderPick::Outcome::Cancelled, {}};
    return true;
}
#endif

// The shell's three functions the picker calls. shell32 is loaded the
// first time the picker is wanted, not when the program starts: under
// wine it brings a dozen DLLs of its own, paid at every start-up.
struct ShellFunctions {
    decltype(&SHGetMalloc) getMalloc = nullptr;
    decltype(&SHBrowseForFolderW) browseForFolder = nullptr;
    decltype(&SHGetPathFromIDListW) pathFromIdList = nullptr;
};

// Null when the shell or one of its functions cannot be had.
const ShellFunctions *shell() {
    static const ShellFunctions loaded = [] {
        ShellFunctions s;
        if (HMODULE module = LoadLibraryW(L"shell32.dll")) {
            lookUp(module, "SHGetMalloc", s.getMalloc);
            lookUp(module, "SHBrowseForFolderW", s.browseForFolder);
            lookUp(module, "SHGetPathFromIDListW", s.pathFromIdList);
        }
        return s;
    }();
    const bool complete = loaded.getMalloc != nullptr && loaded.browseForFolder != nullptr &&
                          loaded.pathFromIdList != nullptr;
    return complete ? &loaded : nullptr;
}

} // namespace

FolderAnswer browseForFolder(HWND owner, const std::wstring &prompt) {
    FolderAnswer answer;
#ifdef VELKART_TEST_SEAMS
    if (testAnswer(answer))
        return answer;
#endif
    const ShellFunctions *const functions = shell();
    IMalloc *allocator = nullptr;
    if (functions == nullptr || FAILED(functions->getMalloc(&allocator)) || allocator == nullptr) {
        answer.outcome = FolderPick::Outcome::Unavailable;
        return answer;
    }
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pszDisplayName = displayName;
    info.lpszTitle = prompt.c_str();
    info.ulFlags = kBrowseFlags;
    LPITEMIDLIST chosen = functions->browseForFolder(&info);
    if (chosen == nullptr) {
        answer.outcome = FolderPick::Outcome::Cancelled;
    } else {
        wchar_t path[MAX_PATH] = {};
        if (functions->pathFromIdList(chosen, path)) {
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
