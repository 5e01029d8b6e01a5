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
    // Made once and never destroyed: a host may return from main() while
    // its other threads are still tracing.
    static Sink *const s = new Sink;
    return *s;
}

// Set while this thread runs the host's callback, holding the sink's lock.
thread_local bool inCallback = false;

// The length of the well-formed UTF-8 sequence at the start of text; 0 when
// it does not start with one (a stray or overlong byte, a surrogate, past
// U+10FFFF, cut short).
std::size_t utf8Sequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// Every text that leaves the trace, to the file or the callback, passes
// here: it comes out UTF-8 whatever bytes the environment, a device or a
// card held. A control character (C0, DEL, C1) becomes '?', as it would let
// them forge lines of their own (a newline, an escape sequence to the
// terminal); a byte that is no part of well-formed UTF-8 becomes \xNN.
std::string printableText(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text.front());
        const std::size_t length = utf8Sequence(text);
        if (length == 0) {
            out.append("\\x").append(1, digits[lead >> 4]).append(1, digits[lead & 0x0F]);
            text.remove_prefix(1);
            continue;
        }
        const bool control = lead < 0x20 || lead == 0x7F ||
                             (lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
        if (control)
            out += '?';
        else
            out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return out;
}

long long nowMs(std::chrono::system_clock::time_point now) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

void emit(KavTraceEvent event, std::string_view fileText) {
    Sink &s = sink();
    const auto now = std::chrono::system_clock::now();
    event.timeMs = nowMs(now);
    const auto toFile = [&] {
        if (s.file.isOpen())
            s.file.write(clock::localTimestamp(now) + " " + printableText(fileText) + "\n");
    };
    if (inCallback) {
        // Traced by a call the callback made: this thread holds the lock
        // already, and the callback is not called into itself.
        toFile();
        return;
    }
    std::lock_guard lock(s.mutex);
    toFile();
    if (s.callback != nullptr) {
        struct Inside {
            Inside() { inCallback = true; }
            ~Inside() { inCallback = false; }
        } inside;
        s.callback(&event, s.context);
    }
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

std::string printable(std::string_view text) {
    return printableText(text);
}

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
    const std::string linkName = printableText(link);
    const std::string text = printableText(meaning);
    std::string line = linkName + (direction == Direction::ToReader ? " >> " : " << ") + hex(bytes);
    if (!text.empty())
        line.append("  [").append(text).append("]");
    KavTraceEvent e =
        event(direction == Direction::ToReader ? KAV_TRACE_TO_READER : KAV_TRACE_FROM_READER,
              linkName.c_str(), text);
    e.bytes = bytes.data();
    e.byteCount = bytes.size();
    emit(e, line);
}

void withheldFrame(std::string_view link, Direction direction, std::size_t count,
                   std::string_view meaning) {
    if (!enabled())
        return;
    const std::string linkName = printableText(link);
    std::string text = printableText(meaning);
    text += std::string(text.empty() ? "" : "; ") + std::to_string(count) +
            " bytes withheld: fingerprint data";
    KavTraceEvent e =
        event(direction == Direction::ToReader ? KAV_TRACE_TO_READER : KAV_TRACE_FROM_READER,
              linkName.c_str(), text);
    e.byteCount = count;
    emit(e, linkName + (direction == Direction::ToReader ? " >> " : " << ") + "(" +
                std::to_string(count) + " bytes withheld)  [" + text + "]");
}

void noise(std::string_view link, std::size_t count) {
    if (!enabled() || count == 0)
        return;
    const std::string linkName = printableText(link);
    const std::string text = std::to_string(count) + " bytes of noise skipped";
    KavTraceEvent e = event(KAV_TRACE_NOISE, linkName.c_str(), text);
    e.byteCount = count;
    emit(e, linkName + " << (" + text + ")");
}

void operation(std::string_view text, int result) {
    if (!enabled())
        return;
    const std::string clean = printableText(text);
    KavTraceEvent e = event(KAV_TRACE_OPERATION, "", clean);
    e.result = result;
    emit(e, clean);
}

void line(std::string_view text) {
    if (!enabled())
        return;
    const std::string clean = printableText(text);
    emit(event(KAV_TRACE_NOTE, "", clean), clean);
}

bool insideCallback() {
    return inCallback;
}

void setCallback(KavTraceCallback callback, void *context) {
    Sink &s = sink();
    std::unique_lock lock(s.mutex, std::defer_lock);
    // From inside the callback this thread holds the lock already.
    if (!inCallback)
        lock.lock();
    s.callback = callback;
    s.context = context;
    s.update();
}

void reopenFile(std::size_t limit) {
    Sink &s = sink();
    std::unique_lock lock(s.mutex, std::defer_lock);
    if (!inCallback)
        lock.lock();
    s.openFromEnvironment(limit);
}

} // namespace kav::trace
