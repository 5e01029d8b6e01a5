// The event log's rows for the owner-data list view: the newest at the top,
// each a local time stamp and a message in UTF-16. The view asks for the
// rows it shows, so a row costs the same at row ten and at row a million.
#pragma once

#include "System.h"

#include <chrono>
#include <cstddef>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

class EventLog {
  public:
    enum Column { TimeColumn = 0, MessageColumn = 1 };

    // Puts a row at the top, stamped with the local time of `at`.
    void prepend(std::chrono::system_clock::time_point at, std::wstring message);
    void clear();
    std::size_t size() const { return rows_.size(); }

    // The text of a cell by its row from the top; null for a row or column
    // out of range. Valid until the log changes.
    const wchar_t *cell(std::size_t row, int column) const;

    // The rows given (from the top) as text, one "time<TAB>message" line
    // each, in the order given; rows out of range are left out.
    std::wstring toText(const std::vector<std::size_t> &rows) const;

  private:
    struct Row {
        wchar_t stamp[20]; // "YYYY-MM-DD HH:MM:SS"
        std::wstring message;
    };
    const Row *at(std::size_t row) const;

    std::deque<Row> rows_; // oldest first
};

// The report list view that shows an EventLog: its row count after a change
// (every row moves down by one, so what it shows is redrawn), and a cell's
// text when the view asks for it (LVN_GETDISPINFOW).
void showLogSize(HWND view, const EventLog &log);
void fillLogCell(const EventLog &log, NMLVDISPINFOW &info);
