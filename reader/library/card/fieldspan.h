// Where a text field sits in the structures that hand a card over: both
// name the record's nine fields alike, and KavCardData has the others too.
#pragma once

#include <cstddef>
#include <type_traits>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"

namespace kav::card {

struct FieldSpan {
    char *data = nullptr;
    std::size_t size = 0;
};

// The field's bytes in card; empty for a field IDCardRecord lacks.
template <typename Card> FieldSpan spanOf(Card &card, Field field) {
    static_assert(std::is_same_v<Card, IDCardRecord> || std::is_same_v<Card, KavCardData>);
    const auto of = [](auto &member) { return FieldSpan{member, sizeof member}; };
    switch (field) {
    case Field::Name:
        return of(card.name);
    case Field::Sex:
        return of(card.sex);
    case Field::Nation:
        return of(card.nation);
    case Field::Born:
        return of(card.born);
    case Field::Address:
        return of(card.address);
    case Field::IdNumber:
        return of(card.idNumber);
    case Field::Issuer:
        return of(card.issuer);
    case Field::ValidFrom:
        return of(card.validFrom);
    case Field::ValidUntil:
        return of(card.validUntil);
    default:
        break;
    }
    if constexpr (std::is_same_v<Card, KavCardData>) {
        switch (field) {
        case Field::EnglishName:
            return of(card.englishName);
        case Field::CardNumber:
            return of(card.cardNumber);
        case Field::Nationality:
            return of(card.nationality);
        case Field::ChineseName:
            return of(card.chineseName);
        case Field::CardVersion:
            return of(card.cardVersion);
        case Field::IssuerCode:
            return of(card.issuerCode);
        case Field::PassNumber:
            return of(card.passNumber);
        case Field::IssuanceCount:
            return of(card.issuanceCount);
        default:
            break;
        }
    }
    return {};
}

} // namespace kav::card
