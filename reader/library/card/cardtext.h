// The card's 256-byte text block: UCS-2 little-endian fields at fixed
// offsets, each padded with spaces to its width, laid out as the card's type
// (the character at offset 248) says.
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
using CardType = proto::CardType;
// The fields IDCardRecord holds: the resident card's nine.
inline constexpr std::size_t kFieldCount = proto::kRecordFieldCount;
using FieldLayout = proto::TextFieldLayout;
// The resident card's layout, as the protocol fixes it.
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
    // The other layouts' own fields; empty on a card whose layout has none.
    std::u16string englishName{};
    std::u16string cardNumber{};
    std::u16string nationality{};
    std::u16string chineseName{};
    std::u16string cardVersion{};
    std::u16string issuerCode{};
    std::u16string passNumber{};
    std::u16string issuanceCount{};
    CardType type = CardType::Resident;
    char16_t letter = u' '; // the block's code unit at offset 248, as it is

    std::u16string &operator[](Field field);
    const std::u16string &operator[](Field field) const;
    bool operator==(const CardText &) const = default;
};

// The layout of the card's type; nullptr for an unknown type.
const proto::CardLayout *layoutOf(const CardText &card);

// Decodes a text block by the layout its type letter names. A letter no
// layout is known for gives type Unknown and no field at all: a block is
// never read by a layout that is not its own. A block too short to hold
// the letter is read as the resident card (the library itself only
// decodes whole blocks). Trailing spaces and NULs of each field are removed;
// a field without padding is taken whole. A block shorter than 256 bytes
// yields the fields it holds (a field it cuts keeps its first part, a
// dangling half character becomes U+FFFD unless it is padding); bytes past
// 256 are ignored. Unpaired surrogates, U+FFFE, U+FFFF and NULs inside the
// text become U+FFFD. Control characters (C0 but NUL, DEL, C1), U+2028,
// U+2029 and the bidi controls U+202A..U+202E and U+2066..U+2069 become '?',
// so no consumer gets them. Safe on any input.
CardText decodeTextBlock(std::span<const std::uint8_t> block);

// One field's bytes decoded the same way (an appended address).
std::u16string decodeTextField(std::span<const std::uint8_t> bytes);

} // namespace kav::card
