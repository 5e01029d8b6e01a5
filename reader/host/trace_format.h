// One trace event as a row of the frame monitor: the same columns and texts
// wherever the trace is shown (the dialog's monitor, kav --trace).
#pragma once

#include "KavIDCardAPI.h"

#include <string>
#include <string_view>

namespace kav::host {

// The columns, each UTF-8: 时间, 端口, 方向, 数据, 含义.
struct TraceRow {
    std::string time;      // local time, HH:MM:SS.mmm
    std::string port;      // the event's link; empty for an operation or note
    std::string direction; // → to the reader, ← from it, empty otherwise
    std::string data;      // bytes in upper-case hex, one space between; empty for noise
    std::string meaning;   // what the library says the event was
};

// The monitor's column titles, in the row's order.
inline constexpr const char *kTraceColumns[] = {"时间", "端口", "方向", "数据", "含义"};

TraceRow traceRow(const KavTraceEvent &event);

// Local time of a trace timestamp (milliseconds since 1970 UTC): HH:MM:SS.mmm.
std::string localClock(long long timeMs);

// "AA AA AA 96 69": upper-case hex, `separator` between bytes.
std::string hexBytes(const unsigned char *bytes, std::size_t count,
                     std::string_view separator = " ");

// The row on one line, its columns joined by two spaces.
std::string traceLine(const TraceRow &row);

} // namespace kav::host
