#include "cardtext.h"

#include <algorithm>
#include <utility>

namespace kav::card {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
// What a control character becomes: visible, and GBK holds it, so the
// record, the log and the trace all show the same.
constexpr char16_t kControlReplacement = u'?';

bool isPadding(char16_t u) {
    return u == u' ' || u == 0;
}

// Characters that act on what shows rather than show: C0 controls (NUL is
// handled as padding or invalid text), DEL, C1 controls, line and paragraph
// separators, and the bidi embeddings, overrides and isolates that could
// make a log line or a field read other than it is.
bool isControl(char16_t u) {
    return (u > 0 && u < 0x20) || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029 ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

std::u16string decodeField(std::span<const std::uint8_t> bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2 + 1);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    // A block cut inside a character: keep the loss visible, unless the half
    // we have is the start of padding.
    if (bytes.size() % 2 != 0 && bytes.back() != 0x20 && bytes.back() != 0x00)
        units += kReplacement;

    const auto end = std::find_if_not(units.rbegin(), units.rend(), isPadding).base();
    units.erase(end, units.end());

    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        const bool low = u >= 0xDC00 && u <= 0xDFFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ++i; // a valid pair
        } else if (high || low || u == 0xFFFE || u == 0xFFFF || u == 0) {
            units[i] = kReplacement;
        } else if (isControl(u)) {
            units[i] = kControlReplacement;
        }
    }
    return units;
}

} // namespace

std::u16string &CardText::operator[](Field field) {
    return const_cast<std::u16string &>(std::as_const(*this)[field]);
}

const std::u16string &CardText::operator[](Field field) const {
    switch (field) {
    case Field::Name:
        return name;
    case Field::Sex:
        return sex;
    case Field::Nation:
        return nation;
    case Field::Born:
        return born;
    case Field::Address:
        return address;
    case Field::IdNumber:
        return idNumber;
    case Field::Issuer:
        return issuer;
    case Field::ValidFrom:
        return validFrom;
    case Field::ValidUntil:
        return validUntil;
    case Field::EnglishName:
        return englishName;
    case Field::CardNumber:
        return cardNumber;
    case Field::Nationality:
        return nationality;
    case Field::ChineseName:
        return chineseName;
    case Field::CardVersion:
        return cardVersion;
    case Field::IssuerCode:
        return issuerCode;
    case Field::PassNumber:
        return passNumber;
    case Field::IssuanceCount:
        break;
    }
    return issuanceCount;
}

std::u16string decodeTextField(std::span<const std::uint8_t> bytes) {
    return decodeField(bytes);
}

const proto::CardLayout *layoutOf(const CardText &card) {
    return proto::layoutOf(card.type);
}

CardText decodeTextBlock(std::span<const std::uint8_t> block) {
    block = block.first(std::min(block.size(), kTextBlockSize));
    CardText text;
    if (block.size() >= proto::kTypeLetterOffset + 2) {
        text.letter = static_cast<char16_t>(block[proto::kTypeLetterOffset] |
                                            block[proto::kTypeLetterOffset + 1] << 8);
        text.type = proto::cardTypeOf(text.letter);
    }
    const proto::CardLayout *cardLayout = layoutOf(text);
    if (cardLayout == nullptr)
        return text;
    for (const FieldLayout &layout : cardLayout->fields) {
        if (layout.offset >= block.size())
            break;
        const std::size_t available = std::min(layout.bytes, block.size() - layout.offset);
        text[layout.field] = decodeField(block.subspan(layout.offset, available));
    }
    return text;
}

} // namespace kav::card
