// The parts of code page 936 handling that need no conversion tables: the
// conversions themselves are the system's (reader/platform/<system>/codepage936.cpp).
#include "codepage936.h"

#include <cstring>

namespace kav::cp936 {
namespace {

bool isLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

} // namespace

std::string_view fieldText(const char *span, std::size_t size) {
    if (span == nullptr)
        return {};
    const void *nul = std::memchr(span, '\0', size);
    return {span, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - span) : size};
}

std::size_t fittingPrefix(std::string_view gbk, std::size_t maxBytes) {
    std::size_t i = 0;
    while (i < gbk.size()) {
        const std::size_t width =
            isLeadByte(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size() ? 2 : 1;
        if (i + width > maxBytes)
            break;
        i += width;
    }
    return i;
}

bool copyToField(std::string_view gbk, char *span, std::size_t size) {
    if (span == nullptr || size == 0)
        return gbk.empty();
    std::memset(span, 0, size);
    const std::size_t n = fittingPrefix(gbk, size - 1);
    std::memcpy(span, gbk.data(), n);
    return n == gbk.size();
}

} // namespace kav::cp936
