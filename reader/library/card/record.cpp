#include "record.h"

#include <cstring>

#include "card/fieldspan.h"
#include "card/utf16.h"
#include "codepage936.h"

namespace kav::card {

std::u16string cutToRecord(std::u16string text, std::size_t span) {
    // Whole characters off the end until its GBK fits with the NUL; the
    // photo's name is then the record's.
    while (!text.empty() && cp936::fromUtf8Lossy(toUtf8(text)).size() >= span)
        text.pop_back();
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
        text.pop_back();
    return text;
}

std::array<std::u16string, kFieldCount> recordFields(const CardText &card) {
    std::array<std::u16string, kFieldCount> out;
    const auto set = [&](Field field, const std::u16string &value) {
        out[static_cast<std::size_t>(field)] = value;
    };
    switch (card.type) {
    case CardType::Resident:
    case CardType::HmtResidence: // its nation is empty: the layout has none
        for (std::size_t i = 0; i < kFieldCount; ++i)
            set(static_cast<Field>(i), card[static_cast<Field>(i)]);
        break;
    case CardType::ForeignPermanent:
        set(Field::Name, card.chineseName.empty()
                             ? cutToRecord(card.englishName, sizeof IDCardRecord::name)
                             : card.chineseName);
        set(Field::Sex, card.sex);
        set(Field::Nation, card.nationality);
        set(Field::Born, card.born);
        set(Field::IdNumber, card.cardNumber);
        set(Field::Issuer, card.issuerCode);
        set(Field::ValidFrom, card.validFrom);
        set(Field::ValidUntil, card.validUntil);
        break;
    case CardType::Unknown:
        break;
    }
    return out;
}

std::vector<Field> fillRecord(const CardText &card, const FieldFormats &formats,
                              IDCardRecord &record) {
    std::memset(&record, 0, sizeof record);
    const std::array<std::u16string, kFieldCount> shown = recordFields(formatFields(card, formats));
    std::vector<Field> cut;
    for (const FieldLayout &layout : kTextLayout) {
        const std::string gbk =
            cp936::fromUtf8Lossy(toUtf8(shown[static_cast<std::size_t>(layout.field)]));
        const FieldSpan span = spanOf(record, layout.field);
        if (!cp936::copyToField(gbk, span.data, span.size))
            cut.push_back(layout.field);
    }
    return cut;
}

} // namespace kav::card
