// The card's 256-byte text block as the read answer carries it: UCS-2
// little-endian fields at fixed offsets, each padded with spaces to its
// width. The character at offset 248 names the card's type, and each type
// lays its fields out in its own way. The library decodes the block and the
// virtual reader builds it from these tables alone.
#pragma once

#include "protocol/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kav::proto {

// Every field any layout holds. The first nine are the resident card's, in
// its order, and are also the fields of IDCardRecord.
enum class TextField : std::uint8_t {
    Name,
    Sex,
    Nation,
    Born,
    Address,
    IdNumber,
    Issuer,
    ValidFrom,
    ValidUntil,
    EnglishName,   // foreigner's card
    CardNumber,    // foreigner's card: 15 characters
    Nationality,   // foreigner's card: three letters, e.g. CAN
    ChineseName,   // foreigner's card; may be blank
    CardVersion,   // foreigner's card
    IssuerCode,    // foreigner's card: the authority's code
    PassNumber,    // residence permit: the travel pass's 9 characters
    IssuanceCount, // residence permit: two digits
};
inline constexpr std::size_t kTextFieldCount = 17;
inline constexpr std::size_t kRecordFieldCount = 9; // Name .. ValidUntil

struct TextFieldLayout {
    TextField field;
    const char *label; // for traces and messages
    std::size_t offset;
    std::size_t bytes;
};

enum class CardType : std::uint8_t {
    Resident,         // the resident identity card: a space at offset 248
    ForeignPermanent, // the foreigner's permanent residence card (2017 layout): 'I'
    HmtResidence,     // the residence permit for Hong Kong, Macao and Taiwan residents: 'J'
    Unknown,          // any other character ('Y', the 2023 foreigner's card, among them)
};

inline constexpr std::size_t kTypeLetterOffset = 248;

inline constexpr std::array<TextFieldLayout, 9> kTextLayout{{
    {TextField::Name, "name", 0, 30},
    {TextField::Sex, "sex", 30, 2},
    {TextField::Nation, "nation", 32, 4},
    {TextField::Born, "born", 36, 16},
    {TextField::Address, "address", 52, 70},
    {TextField::IdNumber, "ID number", 122, 36},
    {TextField::Issuer, "issuer", 158, 30},
    {TextField::ValidFrom, "valid from", 188, 16},
    {TextField::ValidUntil, "valid until", 204, 16},
}};
// The resident card's reserved bytes (the type letter among them) follow.
inline constexpr std::size_t kTextReservedOffset = 220;

// The foreigner's permanent residence card: its own order from the start.
inline constexpr std::array<TextFieldLayout, 10> kForeignLayout{{
    {TextField::EnglishName, "English name", 0, 120},
    {TextField::Sex, "sex", 120, 2},
    {TextField::CardNumber, "card number", 122, 30},
    {TextField::Nationality, "nationality", 152, 6},
    {TextField::ChineseName, "Chinese name", 158, 30},
    {TextField::ValidFrom, "valid from", 188, 16},
    {TextField::ValidUntil, "valid until", 204, 16},
    {TextField::Born, "born", 220, 16},
    {TextField::CardVersion, "card version", 236, 4},
    {TextField::IssuerCode, "issuer code", 240, 8},
}};

// The residence permit: the resident card's fields up to the validity end
// (the nation's four bytes reserved), then its own.
inline constexpr std::array<TextFieldLayout, 10> kResidencePermitLayout{{
    {TextField::Name, "name", 0, 30},
    {TextField::Sex, "sex", 30, 2},
    {TextField::Born, "born", 36, 16},
    {TextField::Address, "address", 52, 70},
    {TextField::IdNumber, "ID number", 122, 36},
    {TextField::Issuer, "issuer", 158, 30},
    {TextField::ValidFrom, "valid from", 188, 16},
    {TextField::ValidUntil, "valid until", 204, 16},
    {TextField::PassNumber, "pass number", 220, 18},
    {TextField::IssuanceCount, "issuance count", 238, 4},
}};

struct CardLayout {
    CardType type;
    char16_t letter;  // at kTypeLetterOffset
    const char *name; // for traces and messages
    std::span<const TextFieldLayout> fields;
};

inline constexpr CardLayout kCardLayouts[] = {
    {CardType::Resident, u' ', "resident identity card", kTextLayout},
    {CardType::ForeignPermanent, u'I', "foreigner's permanent residence card", kForeignLayout},
    {CardType::HmtResidence, u'J', "Hong Kong, Macao and Taiwan residence permit",
     kResidencePermitLayout},
};

// The type a letter names; Unknown for anything but the letters above.
constexpr CardType cardTypeOf(char16_t letter) {
    for (const CardLayout &layout : kCardLayouts)
        if (layout.letter == letter)
            return layout.type;
    return CardType::Unknown;
}

// nullptr for CardType::Unknown.
constexpr const CardLayout *layoutOf(CardType type) {
    for (const CardLayout &layout : kCardLayouts)
        if (layout.type == type)
            return &layout;
    return nullptr;
}

// Every layout's fields stay in order, apart and clear of the type letter.
constexpr bool fitsBeforeLetter(std::span<const TextFieldLayout> fields) {
    std::size_t end = 0;
    for (const TextFieldLayout &f : fields) {
        if (f.offset < end || f.bytes == 0 || f.bytes % 2 != 0)
            return false;
        end = f.offset + f.bytes;
    }
    return end <= kTypeLetterOffset;
}
static_assert(fitsBeforeLetter(kTextLayout) && fitsBeforeLetter(kForeignLayout) &&
              fitsBeforeLetter(kResidencePermitLayout));
static_assert(kTextLayout.back().offset + kTextLayout.back().bytes == kTextReservedOffset);
static_assert(kForeignLayout.back().offset + kForeignLayout.back().bytes == kTypeLetterOffset);
static_assert(kTypeLetterOffset + 2 <= kTextSize);

} // namespace kav::proto
