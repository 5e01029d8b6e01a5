// The window system's headers for the Win32 front end. resource.h names
// IDOK, IDCANCEL and SC_CLOSE as they do, with the same values, as
// constants: it comes first, and their macros then stand for the same numbers.
#pragma once

// clang-format off
#include "resource.h"
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

// The handlers' own GetDlgItemText and SetDlgItemText (DialogCore, in
// UTF-8) keep their names; this front end calls the W functions by name.
#undef GetDlgItemText
#undef SetDlgItemText

// A function of a DLL loaded when it is first wanted, looked up by name;
// null when the DLL has no such function.
template <typename Fn> void lookUp(HMODULE module, const char *name, Fn &into) {
    into = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

#ifdef VELKART_TEST_SEAMS
// What a test build answers in place of a system dialog, from `variable`:
// nullopt when it is unset (the dialog is shown); a path after "chosen:";
// otherwise the word itself, with `chosen` false. Only a test build reads
// this: the shipped program reads no environment.
struct TestSeamAnswer {
    bool chosen = false;
    std::wstring text; // the path, or the word
};
inline std::optional<TestSeamAnswer> testSeamAnswer(const wchar_t *variable) {
    const wchar_t *value = _wgetenv(variable);
    if (value == nullptr)
        return std::nullopt;
    const std::wstring text(value);
    constexpr std::wstring_view kChosen = L"chosen:";
    if (text.starts_with(kChosen))
        return TestSeamAnswer{true, text.substr(kChosen.size())};
    return TestSeamAnswer{false, text};
}
#endif
