#include "SaveDialog.h"

#include "RowText.h"

#include <commdlg.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

#ifdef VELKART_TEST_SEAMS
bool testAnswer(SaveAnswer &answer) {
    const std::optional<TestSeamAnswer> seam = testSeamAnswer(L"VELKART_TEST_SAVE");
    if (!seam)
        return false;
    answer = seam->chosen ? SaveAnswer{SaveAnswer::Outcome::Chosen, seam->text, {}}
                          : SaveAnswer{SaveAnswer::Outcome::Cancelled, {}, {}};
    return true;
}
#endif

struct DialogFunctions {
    decltype(&GetSaveFileNameW) getSaveFileName = nullptr;
    decltype(&CommDlgExtendedError) extendedError = nullptr;
    DWORD loadError = 0;
};

// comdlg32 is loaded when the save dialog is first wanted, not when the
// program starts: most sessions never save, and every start-up would pay
// for it and for the DLLs it brings.
const DialogFunctions &dialogFunctions() {
    static const DialogFunctions loaded = [] {
        DialogFunctions d;
        if (HMODULE module = LoadLibraryW(L"comdlg32.dll")) {
            lookUp(module, "GetSaveFileNameW", d.getSaveFileName);
            lookUp(module, "CommDlgExtendedError", d.extendedError);
            if (d.getSaveFileName == nullptr || d.extendedError == nullptr)
                d.loadError = ERROR_PROC_NOT_FOUND;
        } else {
            d.loadError = GetLastError();
        }
        return d;
    }();
    return loaded;
}

} // namespace

SaveAnswer askSaveFile(HWND owner, const std::wstring &caption, const std::wstring &defaultName) {
    SaveAnswer answer;
#ifdef VELKART_TEST_SEAMS
    if (testAnswer(answer))
        return answer;
#endif
    const DialogFunctions &functions = dialogFunctions();
    if (functions.loadError != 0) {
        answer.outcome = SaveAnswer::Outcome::Failed;
        answer.error = systemReason(functions.loadError);
        return answer;
    }
    // Room for a long path; the dialog says when even this is too short.
    std::vector<wchar_t> path(32768, L'\0');
    defaultName.copy(path.data(), std::min(defaultName.size(), path.size() - 1));
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrTitle = caption.c_str();
    dialog.Flags =
        OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (functions.getSaveFileName(&dialog)) {
        answer.outcome = SaveAnswer::Outcome::Chosen;
        answer.path = path.data();
    } else if (const DWORD error = functions.extendedError(); error != 0) {
        answer.outcome = SaveAnswer::Outcome::Failed;
        answer.error = L"CommDlgExtendedError " + std::to_wstring(error);
    }
    return answer;
}
