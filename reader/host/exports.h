// The library's optional exports, looked up when the host runs: a host that
// uses them also runs with a library that has only the core interface.
#pragma once

#include "KavIDCardAPI.h"

namespace kav::host {

using TraceSetter = int(KAV_CALL *)(KavTraceCallback callback, void *context);
using LastCardGetter = int(KAV_CALL *)(int port, KavCardData *card);
using WarningGetter = int(KAV_CALL *)(int index, int *port, char *text, int textSize);

// The loaded library's export `name` as a function of type Fn, or nullptr.
template <typename Fn> Fn optionalExport(const char *name);

// The ones both hosts use.
TraceSetter traceSetterExport();       // Kav_SetTraceCallback
LastCardGetter lastCardGetterExport(); // Kav_GetLastCard
WarningGetter warningGetterExport();   // Kav_GetWarning

} // namespace kav::host

#include "host_system.h"

template <typename Fn> Fn kav::host::optionalExport(const char *name) {
    // Converting an object pointer to a function pointer is what dlsym's
    // and GetProcAddress's interfaces ask of every caller.
    return reinterpret_cast<Fn>(libraryExport(name));
}
