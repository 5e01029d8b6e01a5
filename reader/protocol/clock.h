// The wall clock as the trace prints it. Local time needs the system's
// calendar: localTime is in reader/platform/<system>/clock.cpp.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace kav::clock {

// The calendar time of `t` in the local time zone; false when the system
// cannot tell it.
bool localTime(std::time_t t, std::tm &out);

// "2026-12-07 10:12:31.123" in the local time zone.
std::string localTimestamp(std::chrono::system_clock::time_point when);

} // namespace kav::clock
