// Saving and copying rows of a list as text: the event log and the frame
// monitor do both the same way, each with its own row format.
#pragma once

#include "System.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The program's file name without its folder and ending: message boxes'
// caption.
std::wstring programName();

// The system's text for an error code, without its line end; the number
// when the system has no text for it.
std::wstring systemReason(DWORD error);

// prefix, the local time of `at` as YYYYMMDD-HHMMSS, suffix:
// "velkart-20260102-030405.log".
std::wstring timeStampedName(std::wstring_view prefix, std::wstring_view suffix,
                             std::chrono::system_clock::time_point at);

// Writes the bytes to path whole or not at all: a file beside it, flushed,
// then put in its place. An old file at path stays as it was on any
// failure. 0, or the system's error code.
DWORD writeWholeFile(const std::wstring &path, std::string_view bytes);

// The file's bytes for the name chosen (its ending may pick the format);
// none when the rows cannot be written as asked.
using RowsToBytes = std::function<std::optional<std::string>(const std::wstring &path)>;

// Asks for a file (owned by owner, with the caption and default name) and
// writes toBytes' answer to it, whole or not at all. A failure shows a
// message box: `failure` and the reason. A cancel does nothing.
void saveRows(HWND owner, const std::wstring &caption, const std::wstring &defaultName,
              const RowsToBytes &toBytes, const std::wstring &failure);

// The list view's selected rows, in its order.
std::vector<std::size_t> selectedRows(HWND view);

// Puts the text on the clipboard, as owner's.
void putOnClipboard(HWND owner, const std::wstring &text);
