// Fuzz target: the card's text block from decoding to IDCardRecord.
//
// Input: six bytes of field-format codes (sex, nation, born, valid from,
// valid until, no end date), then the text block as the card sends it, of
// any length.
//
// Checks:
//  - decodeTextBlock: no field holds NUL, U+FFFE, U+FFFF or an unpaired
//    surrogate, or ends in padding; none is longer than its slot; bytes past
//    256 change nothing; a block cut short keeps every field it holds whole
//    and the first part of the one it cuts;
//    a decoded card written back into a block decodes to itself;
//  - the format setters take exactly the codes of the table and keep the old
//    value otherwise; a formatter given a code outside the table, valid or
//    not for another field, shows the card's text; a formatted date keeps the
//    card's digits in order;
//  - fillRecord into a record between guard bytes: the guards are untouched,
//    every field ends with a NUL inside its span and is zero after it, holds
//    the longest whole-character prefix of the field's GBK text, and is in
//    the returned list exactly when it was cut; the photo field stays empty;
//  - the type letter picks the layout: a field of another layout is empty,
//    an unknown letter leaves every field empty;
//  - fillCardData: the raw block handed over as given, the type and letter
//    kept, each field a whole-character prefix of its formatted text.
#include "KavIDCardAPI.h"
#include "card/carddata.h"
#include "card/cardtext.h"
#include "card/fieldformat.h"
#include "card/record.h"
#include "card/utf16.h"
#include "check.h"
#include "codepage936.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace kav::card;
namespace cp936 = kav::cp936;

constexpr std::size_t kCodeBytes = 6;

bool isSurrogateHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isSurrogateLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void checkFieldText(const std::u16string &text, std::size_t slotBytes) {
    FUZZ_CHECK(text.size() <= slotBytes / 2);
    if (!text.empty())
        FUZZ_CHECK(text.back() != u' ' && text.back() != 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        FUZZ_CHECK(u != 0 && u != 0xFFFE && u != 0xFFFF);
        if (isSurrogateHigh(u)) {
            FUZZ_CHECK(i + 1 < text.size() && isSurrogateLow(text[i + 1]));
            ++i;
        } else {
            FUZZ_CHECK(!isSurrogateLow(u));
        }
    }
}

// A field the cut went through: its first part, up to the replacement
// characters a split character or surrogate pair leaves at the end.
void checkCutField(const std::u16string &part, const std::u16string &whole, std::size_t slotBytes) {
    checkFieldText(part, slotBytes);
    std::u16string_view kept(part);
    while (!kept.empty() && kept.back() == 0xFFFD)
        kept.remove_suffix(1);
    FUZZ_CHECK(std::u16string_view(whole).substr(0, kept.size()) == kept);
}

// The fields of the card's own layout; none for an unknown type.
std::span<const FieldLayout> fieldsOf(const CardText &card) {
    const kav::proto::CardLayout *layout = layoutOf(card);
    return layout != nullptr ? layout->fields : std::span<const FieldLayout>();
}

