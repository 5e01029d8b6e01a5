// A card's text as the library hands it over: IDCardRecord in code page 936.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"
#include "card/fieldformat.h"

namespace kav::card {

// What each of the record's nine fields holds for a card of each type, the
// card's text as it is (KavIDCardAPI.h documents the mapping):
//  resident card: its own nine fields;
//  foreigner's card: name the Chinese name, or the English name where the
//    Chinese one is blank; nation the nationality code; address empty; ID
//    number the card number; issuer the authority's code; the rest alike;
//  residence permit: as the resident card, nation empty (it has none).
// An unknown type maps to nine empty fields. Indexed by Field (Name ..
// ValidUntil).
std::array<std::u16string, kFieldCount> recordFields(const CardText &card);

// text without the whole characters at its end that keep its GBK form (and
// a NUL) from fitting `span` bytes.
std::u16string cutToRecord(std::u16string text, std::size_t span);

// Zero-fills the whole record, then writes every text field, mapped per
// the card's type as above, formatted per formats and converted to GBK (characters GBK cannot hold
// become '?'), cut at a character boundary so that it ends with a NUL inside its span. The photo
// field is left empty for the photo store. Returns the fields that had to be cut (the record's sex
// field holds five bytes, so 未说明 reads 未说), for the trace.
std::vector<Field> fillRecord(const CardText &card, const FieldFormats &formats,
                              IDCardRecord &record);

} // namespace kav::card
