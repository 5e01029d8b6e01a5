// A card's text as the library hands it over: IDCardRecord in code page 936.
#pragma once

#include <vector>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"
#include "card/fieldformat.h"

namespace kav::card {

// Zero-fills the whole record, then writes every text field formatted per
// formats and converted to GBK (characters GBK cannot hold become '?'), cut
// at a character boundary so that it ends with a NUL inside its span. The
// photo field is left empty for the photo store.
// Returns the fields that had to be cut (the record's sex field holds five
// bytes, so 未说明 reads 未说), for the trace.
std::vector<Field> fillRecord(const CardText &card, const FieldFormats &formats,
                              IDCardRecord &record);

} // namespace kav::card