std::vector<std::uint8_t> encodeBlock(const CardText &card) {
    std::vector<std::uint8_t> block(kTextBlockSize, 0);
    block[kav::proto::kTypeLetterOffset] = static_cast<std::uint8_t>(card.letter & 0xFF);
    block[kav::proto::kTypeLetterOffset + 1] = static_cast<std::uint8_t>(card.letter >> 8);
    for (const FieldLayout &layout : fieldsOf(card)) {
        const std::u16string &text = card[layout.field];
        for (std::size_t i = 0; i < layout.bytes / 2; ++i) {
            const char16_t u = i < text.size() ? text[i] : u' ';
            block[layout.offset + 2 * i] = static_cast<std::uint8_t>(u & 0xFF);
            block[layout.offset + 2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
        }
    }
    return block;
}

CardText checkDecoding(std::span<const std::uint8_t> block) {
    const CardText card = decodeTextBlock(block);
    for (const FieldLayout &layout : fieldsOf(card))
        checkFieldText(card[layout.field], layout.bytes);
    // A field of another layout stays empty: a block is read by its own.
    for (std::size_t i = 0; i < kav::proto::kTextFieldCount; ++i) {
        const auto field = static_cast<Field>(i);
        const auto own = fieldsOf(card);
        if (std::none_of(own.begin(), own.end(),
                         [&](const FieldLayout &l) { return l.field == field; }))
            FUZZ_CHECK(card[field].empty());
    }
    FUZZ_CHECK((card.type == kav::proto::CardType::Unknown) ==
               (kav::proto::cardTypeOf(card.letter) == kav::proto::CardType::Unknown));

    if (block.size() > kTextBlockSize)
        FUZZ_CHECK(decodeTextBlock(block.first(kTextBlockSize)) == card);

    // Cut where the input says: fields before the cut stay whole, fields
    // after it are empty. A block cut before its letter reads as the
    // resident card, so only a resident card's block is cut.
    if (!block.empty() && card.type == kav::proto::CardType::Resident) {
        const std::size_t cut = block[0] % (std::min(block.size(), kTextBlockSize) + 1);
        const CardText part = decodeTextBlock(block.first(cut));
        for (const FieldLayout &layout : kTextLayout) {
            if (layout.offset + layout.bytes <= cut)
                FUZZ_CHECK(part[layout.field] == card[layout.field]);
            else if (layout.offset >= cut)
                FUZZ_CHECK(part[layout.field].empty());
            else
                checkCutField(part[layout.field], card[layout.field], layout.bytes);
        }
    }

    FUZZ_CHECK(decodeTextBlock(encodeBlock(card)) == card);
    return card;
}

bool inRange(int code, int last) {
    return code >= 0 && code <= last;
}

// Round one takes mostly valid codes, round two mostly invalid ones, which
// must leave round one's in place.
FieldFormats checkSetters(std::span<const std::uint8_t> codes) {
    FieldFormats formats;
    for (int round = 0; round < 2; ++round) {
        std::array<int, kCodeBytes> c{};
        for (std::size_t i = 0; i < kCodeBytes; ++i)
            c[i] = round == 0 ? (codes[i] & 0x07) - 1 : static_cast<std::int8_t>(codes[i]);
        const FieldFormats before = formats;

        const auto expect = [](int rc, bool valid, int now, int old, int code) {
            FUZZ_CHECK(rc == (valid ? KAV_OK : KAV_E_BAD_ARGUMENT));
            FUZZ_CHECK(now == (valid ? code : old));
        };
        expect(formats.setSex(c[0]), inRange(c[0], FieldFormats::kLastSexCode), formats.sex(),
               before.sex(), c[0]);
        expect(formats.setNation(c[1]), inRange(c[1], FieldFormats::kLastNationCode),
               formats.nation(), before.nation(), c[1]);
        expect(formats.setBorn(c[2]), inRange(c[2], FieldFormats::kLastDateCode), formats.born(),
               before.born(), c[2]);
        expect(formats.setValidFrom(c[3]), inRange(c[3], FieldFormats::kLastDateCode),
               formats.validFrom(), before.validFrom(), c[3]);
        const bool untilValid = inRange(c[4], FieldFormats::kLastDateCode) &&
                                inRange(c[5], FieldFormats::kLastNoEndDateCode);
        expect(formats.setValidUntil(c[4], c[5]), untilValid, formats.validUntil(),
               before.validUntil(), c[4]);
        FUZZ_CHECK(formats.noEndDate() == (untilValid ? c[5] : before.noEndDate()));
    }
    return formats;
}

std::u16string digits(std::u16string_view text) {
    std::u16string out;
    for (char16_t u : text) {
        if (u >= u'0' && u <= u'9')
            out += u;
    }
    return out;
}

void checkFormatters(const CardText &card, std::span<const std::uint8_t> codes) {
    for (std::uint8_t byte : codes) {
        const int code = static_cast<std::int8_t>(byte);
        if (!inRange(code, FieldFormats::kLastSexCode))
            FUZZ_CHECK(formatSex(card.sex, code) == card.sex);
        if (!inRange(code, FieldFormats::kLastNationCode))
            FUZZ_CHECK(formatNation(card.nation, code) == card.nation);
        if (!inRange(code, FieldFormats::kLastDateCode)) {
            FUZZ_CHECK(formatDate(card.born, code) == card.born);
            FUZZ_CHECK(formatValidUntil(card.validUntil, code, 0) ==
                       formatValidUntil(card.validUntil, 0, 0));
        }
        FUZZ_CHECK(nationName(code).empty() ==
                   (code < 1 || (code > 56 && code != 97 && code != 98)));
    }
    for (int format = 0; format <= FieldFormats::kLastDateCode; ++format) {
        for (const std::u16string *date : {&card.born, &card.validFrom, &card.validUntil})
            FUZZ_CHECK(digits(formatDate(*date, format)) == digits(*date));
    }
}

struct GuardedRecord {
    std::array<unsigned char, 64> before;
    IDCardRecord record;
    std::array<unsigned char, 64> after;
};
constexpr unsigned char kGuard = 0xA5;

struct RecordField {
    Field field;
    const char *data;
    std::size_t size;
};

std::array<RecordField, kFieldCount> recordFieldsOf(const IDCardRecord &r) {
    return {{{Field::Name, r.name, sizeof r.name},
             {Field::Sex, r.sex, sizeof r.sex},
             {Field::Nation, r.nation, sizeof r.nation},
             {Field::Born, r.born, sizeof r.born},
             {Field::Address, r.address, sizeof r.address},
             {Field::IdNumber, r.idNumber, sizeof r.idNumber},
             {Field::Issuer, r.issuer, sizeof r.issuer},
             {Field::ValidFrom, r.validFrom, sizeof r.validFrom},
             {Field::ValidUntil, r.validUntil, sizeof r.validUntil}}};
}

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0 && prefix.size() <= text.size();
}

