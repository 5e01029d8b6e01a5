#include "protocol/clock.h"

#include <cstdio>

namespace kav::clock {

std::string localTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const std::time_t t = system_clock::to_time_t(when);
    std::tm tm{};
    localTime(t, tm);
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return buf;
}

} // namespace kav::clock
