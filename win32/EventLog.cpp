#include "EventLog.h"

#include "host_system.h"

#include <cwchar>

void EventLog::prepend(std::chrono::system_clock::time_point at, std::wstring message) {
    Row row{{}, std::move(message)};
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm fields{};
    // A time the system cannot tell leaves the stamp empty, not wrong.
    if (kav::host::localCalendar(seconds, fields))
        std::swprintf(row.stamp, sizeof row.stamp / sizeof row.stamp[0],
                      L"%04d-%02d-%02d %02d:%02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                      fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    rows_.push_back(std::move(row));
}

void EventLog::clear() {
    std::deque<Row>().swap(rows_);
}

const EventLog::Row *EventLog::at(std::size_t row) const {
    return row < rows_.size() ? &rows_[rows_.size() - 1 - row] : nullptr;
}

const wchar_t *EventLog::cell(std::size_t row, int column) const {
    const Row *found = at(row);
    if (found == nullptr)
        return nullptr;
    switch (column) {
    case TimeColumn:
        return found->stamp;
    case MessageColumn:
        return found->message.c_str();
    default:
        return nullptr;
    }
}

std::wstring EventLog::toText(const std::vector<std::size_t> &rows) const {
    std::wstring out;
    for (std::size_t row : rows) {
        const Row *found = at(row);
        if (found == nullptr)
            continue;
        out += found->stamp;
        out += L'\t';
        out += found->message;
        out += L"\r\n";
    }
    return out;
}

void showLogSize(HWND view, const EventLog &log) {
    // The new count resizes the scroll bar's thumb. Told while shown, the
    // view sets both bars twice over and each setting draws its bar at
    // once (under wine some 2 ms a bar); hidden for that moment, it only
    // records them, and the bars are drawn once with the rows, by the
    // frame's next paint.
    const LONG_PTR style = GetWindowLongPtrW(view, GWL_STYLE);
    const bool shown = (style & WS_VISIBLE) != 0;
    if (shown)
        SetWindowLongPtrW(view, GWL_STYLE, style & ~WS_VISIBLE);
    ListView_SetItemCountEx(view, static_cast<int>(log.size()), LVSICF_NOSCROLL);
    if (shown)
        SetWindowLongPtrW(view, GWL_STYLE, style);
    RedrawWindow(view, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME);
}

void fillLogCell(const EventLog &log, NMLVDISPINFOW &info) {
    if ((info.item.mask & LVIF_TEXT) == 0 || info.item.iItem < 0)
        return;
    const wchar_t *text = log.cell(static_cast<std::size_t>(info.item.iItem), info.item.iSubItem);
    info.item.pszText = const_cast<wchar_t *>(text != nullptr ? text : L"");
}
