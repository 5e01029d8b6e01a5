// A card as the extended read hands it over: KavCardData, every field of
// every layout in UTF-8, the raw blocks beside them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"
#include "card/fieldformat.h"

namespace kav::card {

// The interface's number for a type.
int cardTypeCode(CardType type);

// Zero-fills data, then sets size to sizeof(KavCardData), the type, its
// letter and code, every field of the card's layout formatted per formats
// (none for an unknown type), the raw text block and the photo bytes. The
// photo file and fingerprint members stay empty.
void fillCardData(const CardText &card, const FieldFormats &formats,
                  std::span<const std::uint8_t> text, std::span<const std::uint8_t> photo,
                  KavCardData &data);

// Copies UTF-8 into a NUL-terminated span, cut before a character that
// would not fit. False when it had to be cut.
bool copyUtf8(std::string_view utf8, char *span, std::size_t size);

// The type letter as a host may show it: "I", " "; "" for a code unit that
// is no printable character.
std::string letterText(char16_t letter);

} // namespace kav::card
