#include "host_system.h"

#include <dlfcn.h>

namespace kav::host {

void *libraryExport(const char *name) {
    // The library is linked when the program loads: its exports are in the
    // global scope.
    return dlsym(RTLD_DEFAULT, name);
}

bool localCalendar(std::time_t t, std::tm &out) {
    return localtime_r(&t, &out) != nullptr;
}

} // namespace kav::host
