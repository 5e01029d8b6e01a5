// Byte helpers shared by the protocol, link and virtual reader tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace kav::test {

using Bytes = std::vector<std::uint8_t>;

// "AA AA 96" or "AAAA96" -> {0xAA, 0xAA, 0x96}; spaces are ignored.
inline Bytes hex(const std::string &text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits += c;
    }
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace kav::test
