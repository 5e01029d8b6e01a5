#include "trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace kav::trace {
namespace {

struct Sink {
    std::mutex mutex;
    std::FILE *file = nullptr;

    Sink() {
        const char *path = std::getenv("KAVIDCARD_TRACE");
        if (path != nullptr && *path != '\0')
            file = std::fopen(path, "a");
    }
    ~Sink() {
        if (file != nullptr)
            std::fclose(file);
    }
};

Sink &sink() {
    static Sink s;
    return s;
}

std::string timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[80];
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buf;
}

void write(std::string_view text) {
    Sink &s = sink();
    if (s.file == nullptr)
        return;
    const std::string stamp = timestamp();
    std::lock_guard lock(s.mutex);
    std::fprintf(s.file, "%s %.*s\n", stamp.c_str(), static_cast<int>(text.size()), text.data());
    std::fflush(s.file);
}

} // namespace

bool enabled() { return sink().file != nullptr; }

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
    std::string text;
    text.append(link).append(direction == Direction::ToReader ? " >> " : " << ");
    text.append(hex(bytes));
    if (!meaning.empty())
        text.append("  [").append(meaning).append("]");
    write(text);
}

void line(std::string_view text) {
    if (enabled())
        write(text);
}

} // namespace kav::trace
