// The card's 256-byte text block: nine UCS-2 little-endian fields at fixed
// offsets, each padded with spaces to its width.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/text_block.h"

namespace kav::card {

inline constexpr std::size_t kTextBlockSize = proto::kTextSize;

using Field = proto::TextField;
inline constexpr std::size_t kFieldCount = proto::kTextFieldCount;
using FieldLayout = proto::TextFieldLayout;
// The block's layout, as the protocol fixes it.
inline constexpr const auto &kTextLayout = proto::kTextLayout;

// The card's fields as it holds them, padding removed.
struct CardText {
    std::u16string name;
    std::u16string sex;    // one digit: 0, 1, 2 or 9
    std::u16string nation; // two digits
    std::u16string born;   // YYYYMMDD
    std::u16string address;
    std::u16string idNumber;
    std::u16string issuer;
    std::u16string validFrom;  // YYYYMMDD
    std::u16string validUntil; // YYYYMMDD, or text such as 长期 when the card has no end

    std::u16string &operator[](Field field);
    const std::u16string &operator[](Field field) const;
    bool operator==(const CardText &) const = default;
};

// Decodes a text block. Trailing spaces and NULs of each field are removed;
// a field without padding is taken whole. A block shorter than 256 bytes
// yields the fields it holds (a field it cuts keeps its first part, a
// dangling half character becomes U+FFFD unless it is padding); bytes past
// 256 are ignored. Unpaired surrogates, U+FFFE, U+FFFF and NULs inside the
// text become U+FFFD. Control characters (C0 but NUL, DEL, C1), U+2028,
// U+2029 and the bidi controls U+202A..U+202E and U+2066..U+2069 become '?',
// so no consumer gets them. Safe on any input.
CardText decodeTextBlock(std::span<const std::uint8_t> block);

} // namespace kav::card
