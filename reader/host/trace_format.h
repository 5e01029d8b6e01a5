// One trace event as a row of the frame monitor: the same columns and texts
// wherever the trace is shown (the dialog's monitor, kav --trace).
#pragma once

#include "KavIDCardAPI.h"

#include <cstddef>
#include <cstdint>
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

// A trace event kept past its callback, whose pointers are good only
// during the call: its own copies of the texts and the bytes.
struct KeptTraceEvent {
    long long timeMs = 0;
    int kind = KAV_TRACE_NOTE;
    int result = 0;
    std::string link; // UTF-8
    std::string bytes;
    bool hasBytes = false; // the event had bytes (a frame), even none of them
    std::size_t byteCount = 0;
    std::string text;         // UTF-8
    std::uint64_t serial = 0; // for a view: which row a formatted copy is of

    static KeptTraceEvent of(const KavTraceEvent &event);
    // The event again, pointing into this copy: good while it lives unchanged.
    KavTraceEvent view() const;
};

// Local time of a trace timestamp (milliseconds since 1970 UTC): HH:MM:SS.mmm.
std::string localClock(long long timeMs);

// "AA AA AA 96 69": upper-case hex, `separator` between bytes.
std::string hexBytes(const unsigned char *bytes, std::size_t count,
                     std::string_view separator = " ");

// The row on one line, its columns joined by two spaces.
std::string traceLine(const TraceRow &row);

// A frame's hex (a row's data) in lines of 16 bytes, for a tooltip:
// whatever a narrow column cuts can be read whole by pointing at it.
std::string hexLines(std::string_view hex);

// The monitor's note beside its buttons (UTF-8): that the library reports
// no frames, what came while paused, or nothing.
std::string monitorNote(bool framesReported, bool paused, std::size_t missed);

} // namespace kav::host
