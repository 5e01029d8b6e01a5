// The folder picker behind a seam: the shell's folder browser, owned by the
// dialog, and what it answered turned into the handlers' FolderPick.
#pragma once

#include "FrontEnd.h"
#include "System.h"

#include <string>

// What the picker answered, with the path as the window system has it.
struct FolderAnswer {
    FolderPick::Outcome outcome = FolderPick::Outcome::Cancelled;
    std::wstring path;
};

// The shell's folder browser with the prompt; in a test build the
// environment variable VELKART_TEST_FOLDER answers instead ("cancel",
// "notfs", "unavailable" or "chosen:" and a path).
FolderAnswer browseForFolder(HWND owner, const std::wstring &prompt);

// The path in UTF-8 exactly, or none when UTF-8 cannot hold it.
FolderPick toFolderPick(const FolderAnswer &answer);
