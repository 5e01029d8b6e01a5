#include "command_parts.h"

namespace kav::cli {

int runBaud(const Output &out, int port, std::optional<int> newBaud) {
    unsigned int current = 0;
    if (const int r = Kav_GetCOMBaud(port, &current); r != KAV_OK)
        return out.failure("Kav_GetCOMBaud", r, port);
    if (!newBaud)
        return out.success(Json{{"baud", current}}, std::to_string(current) + " baud");
    if (const int r = Kav_SetCOMBaud(port, static_cast<int>(current), *newBaud); r != KAV_OK)
        return out.failure("Kav_SetCOMBaud", r, port);
    return out.success(Json{{"baud", *newBaud}}, "SAM now at " + std::to_string(*newBaud) +
                                                     " baud (was " + std::to_string(current) + ")");
}

int runMaxRf(const Output &out, int port, int count) {
    PortSession open(port);
    if (!open.isOpen())
        return out.failure("Kav_OpenPort", open.openResult(), port);
    // As the dialog: make sure a reader answers before changing its setting.
    if (const int r = Kav_GetSAMStatus(port, 0); r != KAV_OK)
        return out.failure("Kav_GetSAMStatus", r, port);
    if (const int r = Kav_SetMaxRFByte(port, count, 0); r != KAV_OK)
        return out.failure("Kav_SetMaxRFByte", r, port);
    return out.success(Json{{"ok", true}}, "max RF bytes set to " + std::to_string(count));
}

} // namespace kav::cli
