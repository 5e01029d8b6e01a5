#include "optional_exports.h"

#include <dlfcn.h>

namespace kav::cli {
namespace {

template <typename Fn> Fn lookUp(const char *name) {
    // Converting an object pointer to a function pointer is what dlsym's
    // interface asks of every caller (POSIX guarantees it works).
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

} // namespace

SetTraceCallbackFn setTraceCallbackExport() {
    return lookUp<SetTraceCallbackFn>("Kav_SetTraceCallback");
}

GetMappedPortFn getMappedPortExport() {
    return lookUp<GetMappedPortFn>("Kav_GetMappedPort");
}

GetWarningFn getWarningExport() {
    return lookUp<GetWarningFn>("Kav_GetWarning");
}

std::vector<LibraryWarning> libraryWarnings() {
    std::vector<LibraryWarning> warnings;
    const GetWarningFn getWarning = getWarningExport();
    // Bounded, should a library never say "no more".
    constexpr int kMostShown = 1000;
    for (int index = 0; getWarning != nullptr && index < kMostShown; ++index) {
        int port = KAV_NO_PORT;
        char text[KAV_WARNING_TEXT_SIZE] = {};
        if (getWarning(index, &port, text, static_cast<int>(sizeof text)) != KAV_OK)
            break;
        warnings.push_back({port, text});
    }
    return warnings;
}

GetRetryCountFn getRetryCountExport() {
    return lookUp<GetRetryCountFn>("Kav_GetRetryCount");
}

} // namespace kav::cli
