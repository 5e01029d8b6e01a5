#include "exports.h"

namespace kav::host {

TraceSetter traceSetterExport() {
    return optionalExport<TraceSetter>("Kav_SetTraceCallback");
}

LastCardGetter lastCardGetterExport() {
    return optionalExport<LastCardGetter>("Kav_GetLastCard");
}

WarningGetter warningGetterExport() {
    return optionalExport<WarningGetter>("Kav_GetWarning");
}

} // namespace kav::host
