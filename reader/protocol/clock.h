// The wall clock as the trace prints it. Local time needs the platform's
// calendar (localtime_r here); a Win32 backend goes beside clock_posix.cpp.
#pragma once

#include <chrono>
#include <string>

namespace kav::clock {

// "2026-12-07 10:12:31.123" in the local time zone.
std::string localTimestamp(std::chrono::system_clock::time_point when);

} // namespace kav::clock
