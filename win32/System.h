// The window system's headers for the Win32 front end. resource.h names
// IDOK, IDCANCEL and SC_CLOSE as they do, with the same values, as
// constants: it comes first, and their macros then stand for the same numbers.
#pragma once

// clang-format off
#include "resource.h"
#include <windows.h>
#include <commctrl.h>
// clang-format on

// The handlers' own GetDlgItemText and SetDlgItemText (DialogCore, in
// UTF-8) keep their names; this front end calls the W functions by name.
#undef GetDlgItemText
#undef SetDlgItemText
