// Kav_GetVersion: the header's version, compiled in, so that a host can
// tell the library it loaded from the header it was built with.
#include "KavIDCardAPI.h"

extern "C" KAV_EXPORT int KAV_CALL Kav_GetVersion(int *major, int *minor, int *patch) {
    // Constants only: no lock, no trace, safe from the trace callback.
    if (major == nullptr || minor == nullptr || patch == nullptr)
        return KAV_E_BAD_ARGUMENT;
    *major = KAV_VERSION_MAJOR;
    *minor = KAV_VERSION_MINOR;
    *patch = KAV_VERSION_PATCH;
    return KAV_OK;
}
