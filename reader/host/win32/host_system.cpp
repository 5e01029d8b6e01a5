#include "host_system.h"

#include <windows.h>

namespace kav::host {

void *libraryExport(const char *name) {
    HMODULE library = ::GetModuleHandleW(L"KavIDCardAPI.dll");
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<void *>(::GetProcAddress(library, name));
}

bool localCalendar(std::time_t t, std::tm &out) {
    return localtime_s(&out, &t) == 0;
}

} // namespace kav::host