void checkRecord(const CardText &card, const FieldFormats &formats) {
    GuardedRecord g;
    std::memset(&g, kGuard, sizeof g); // stale bytes fillRecord must clear
    const std::vector<Field> cut = fillRecord(card, formats, g.record);

    for (unsigned char b : g.before)
        FUZZ_CHECK(b == kGuard);
    for (unsigned char b : g.after)
        FUZZ_CHECK(b == kGuard);
    for (char c : g.record.photoFile)
        FUZZ_CHECK(c == 0);

    const std::array<std::u16string, kFieldCount> shown = recordFields(formatFields(card, formats));
    for (const RecordField &f : recordFieldsOf(g.record)) {
        const char *nul = static_cast<const char *>(std::memchr(f.data, 0, f.size));
        FUZZ_CHECK(nul != nullptr);
        for (const char *p = nul; p < f.data + f.size; ++p)
            FUZZ_CHECK(*p == 0);

        const std::string text(cp936::fieldText(f.data, f.size));
        const std::string full =
            cp936::fromUtf8Lossy(toUtf8(shown[static_cast<std::size_t>(f.field)]));
        FUZZ_CHECK(startsWith(full, text));
        FUZZ_CHECK(text.size() == cp936::fittingPrefix(full, f.size - 1));
        // Cut between characters: the kept part reads as the start of the whole.
        FUZZ_CHECK(startsWith(cp936::toUtf8(full), cp936::toUtf8(text)));
        const bool listed = std::find(cut.begin(), cut.end(), f.field) != cut.end();
        FUZZ_CHECK(listed == (text.size() < full.size()));
    }
}

// The extended read's structure: the raw block as given, every field of the
// card's layout whole or cut before a character, NUL-terminated in its span.
void checkCardData(const CardText &card, const FieldFormats &formats,
                   std::span<const std::uint8_t> block) {
    static KavCardData data;
    std::memset(&data, 0xA5, sizeof data);
    const std::span<const std::uint8_t> text = block.first(std::min(block.size(), kTextBlockSize));
    fillCardData(card, formats, text, {}, data);
    FUZZ_CHECK(data.size == sizeof data);
    FUZZ_CHECK(data.type == cardTypeCode(card.type) && data.typeCode == card.letter);
    FUZZ_CHECK(std::equal(text.begin(), text.end(), data.textBlock));
    FUZZ_CHECK(std::all_of(data.textBlock + text.size(), std::end(data.textBlock),
                           [](unsigned char b) { return b == 0; }));
    FUZZ_CHECK(std::memchr(data.typeLetter, 0, sizeof data.typeLetter) != nullptr);
    const CardText shown = formatFields(card, formats);
    for (const FieldLayout &layout : fieldsOf(card)) {
        const std::string full = toUtf8(shown[layout.field]);
        std::string got;
        switch (layout.field) {
        case Field::Name:
            got = data.name;
            break;
        case Field::EnglishName:
            got = data.englishName;
            break;
        case Field::Address:
            got = data.address;
            break;
        case Field::IdNumber:
            got = data.idNumber;
            break;
        default:
            continue;
        }
        FUZZ_CHECK(startsWith(full, got));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < kCodeBytes)
        return 0;
    const std::span<const std::uint8_t> input(data, size);
    const std::span<const std::uint8_t> codes = input.first(kCodeBytes);

    const CardText card = checkDecoding(input.subspan(kCodeBytes));
    const FieldFormats formats = checkSetters(codes);
    checkFormatters(card, codes);

    const CardText shown = formatFields(card, formats);
    FUZZ_CHECK(shown.name == card.name && shown.address == card.address &&
               shown.idNumber == card.idNumber && shown.issuer == card.issuer);
    checkRecord(card, formats);
    checkRecord(card, FieldFormats{});
    checkCardData(card, formats, input.subspan(kCodeBytes));
    return 0;
}
