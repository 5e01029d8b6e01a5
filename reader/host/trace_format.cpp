#include "trace_format.h"

#include "host_system.h"

#include <cstdio>
#include <ctime>

namespace kav::host {

std::string localClock(long long timeMs) {
    // Floor division, so that a time before 1970 still gets 0-999 ms.
    long long seconds = timeMs / 1000;
    long long millis = timeMs % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localCalendar(t, local))
        return "--:--:--.---";
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    return text;
}

std::string hexBytes(const unsigned char *bytes, std::size_t count, std::string_view separator) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    if (bytes == nullptr)
        return out;
    out.reserve(count * (2 + separator.size()));
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0)
            out += separator;
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

TraceRow traceRow(const KavTraceEvent &event) {
    TraceRow row;
    row.time = localClock(event.timeMs);
    row.port = event.link != nullptr ? event.link : "";
    row.meaning = event.text != nullptr ? event.text : "";
    switch (event.kind) {
    case KAV_TRACE_TO_READER:
        row.direction = "→";
        row.data = hexBytes(event.bytes, event.byteCount);
        break;
    case KAV_TRACE_FROM_READER:
        row.direction = "←";
        row.data = hexBytes(event.bytes, event.byteCount);
        break;
    case KAV_TRACE_NOISE:
        // The skipped bytes are not kept: only how many, and the library
        // says so in its text; a library that says nothing still gets a row.
        row.direction = "←";
        if (row.meaning.empty())
            row.meaning = std::to_string(event.byteCount) + " bytes skipped as noise";
        break;
    default:
        break;
    }
    return row;
}

std::string traceLine(const TraceRow &row) {
    std::string line;
    line.reserve(row.time.size() + row.port.size() + row.direction.size() + row.data.size() +
                 row.meaning.size() + 8);
    const std::string *columns[] = {&row.time, &row.port, &row.direction, &row.data, &row.meaning};
    for (const std::string *column : columns) {
        if (column != columns[0])
            line += "  ";
        line += *column;
    }
    return line;
}

std::string hexLines(std::string_view hex) {
    constexpr std::size_t kLine = 16 * 3; // "AA " a byte
    std::string out;
    for (std::size_t at = 0; at < hex.size(); at += kLine) {
        std::string_view line = hex.substr(at, kLine);
        while (!line.empty() && line.back() == ' ')
            line.remove_suffix(1);
        if (at > 0)
            out += '\n';
        out += line;
    }
    return out;
}

std::string monitorNote(bool framesReported, bool paused, std::size_t missed) {
    if (!framesReported)
        return "所用的读卡器库不报告通讯帧 (没有 Kav_SetTraceCallback)";
    if (paused)
        return "已暂停: 收到 " + std::to_string(missed) + " 条未显示";
    if (missed > 0)
        return "暂停期间收到 " + std::to_string(missed) + " 条,未显示";
    return {};
}

KeptTraceEvent KeptTraceEvent::of(const KavTraceEvent &event) {
    KeptTraceEvent kept;
    kept.timeMs = event.timeMs;
    kept.kind = event.kind;
    kept.result = event.result;
    kept.link = event.link != nullptr ? event.link : "";
    kept.hasBytes = event.bytes != nullptr;
    if (kept.hasBytes)
        kept.bytes.assign(reinterpret_cast<const char *>(event.bytes), event.byteCount);
    kept.byteCount = event.byteCount;
    kept.text = event.text != nullptr ? event.text : "";
    return kept;
}

KavTraceEvent KeptTraceEvent::view() const {
    KavTraceEvent event{};
    event.kind = kind;
    event.timeMs = timeMs;
    event.result = result;
    event.link = link.c_str();
    event.bytes = hasBytes ? reinterpret_cast<const unsigned char *>(bytes.data()) : nullptr;
    event.byteCount = byteCount;
    event.text = text.c_str();
    return event;
}

} // namespace kav::host
