#include "carddata.h"

#include <algorithm>
#include <cstring>

#include "card/utf16.h"

namespace kav::card {
namespace {

struct DataSpan {
    char *data;
    std::size_t size;
};

DataSpan spanOf(KavCardData &d, Field field) {
    switch (field) {
    case Field::Name:
        return {d.name, sizeof d.name};
    case Field::Sex:
        return {d.sex, sizeof d.sex};
    case Field::Nation:
        return {d.nation, sizeof d.nation};
    case Field::Born:
        return {d.born, sizeof d.born};
    case Field::Address:
        return {d.address, sizeof d.address};
    case Field::IdNumber:
        return {d.idNumber, sizeof d.idNumber};
    case Field::Issuer:
        return {d.issuer, sizeof d.issuer};
    case Field::ValidFrom:
        return {d.validFrom, sizeof d.validFrom};
    case Field::ValidUntil:
        return {d.validUntil, sizeof d.validUntil};
    case Field::EnglishName:
        return {d.englishName, sizeof d.englishName};
    case Field::CardNumber:
        return {d.cardNumber, sizeof d.cardNumber};
    case Field::Nationality:
        return {d.nationality, sizeof d.nationality};
    case Field::ChineseName:
        return {d.chineseName, sizeof d.chineseName};
    case Field::CardVersion:
        return {d.cardVersion, sizeof d.cardVersion};
    case Field::IssuerCode:
        return {d.issuerCode, sizeof d.issuerCode};
    case Field::PassNumber:
        return {d.passNumber, sizeof d.passNumber};
    case Field::IssuanceCount:
        break;
    }
    return {d.issuanceCount, sizeof d.issuanceCount};
}

} // namespace

int cardTypeCode(CardType type) {
    switch (type) {
    case CardType::Resident:
        return KAV_CARD_RESIDENT;
    case CardType::ForeignPermanent:
        return KAV_CARD_FOREIGN_PERMANENT;
    case CardType::HmtResidence:
        return KAV_CARD_HMT_RESIDENCE;
    case CardType::Unknown:
        break;
    }
    return KAV_CARD_UNKNOWN_LAYOUT;
}

bool copyUtf8(std::string_view utf8, char *span, std::size_t size) {
    if (size == 0)
        return utf8.empty();
    std::size_t n = std::min(utf8.size(), size - 1);
    // Back to the start of a character: continuation bytes are 10xxxxxx.
    if (n < utf8.size())
        while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(span, utf8.data(), n);
    std::memset(span + n, 0, size - n);
    return n == utf8.size();
}

std::string letterText(char16_t letter) {
    // The decoder's own rules say what may be shown.
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(letter & 0xFF),
                                  static_cast<std::uint8_t>(letter >> 8)};
    const std::u16string shown = decodeTextField(bytes);
    if (letter == u' ')
        return " ";
    if (shown.size() != 1 || shown[0] != letter)
        return "";
    return toUtf8(shown);
}

void fillCardData(const CardText &card, const FieldFormats &formats,
                  std::span<const std::uint8_t> text, std::span<const std::uint8_t> photo,
                  KavCardData &data) {
    std::memset(&data, 0, sizeof data);
    data.size = sizeof data;
    data.type = cardTypeCode(card.type);
    data.typeCode = card.letter;
    copyUtf8(letterText(card.letter), data.typeLetter, sizeof data.typeLetter);
    std::copy_n(text.begin(), std::min(text.size(), sizeof data.textBlock), data.textBlock);
    std::copy_n(photo.begin(), std::min(photo.size(), sizeof data.photo), data.photo);
    const proto::CardLayout *layout = layoutOf(card);
    if (layout == nullptr)
        return;
    const CardText shown = formatFields(card, formats);
    for (const FieldLayout &field : layout->fields) {
        const DataSpan span = spanOf(data, field.field);
        copyUtf8(toUtf8(shown[field.field]), span.data, span.size);
    }
}

} // namespace kav::card
