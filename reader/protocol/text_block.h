// The card's 256-byte text block as the read answer carries it: nine
// UCS-2 little-endian fields at fixed offsets, each padded with spaces to
// its width, then 36 reserved bytes. The library decodes it and the
// virtual reader builds it from this one table.
#pragma once

#include "protocol/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kav::proto {

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
};
inline constexpr std::size_t kTextFieldCount = 9;

struct TextFieldLayout {
    TextField field;
    const char *label; // for traces and messages
    std::size_t offset;
    std::size_t bytes;
};

inline constexpr std::array<TextFieldLayout, kTextFieldCount> kTextLayout{{
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
inline constexpr std::size_t kTextReservedOffset = 220;

static_assert(kTextLayout.back().offset + kTextLayout.back().bytes == kTextReservedOffset);
static_assert(kTextReservedOffset + 36 == kTextSize);

} // namespace kav::proto
