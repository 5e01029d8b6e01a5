#include "optional_exports.h"

namespace kav::cli {

using host::optionalExport;

SetTraceCallbackFn setTraceCallbackExport() {
    return host::traceSetterExport();
}

GetMappedPortFn getMappedPortExport() {
    return optionalExport<GetMappedPortFn>("Kav_GetMappedPort");
}

GetWarningFn getWarningExport() {
    return host::warningGetterExport();
}

std::vector<LibraryWarning> libraryWarnings() {
    return host::readWarnings(getWarningExport());
}

GetRetryCountFn getRetryCountExport() {
    return optionalExport<GetRetryCountFn>("Kav_GetRetryCount");
}

GetLastFailureFn getLastFailureExport() {
    return optionalExport<GetLastFailureFn>("Kav_GetLastFailure");
}

std::string lastFailureText(int port) {
    const GetLastFailureFn get = getLastFailureExport();
    char text[KAV_WARNING_TEXT_SIZE] = {};
    if (get == nullptr || get(port, text, static_cast<int>(sizeof text)) != KAV_OK)
        return {};
    return text;
}

ReadCardFn readCardExport() {
    return optionalExport<ReadCardFn>("Kav_ReadCard");
}

GetLastCardFn getLastCardExport() {
    return host::lastCardGetterExport();
}

ReadAppendedAddressFn readAppendedAddressExport() {
    return optionalExport<ReadAppendedAddressFn>("Kav_ReadAppendedAddress");
}

} // namespace kav::cli
