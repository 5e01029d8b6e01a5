// What the library's configuration got wrong, worded for the host to show:
// the user's own bytes (the variable, card file paths) may be anything, the
// texts handed out are UTF-8 that fits a KAV_WARNING_TEXT_SIZE buffer.
#include "library.h"

#include <cstdint>
#include <cstdio>

namespace kav {
namespace {

// The length of the valid UTF-8 sequence at `at` that is no control
// character (C0, DEL, C1); 0 when there is none.
std::size_t printableSequence(std::string_view s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07u;
    else
        return 0;
    if (at + length > s.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool bad = overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
                     (code >= 0x80 && code <= 0x9F);
    return bad ? 0 : length;
}

// Other bytes as \xNN; cut with "..." to fit the host's buffer.
std::string shownText(std::string_view text) {
    constexpr std::size_t kMax = KAV_WARNING_TEXT_SIZE - 1;
    constexpr std::string_view kCut = "...";
    std::string out;
    std::size_t fits = 0; // the longest whole-piece prefix that leaves room for the cut mark
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t n = printableSequence(text, at); n > 0) {
            out += text.substr(at, n);
            at += n;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X",
                          static_cast<unsigned char>(text[at]));
            out += escaped;
            ++at;
        }
        if (out.size() <= kMax - kCut.size())
            fits = out.size();
        else if (out.size() > kMax)
            break;
    }
    if (out.size() <= kMax)
        return out;
    out.resize(fits);
    return out + std::string(kCut);
}

} // namespace

std::vector<Library::Warning> Library::warnings() {
    std::vector<Warning> list;
    for (const std::string &error : devices_.errors())
        list.push_back({KAV_NO_PORT, shownText("KAVIDCARD_DEVICES: " + error)});
    // Virtual readers come only from the variable, whose ports are those
    // listed even when no node exists.
    for (int port : devices_.candidatePorts([](const std::string &) { return false; })) {
        virtualReader(port); // loads the port's card file, once
        if (auto it = cardErrors_.find(port); it != cardErrors_.end())
            list.push_back({port, shownText("card file " + it->second)});
    }
    return list;
}

} // namespace kav
