// How each field of a card reads in IDCardRecord: the field-format codes of
// KavIDCardAPI.h, kept and validated in one place, and the formatting.
#pragma once

#include <string>
#include <string_view>

#include "KavIDCardAPI.h"
#include "card/cardtext.h"

namespace kav::card {

// The codes of the Kav_Set*Type operations. Setters answer KAV_OK, or
// KAV_E_BAD_ARGUMENT for a code outside the table and keep the old value.
class FieldFormats {
  public:
    static constexpr int kLastSexCode = KAV_SEX_TEXT;
    static constexpr int kLastNationCode = KAV_NATION_NAME_ZU;
    static constexpr int kLastDateCode = KAV_DATE_SLASHES;
    static constexpr int kLastNoEndDateCode = KAV_NO_END_LONG_TERM;

    int setSex(int code);
    int setNation(int code);
    int setBorn(int code);
    int setValidFrom(int code);
    // Both codes are checked before either is kept.
    int setValidUntil(int code, int noEndDateCode);

    int sex() const { return sex_; }
    int nation() const { return nation_; }
    int born() const { return born_; }
    int validFrom() const { return validFrom_; }
    int validUntil() const { return validUntil_; }
    int noEndDate() const { return noEndDate_; }

  private:
    int sex_ = 0;
    int nation_ = 0;
    int born_ = 0;
    int validFrom_ = 0;
    int validUntil_ = 0;
    int noEndDate_ = 0;
};

// The name of a nation code (1 to 56, 97, 98), e.g. 汉; empty when unknown.
std::u16string_view nationName(int code);

// Formatters. A code outside the table formats as 0 (the card's text), and
// a value they cannot read (unknown code, malformed date) is shown as the
// card holds it, never guessed at.
std::u16string formatSex(std::u16string_view code, int format);
std::u16string formatNation(std::u16string_view code, int format);
std::u16string formatDate(std::u16string_view yyyymmdd, int format);

// The validity end: a date formats like any date. A value without a single
// digit (长期, or another word for "no end date") reads 长期 with
// noEndDateCode 1 and empty with 0. An empty field stays empty.
std::u16string formatValidUntil(std::u16string_view text, int dateFormat, int noEndDateCode);

// Every field as IDCardRecord shows it.
CardText formatFields(const CardText &card, const FieldFormats &formats);

} // namespace kav::card
