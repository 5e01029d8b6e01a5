#include "sam_id.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace kav::host {
namespace {

std::uint32_t littleEndian32(const unsigned char *b) {
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

} // namespace

std::string samIdText(const KavSamId &id) {
    const unsigned char *b = id.bytes;
    char text[64];
    std::snprintf(text, sizeof text, "%X%X-%X%X-%" PRIu32 "-%" PRIu32 "-%" PRIu32, b[1], b[0], b[3],
                  b[2], littleEndian32(b + 4), littleEndian32(b + 8), littleEndian32(b + 12));
    return text;
}

} // namespace kav::host
