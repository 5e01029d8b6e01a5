// The common save dialog behind a seam, owned by the window that asks.
#pragma once

#include "System.h"

#include <string>

// What the save dialog answered.
struct SaveAnswer {
    enum class Outcome { Chosen, Cancelled, Failed } outcome = Outcome::Cancelled;
    std::wstring path;  // when chosen
    std::wstring error; // when failed: why, as the system says it
};

// The common save dialog with the caption and the default name filled in;
// a name that exists is asked about before it is given. In a test build
// the environment variable VELKART_TEST_SAVE answers instead ("cancel" or
// "chosen:" and a path).
SaveAnswer askSaveFile(HWND owner, const std::wstring &caption, const std::wstring &defaultName);
