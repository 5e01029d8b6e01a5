#include "command_parts.h"

#include "host/sam_id.h"
#include "host/trace_format.h"

namespace kav::cli {
namespace {

// Open, one SAM command, close: status and reset.
int samCommand(const Output &out, int port, const char *operation, int(KAV_CALL *command)(int, int),
               const char *human) {
    PortSession open(port);
    if (!open.isOpen())
        return out.failure("Kav_OpenPort", open.openResult(), port);
    if (const int r = command(port, 0); r != KAV_OK)
        return out.failure(operation, r, port);
    return out.success(Json{{"ok", true}}, human);
}

} // namespace

int runStatus(const Output &out, int port) {
    return samCommand(out, port, "Kav_GetSAMStatus", Kav_GetSAMStatus, "SAM status ok");
}

int runReset(const Output &out, int port) {
    return samCommand(out, port, "Kav_ResetSAM", Kav_ResetSAM, "SAM reset");
}

int runSamId(const Output &out, int port) {
    PortSession open(port);
    if (!open.isOpen())
        return out.failure("Kav_OpenPort", open.openResult(), port);
    KavSamId id{};
    if (const int r = Kav_GetSAMID(port, id.bytes, 0); r != KAV_OK)
        return out.failure("Kav_GetSAMID", r, port);
    const std::string text = host::samIdText(id);
    return out.success(
        Json{{"samId", text}, {"hex", kav::host::hexBytes(id.bytes, sizeof id.bytes, "")}}, text);
}

} // namespace kav::cli
