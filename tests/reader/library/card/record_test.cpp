#include "card/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "card/utf16.h"
#include "codepage936.h"

namespace kav::card {
namespace {

// The record's spans, written out independently of the library.
struct Span {
    Field field;
    const char *what;
    std::size_t offset, size;
};
constexpr Span kSpans[] = {
    {Field::Name, "name", 0, 32},
    {Field::Sex, "sex", 32, 6},
    {Field::Nation, "nation", 38, 20},
    {Field::Born, "born", 58, 18},
    {Field::Address, "address", 76, 72},
    {Field::IdNumber, "ID number", 148, 38},
    {Field::Issuer, "issuer", 186, 32},
    {Field::ValidFrom, "valid from", 218, 18},
    {Field::ValidUntil, "valid until", 236, 56},
};

const char *bytesOf(const IDCardRecord &record) {
    return reinterpret_cast<const char *>(&record);
}

// A field's text in UTF-8, as the program will show it.
std::string shown(const IDCardRecord &record, const Span &span) {
    return cp936::toUtf8(cp936::fieldText(bytesOf(record) + span.offset, span.size));
}

FieldFormats formats(int sex, int nation, int born, int from, int until, int noEnd) {
    FieldFormats f;
    f.setSex(sex);
    f.setNation(nation);
    f.setBorn(born);
    f.setValidFrom(from);
    f.setValidUntil(until, noEnd);
    return f;
}

TEST(Record, FillsEveryFieldFormattedInGbk) {
    const CardText card{u"林晓雯",
                        u"2",
                        u"03",
                        u"19850412",
                        u"云州市青岚区枫桥路88号",
                        u"53010219850412002X",
                        u"云州市公安局青岚分局",
                        u"20150601",
                        u"长期"};
    struct Case {
        const char *what;
        FieldFormats formats;
        std::string sex, nation, born, from, until;
    };
    const Case cases[] = {
        {"all codes 0", formats(0, 0, 0, 0, 0, 0), "2", "03", "19850412", "20150601", ""},
        {"names and dashes", formats(1, 1, 1, 2, 3, 1), "女", "回", "1985-04-12", "2015年06月01日",
         "长期"},
        {"nation with 族", formats(1, 2, 4, 3, 0, 1), "女", "回族", "1985/04/12", "2015.06.01",
         "长期"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        IDCardRecord record;
        std::memset(&record, 0xAA, sizeof record);
        EXPECT_TRUE(fillRecord(card, c.formats, record).empty());
        const std::string expected[] = {"林晓雯",
                                        c.sex,
                                        c.nation,
                                        c.born,
                                        "云州市青岚区枫桥路88号",
                                        "53010219850412002X",
                                        "云州市公安局青岚分局",
                                        c.from,
                                        c.until};
        for (std::size_t i = 0; i < std::size(kSpans); ++i)
            EXPECT_EQ(shown(record, kSpans[i]), expected[i]) << kSpans[i].what;
        // Zero-filled first: no stale bytes after the texts, photo field empty.
        EXPECT_TRUE(std::all_of(record.photoFile, std::end(record.photoFile),
                                [](char b) { return b == 0; }));
        for (const Span &span : kSpans) {
            const char *begin = bytesOf(record) + span.offset;
            const std::size_t used = std::strlen(begin);
            EXPECT_TRUE(std::all_of(begin + used, begin + span.size, [](char b) { return b == 0; }))
                << span.what;
        }
    }
}

// A field too long for its span (the card's longest text, or longer) must
// end with a NUL inside it and leave every other byte of the record alone.
TEST(Record, OverlongFieldsStayInsideTheirSpan) {
    // Each holds a digit, so the validity end does not read as "no end date".
    const std::u16string fillers[] = {u"1" + std::u16string(40, u'测'), std::u16string(300, u'7'),
                                      u"12" + std::u16string(40, u'测')};
    for (const Span &span : kSpans) {
        for (const std::u16string &filler : fillers) {
            SCOPED_TRACE(std::string(span.what) + ", " + std::to_string(filler.size()) +
                         " characters");
            CardText card;
            card[span.field] = filler;
            IDCardRecord record;
            const std::vector<Field> cut = fillRecord(card, FieldFormats{}, record);
            EXPECT_EQ(cut, std::vector<Field>{span.field});

            const char *bytes = bytesOf(record);
            for (std::size_t i = 0; i < sizeof record; ++i) {
                if (i < span.offset || i >= span.offset + span.size) {
                    ASSERT_EQ(bytes[i], 0) << "byte " << i << " outside the span";
                }
            }
            const std::string_view text = cp936::fieldText(bytes + span.offset, span.size);
            ASSERT_LT(text.size(), span.size) << "no NUL inside the span";
            // Cut on a character boundary, as long as it can be.
            const std::string gbk = cp936::fromUtf8Lossy(toUtf8(filler));
            EXPECT_EQ(text, std::string_view(gbk).substr(0, text.size()));
            EXPECT_GE(text.size(), span.size - 2);
        }
    }
}

TEST(Record, CardFieldsAtFullWidthFitWhole) {
    CardText card;
    card.name = std::u16string(15, u'龘');
    card.sex = u"1";
    card.nation = u"29";
    card.born = u"20000229";
    card.address = std::u16string(35, u'街');
    card.idNumber = u"11010119900307123X";
    card.issuer = std::u16string(15, u'局');
    card.validFrom = u"20200101";
    card.validUntil = u"20400101";
    IDCardRecord record;
    EXPECT_TRUE(fillRecord(card, formats(1, 2, 2, 2, 2, 1), record).empty());
    EXPECT_EQ(shown(record, kSpans[0]), toUtf8(card.name));
    EXPECT_EQ(shown(record, kSpans[2]), "柯尔克孜族");
    EXPECT_EQ(shown(record, kSpans[4]), toUtf8(card.address));
    EXPECT_EQ(shown(record, kSpans[8]), "2040年01月01日");
}

// The record's sex span holds five bytes and a NUL: 未说明 is six.
TEST(Record, SexNotStatedIsCutAtACharacterAndReported) {
    CardText card;
    card.sex = u"9";
    IDCardRecord record;
    EXPECT_EQ(fillRecord(card, formats(1, 0, 0, 0, 0, 0), record), std::vector<Field>{Field::Sex});
    EXPECT_EQ(shown(record, kSpans[1]), "未说");
}

TEST(Record, CharactersGbkCannotHoldBecomeQuestionMarks) {
    struct Case {
        const char *what;
        std::u16string name;
        std::string expected;
    };
    const Case cases[] = {
        {"emoji (a surrogate pair)", u"张\xD83D\xDE00三", "张?三"},
        {"Hangul", u"김민", "??"},
        {"replacement character",
         u"A\xFFFD"
         u"B",
         "A?B"},
        {"unpaired surrogate", u"A\xD800", "A?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CardText card;
        card.name = c.name;
        IDCardRecord record;
        fillRecord(card, FieldFormats{}, record);
        EXPECT_EQ(shown(record, kSpans[0]), c.expected);
    }
}

} // namespace
} // namespace kav::card
