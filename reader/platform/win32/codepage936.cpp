// Code page 936 through the system's tables. Windows maps 2,149 GBK codes
// to the private use area, where iconv has real characters or none: those
// are refused both ways, so both systems read and write the same text.
#include "codepage936.h"

#include <windows.h>

#include <cstdint>

namespace kav::cp936 {
namespace {

constexpr UINT kCodePage = 936;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

bool isPrivateUse(char32_t c) {
    return c >= 0xE000 && c <= 0xF8FF;
}

void appendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One GBK character (one or two bytes) as one UTF-16 unit; nothing when
// the bytes are not a character, or are one Windows puts in the private
// use area.
std::optional<wchar_t> decodeOne(std::string_view bytes) {
    wchar_t unit[2];
    const int n = ::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                        static_cast<int>(bytes.size()), unit, 2);
    if (n != 1 || isPrivateUse(unit[0]))
        return std::nullopt;
    return unit[0];
}

// Bytes that form a code Windows maps to the private use area.
bool isPrivateUseCode(std::string_view bytes) {
    wchar_t unit[2];
    const int n = ::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                        static_cast<int>(bytes.size()), unit, 2);
    return n == 1 && isPrivateUse(unit[0]);
}

// The next character of valid UTF-8 and its length; length 0 when the
// bytes at the front are not valid UTF-8.
std::pair<char32_t, std::size_t> nextUtf8(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, c = lead & 0x1F, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, c = lead & 0x0F, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, c = lead & 0x07, least = 0x10000;
    else
        return {0, 0};
    if (s.size() < length)
        return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        if ((b(i) & 0xC0) != 0x80)
            return {0, 0};
        c = (c << 6) | (b(i) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return {0, 0};
    return {c, length};
}

// One character as GBK bytes; nothing when GBK has no form for it that
// reads back as the same character.
std::optional<std::string> encodeOne(char32_t c) {
    if (c < 0x80)
        return std::string(1, static_cast<char>(c));
    if (c > 0xFFFF || isPrivateUse(c) || c == 0xFFFD)
        return std::nullopt;
    const wchar_t unit = static_cast<wchar_t>(c);
    char bytes[4];
    BOOL defaulted = FALSE;
    const int n = ::WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, &unit, 1, bytes,
                                        sizeof bytes, nullptr, &defaulted);
    if (n <= 0 || defaulted)
        return std::nullopt;
    std::string out(bytes, static_cast<std::size_t>(n));
    const std::optional<wchar_t> back = decodeOne(out);
    if (!back || *back != unit)
        return std::nullopt;
    return out;
}

bool isLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}

} // namespace

std::string toUtf8(std::string_view gbk) {
    std::string out;
    out.reserve(gbk.size() * 3 / 2);
    while (!gbk.empty()) {
        const unsigned char lead = static_cast<unsigned char>(gbk.front());
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            gbk.remove_prefix(1);
            continue;
        }
        if (isLeadByte(lead) && gbk.size() < 2) {
            out += kReplacement; // cut off at the end
            break;
        }
        const std::size_t width = isLeadByte(lead) ? 2 : 1;
        if (const std::optional<wchar_t> c = decodeOne(gbk.substr(0, width))) {
            appendUtf8(out, static_cast<char32_t>(*c));
            gbk.remove_prefix(width);
        } else if (isPrivateUseCode(gbk.substr(0, width))) {
            // A whole code, refused: one replacement for both its bytes.
            out += kReplacement;
            gbk.remove_prefix(width);
        } else {
            // One replacement for the byte that cannot start a character;
            // what follows it is read afresh.
            out += kReplacement;
            gbk.remove_prefix(1);
        }
    }
    return out;
}

std::optional<std::string> fromUtf8(std::string_view utf8) {
    std::string out;
    while (!utf8.empty()) {
        const auto [c, length] = nextUtf8(utf8);
        if (length == 0)
            return std::nullopt;
        const std::optional<std::string> bytes = encodeOne(c);
        if (!bytes)
            return std::nullopt;
        out += *bytes;
        utf8.remove_prefix(length);
    }
    return out;
}

std::string fromUtf8Lossy(std::string_view utf8) {
    std::string out;
    while (!utf8.empty()) {
        const auto [c, length] = nextUtf8(utf8);
        if (length == 0) {
            // One '?' per character: the lead byte and the continuation
            // bytes that belong to it, but never a byte that starts
            // something else.
            out += '?';
            const unsigned char lead = static_cast<unsigned char>(utf8.front());
            const std::size_t expected = lead >= 0xF0 && lead <= 0xF4   ? 4
                                         : lead >= 0xE0 && lead <= 0xEF ? 3
                                         : lead >= 0xC2 && lead <= 0xDF ? 2
                                                                        : 1;
            std::size_t skip = 1;
            while (skip < expected && skip < utf8.size() &&
                   (static_cast<unsigned char>(utf8[skip]) & 0xC0) == 0x80)
                ++skip;
            utf8.remove_prefix(skip);
            continue;
        }
        const std::optional<std::string> bytes = encodeOne(c);
        out += bytes ? *bytes : std::string("?");
        utf8.remove_prefix(length);
    }
    return out;
}

} // namespace kav::cp936
