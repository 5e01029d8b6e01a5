#include "protocol/trace.h"

#include "protocol/clock.h"
#include "protocol/trace_file.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

namespace kav::trace {
namespace {

struct Sink {
    std::mutex mutex;
    TraceFile file;
    KavTraceCallback callback = nullptr;
    void *context = nullptr;
    std::atomic<bool> listening{false};

    Sink() { openFromEnvironment(kFileLimit); }

    void openFromEnvironment(std::size_t limit) {
        const char *path = std::getenv("KAVIDCARD_TRACE");
        file.open(path != nullptr ? path : "", limit);
        update();
    }
    void update() { listening = file.isOpen() || callback != nullptr; }
};

Sink &sink() {
    static Sink s;
    return s;
}

// Control characters in a trace line would let a device or a card forge
// lines of their own (a newline, an escape sequence to the terminal).
std::string printable(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

long long nowMs(std::chrono::system_clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

void emit(KavTraceEvent event, std::string_view fileText) {
    Sink &s = sink();
    const auto now = std::chrono::system_clock::now();
    event.timeMs = nowMs(now);
    std::lock_guard lock(s.mutex);
    if (s.file.isOpen())
        s.file.write(clock::localTimestamp(now) + " " + printable(fileText) + "\n");
    if (s.callback != nullptr)
        s.callback(&event, s.context);
}

// The strings must outlive the event: the callers own them.
KavTraceEvent event(int kind, const char *link, const std::string &text) {
    KavTraceEvent e{};
    e.kind = kind;
    e.link = link;
    e.text = text.c_str();
    return e;
}

} // namespace

bool enabled() {
    return sink().listening.load(std::memory_order_relaxed);
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

void frame(std::string_view link, Direction direction, std::span<const std::uint8_t> bytes,
           std::string_view meaning) {
    if (!enabled())
        return;
    const std::string linkName = printable(link);
    const std::string text = printable(meaning);
    std::string line = linkName + (direction == Direction::ToReader ? " >> " : " << ") + hex(bytes);
    if (!text.empty())
        line.append("  [").append(text).append("]");
    KavTraceEvent e = event(direction == Direction::ToReader ? KAV_TRACE_TO_READER
                                                             : KAV_TRACE_FROM_READER,
                            linkName.c_str(), text);
    e.bytes = bytes.data();
    e.byteCount = bytes.size();
    emit(e, line);
}

void noise(std::string_view link, std::size_t count) {
    if (!enabled() || count == 0)
        return;
    const std::string linkName = printable(link);
    const std::string text = std::to_string(count) + " bytes of noise skipped";
    KavTraceEvent e = event(KAV_TRACE_NOISE, linkName.c_str(), text);
    e.byteCount = count;
    emit(e, linkName + " << (" + text + ")");
}

void operation(std::string_view text, int result) {
    if (!enabled())
        return;
    const std::string clean = printable(text);
    KavTraceEvent e = event(KAV_TRACE_OPERATION, "", clean);
    e.result = result;
    emit(e, clean);
}

void line(std::string_view text) {
    if (!enabled())
        return;
    const std::string clean = printable(text);
    emit(event(KAV_TRACE_NOTE, "", clean), clean);
}

void setCallback(KavTraceCallback callback, void *context) {
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    s.callback = callback;
    s.context = context;
    s.update();
}

void reopenFile(std::size_t limit) {
    Sink &s = sink();
    std::lock_guard lock(s.mutex);
    s.openFromEnvironment(limit);
}

} // namespace kav::trace
