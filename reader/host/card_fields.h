// A card as hosts show it: the type's name and, in order, each field of its
// layout with its label and its key, read from KavCardData or from the
// record of the plain read. One table for every host (the dialog's log
// lines, kav's text and JSON).
#pragma once

#include "KavIDCardAPI.h"

#include <string>
#include <vector>

namespace kav::host {

struct CardField {
    const char *key;   // kav's JSON key, e.g. "englishName"
    const char *label; // the log's label, e.g. "英文姓名"
    std::string value; // UTF-8
};

// 居民身份证, 外国人永久居留身份证, 港澳台居民居住证; empty for another type.
std::string cardTypeName(int type);

// "resident", "I", "J"; for an unknown layout the letter as the card holds
// it, or U+XXXX when it is no printable character.
std::string cardTypeKey(const KavCardData &card);

// The fields of the card's layout in the order the log shows them, the
// photo file last; none for an unknown layout or no card.
std::vector<CardField> cardFields(const KavCardData &card);

// The record's fields in the log's order, converted from code page 936
// (bytes that are not GBK show as U+FFFD); kav's JSON keys are the record's
// member names.
std::vector<CardField> recordFields(const IDCardRecord &record);

} // namespace kav::host
