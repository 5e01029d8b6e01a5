// What the host kit needs from the system: one implementation per system in
// reader/host/<system>/host_system.cpp, picked by CMake.
#pragma once

#include <ctime>

namespace kav::host {

// The address of an export of the loaded reader library, or nullptr when
// it has none of that name.
void *libraryExport(const char *name);

// The calendar time of `t` in the local time zone; false when the system
// cannot tell it.
bool localCalendar(std::time_t t, std::tm &out);

} // namespace kav::host
