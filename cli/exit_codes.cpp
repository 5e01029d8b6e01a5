#include "exit_codes.h"

#include "KavIDCardAPI.h"

namespace kav::cli {

int exitClass(int result) {
    struct Entry {
        int result;
        int exit;
    };
    static constexpr Entry kTable[] = {
        {KAV_OK, kExitOk},
        {KAV_E_NO_DEVICE, kExitNoDevice},
        {KAV_E_PERMISSION, kExitAccess},
        {KAV_E_BUSY, kExitAccess},
        {KAV_E_IO, kExitLink},
        {KAV_E_TIMEOUT, kExitLink},
        {KAV_E_BAD_FRAME, kExitLink},
        {KAV_E_BAD_REPLY, kExitLink},
        {KAV_E_PHOTO_WRITE, kExitPhoto},
        {KAV_E_PHOTO_NAME, kExitPhoto},
    };
    for (const Entry &e : kTable)
        if (e.result == result)
            return e.exit;
    // A positive code is the status byte the SAM answered with.
    return result > 0 ? kExitRefused : kExitOther;
}

} // namespace kav::cli
