#include "optional_exports.h"

#include "platform/system.h"

namespace kav::cli {
namespace {

template <typename Fn> Fn lookUp(const char *name) {
    // Converting an object pointer to a function pointer is what dlsym's
    // and GetProcAddress's interfaces ask of every caller.
    return reinterpret_cast<Fn>(platform::libraryExport(name));
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
    return host::readWarnings(getWarningExport());
}

GetRetryCountFn getRetryCountExport() {
    return lookUp<GetRetryCountFn>("Kav_GetRetryCount");
}

ReadCardFn readCardExport() {
    return lookUp<ReadCardFn>("Kav_ReadCard");
}

GetLastCardFn getLastCardExport() {
    return lookUp<GetLastCardFn>("Kav_GetLastCard");
}

ReadAppendedAddressFn readAppendedAddressExport() {
    return lookUp<ReadAppendedAddressFn>("Kav_ReadAppendedAddress");
}

} // namespace kav::cli
