// Virtual cards: JSON files of fictional holders, turned into the 256-byte
// text block, the 1024-byte photo, the fingerprint data and the appended
// addresses exactly as a card carries them.
//
// A card file is a JSON object with either the fields of its card type or
// "textBlock": 512 hex digits giving the raw block (for odd contents, and for
// a type letter no layout is known for). The type is "cardType": absent or
// " " for the resident identity card, "I" for the foreigner's permanent
// residence card, "J" for the Hong Kong, Macao and Taiwan residence permit;
// it is written at offset 248. Each type takes exactly its fields (strings):
//   resident: name, sex, nation, birthDate, address, idNumber, issuer,
//             validFrom, validUntil (a date or 长期)
//   I:        englishName, sex, cardNumber, nationality, chineseName,
//             validFrom, validUntil, birthDate, cardVersion, issuerCode
//   J:        name, sex, birthDate, address, idNumber, issuer, validFrom,
//             validUntil, passNumber, issuanceCount
// Optional for every card:
//   "photo": base64 of at most 1024 bytes (zero-padded on the card; all
//     zeros when absent);
//   "fingerprint": "synthetic" for 1024 bytes of a fixed pattern (byte i is
//     (i * 37 + 11) mod 256: two 512-byte "templates" that are no one's
//     fingerprint), or base64 of exactly 512 or 1024 bytes. Absent: the card
//     holds none. Never put real biometric data in a card file;
//   "appendedAddresses": up to four strings of at most 35 characters, oldest
//     first; the reader gives the last. Absent or empty: none;
//   "comment".
// Any other key, or a field of another type, is an error, so a misspelt
// field never silently reads empty.
#pragma once

#include "protocol/protocol.h"
#include "protocol/text_block.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kav::virt {

using Address = std::array<std::uint8_t, proto::kAddressSize>;

struct Card {
    std::array<std::uint8_t, proto::kTextSize> text{};
    std::array<std::uint8_t, proto::kPhotoSize> photo{};
    std::vector<std::uint8_t> fingerprint; // 0, 512 or 1024 bytes
    std::vector<Address> addresses;        // appended addresses, oldest first
    friend bool operator==(const Card &, const Card &) = default;
};

// Where each field sits in the text block (UCS-2 LE, padded with spaces).
struct TextField {
    std::string_view key; // the card file's key
    std::size_t offset;
    std::size_t bytes;
};
// The resident card's fields, and those of a known type.
std::span<const TextField> textFields();
std::vector<TextField> textFields(proto::CardType type);

// The fingerprint pattern of "fingerprint": "synthetic".
std::vector<std::uint8_t> syntheticFingerprint();

struct CardResult {
    std::optional<Card> card;
    std::string error; // set when card is empty: what is wrong, for the user
};

CardResult parseCard(std::span<const char> json);
// A regular file's bytes, at most `limit` + 1 (one more tells a file that
// is too large, whatever its size said when it was checked); nullopt with
// the reason in `error` for anything else (a FIFO or device is refused
// without waiting, as kNotRegularFile). The system's, in
// reader/platform/<system>/card_file.cpp.
inline constexpr const char *kNotRegularFile = "not a regular file";
std::optional<std::vector<char>> readCardFile(const std::string &path, std::size_t limit,
                                              std::string &error);
CardResult loadCardFile(const std::string &path);

// The ordinary card built into the library: a virtual reader given no
// card file holds it.
Card defaultCard();

} // namespace kav::virt
