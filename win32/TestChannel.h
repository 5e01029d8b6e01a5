// What another process cannot read of the dialog under every window system
// (its system menu, its icons), told on request by the test build alone.
// The asker sends WM_COPYDATA with kTestQuery and its own window as wParam;
// a test build sends one WM_COPYDATA back, kTestAnswer, before the query
// returns: UTF-16 lines, one a system menu item ("menu", id, text, or
// "menu" and "-" for a separator), then "icon" with "big" and "small" and
// the picture's size ("32x32") or "none". The shipped program ignores it.
#pragma once

#include "System.h"

constexpr ULONG_PTR kTestQuery = 0x564B5451;
constexpr ULONG_PTR kTestAnswer = 0x564B5441;

// Answers a query to dialog; false for another message and in the shipped build.
bool answerTestQuery(HWND dialog, HWND asker, const COPYDATASTRUCT &data);
