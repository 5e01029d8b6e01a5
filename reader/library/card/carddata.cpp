#include "carddata.h"

#include <algorithm>
#include <cstring>

#include "card/fieldspan.h"
#include "card/utf16.h"

namespace kav::card {

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
        const FieldSpan span = spanOf(data, field.field);
        copyUtf8(toUtf8(shown[field.field]), span.data, span.size);
    }
}

} // namespace kav::card
