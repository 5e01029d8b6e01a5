// Virtual cards: JSON files of fictional holders, turned into the 256-byte
// text block and the 1024-byte photo exactly as a card carries them.
//
// A card file is a JSON object with either the nine fields
//   name, sex, nation, birthDate, address, idNumber, issuer, validFrom,
//   validUntil  (strings; validUntil a date or 长期)
// or "textBlock": 512 hex digits giving the raw block (for odd contents);
// plus optionally "photo": base64 of at most 1024 bytes (zero-padded on the
// card; all zeros when absent) and "comment". Any other key is an error, so
// a misspelt field never silently reads empty.
#pragma once

#include "protocol/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kav::virt {

struct Card {
    std::array<std::uint8_t, proto::kTextSize> text{};
    std::array<std::uint8_t, proto::kPhotoSize> photo{};
    friend bool operator==(const Card &, const Card &) = default;
};

// Where each field sits in the text block (UCS-2 LE, padded with spaces).
struct TextField {
    std::string_view key; // the card file's key
    std::size_t offset;
    std::size_t bytes;
};
std::span<const TextField> textFields();

struct CardResult {
    std::optional<Card> card;
    std::string error; // set when card is empty: what is wrong, for the user
};

CardResult parseCard(std::span<const char> json);
// A regular file's bytes, at most `limit`; nullopt with the reason in
// `error` for anything else (a FIFO or device is refused without waiting).
std::optional<std::vector<char>> readCardFile(const std::string &path, std::size_t limit,
                                              std::string &error);
CardResult loadCardFile(const std::string &path);

// The ordinary card built into the library: a virtual reader given no
// card file holds it.
Card defaultCard();

} // namespace kav::virt
