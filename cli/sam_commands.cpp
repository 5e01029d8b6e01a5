#include "command_parts.h"

#include "host/trace_format.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace kav::cli {
namespace {

// Open, one SAM command, close: status and reset.
int samCommand(const Output &out, int port, const char *operation, int (*command)(int, int),
               const char *human) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return out.failure("Kav_OpenPort", open.result(), port);
    if (const int r = command(port, 0); r != KAV_OK)
        return out.failure(operation, r, port);
    return out.success(Json{{"ok", true}}, human);
}

std::uint32_t littleEndian32(const unsigned char *b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

} // namespace

std::string samIdText(const unsigned char *b) {
    char text[64];
    std::snprintf(text, sizeof text, "%X%X-%X%X-%" PRIu32 "-%" PRIu32 "-%" PRIu32, b[1], b[0], b[3],
                  b[2], littleEndian32(b + 4), littleEndian32(b + 8), littleEndian32(b + 12));
    return text;
}

int runStatus(const Output &out, int port) {
    return samCommand(out, port, "Kav_GetSAMStatus", Kav_GetSAMStatus, "SAM status ok");
}

int runReset(const Output &out, int port) {
    return samCommand(out, port, "Kav_ResetSAM", Kav_ResetSAM, "SAM reset");
}

int runSamId(const Output &out, int port) {
    OpenPort open(port);
    if (open.result() != KAV_OK)
        return out.failure("Kav_OpenPort", open.result(), port);
    KavSamId id{};
    if (const int r = Kav_GetSAMID(port, id.bytes, 0); r != KAV_OK)
        return out.failure("Kav_GetSAMID", r, port);
    const std::string text = samIdText(id.bytes);
    return out.success(
        Json{{"samId", text}, {"hex", kav::host::hexBytes(id.bytes, sizeof id.bytes, "")}}, text);
}

} // namespace kav::cli
