#include "card/fieldformat.h"

#include <gtest/gtest.h>

#include <set>

#include "KavIDCardAPI.h"
#include "card/utf16.h"
#include "codepage936.h"

namespace kav::card {
namespace {

struct Case {
    std::u16string input;
    int format;
    std::u16string expected;
};

std::string describe(const Case &c) {
    return "\"" + toUtf8(c.input) + "\" in format " + std::to_string(c.format);
}

TEST(FieldFormat, Sex) {
    const Case cases[] = {
        {u"0", 0, u"0"},    {u"1", 0, u"1"},  {u"2", 0, u"2"},  {u"9", 0, u"9"},
        {u"0", 1, u"未知"}, {u"1", 1, u"男"}, {u"2", 1, u"女"}, {u"9", 1, u"未说明"},
        {u"3", 1, u"3"},    {u"X", 1, u"X"},  {u"", 1, u""},    {u"1", 5, u"1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(describe(c));
        EXPECT_EQ(toUtf8(formatSex(c.input, c.format)), toUtf8(c.expected));
    }
}

TEST(FieldFormat, Nation) {
    const Case cases[] = {
        {u"01", 0, u"01"},     {u"01", 1, u"汉"},         {u"01", 2, u"汉族"},
        {u"02", 2, u"蒙古族"}, {u"29", 2, u"柯尔克孜族"}, {u"56", 0, u"56"},
        {u"56", 1, u"基诺"},   {u"56", 2, u"基诺族"},     {u"97", 1, u"其他"},
        {u"97", 2, u"其他"},   {u"98", 1, u"外国血统"},   {u"98", 2, u"外国血统"},
        {u"00", 2, u"00"},     {u"57", 1, u"57"},         {u"96", 2, u"96"},
        {u"99", 2, u"99"},     {u"1", 1, u"1"},           {u"001", 2, u"001"},
        {u"0A", 2, u"0A"},     {u"０１", 2, u"０１"},     {u"", 2, u""},
        {u"01", 3, u"01"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(describe(c));
        EXPECT_EQ(toUtf8(formatNation(c.input, c.format)), toUtf8(c.expected));
    }
}

// Every name must survive the trip into the record's 20-byte GBK field.
TEST(FieldFormat, EveryNationNameFitsTheRecordInGbk) {
    std::set<std::u16string> names;
    std::vector<int> codes;
    for (int code = 1; code <= 56; ++code)
        codes.push_back(code);
    codes.insert(codes.end(), {97, 98});
    for (int code : codes) {
        SCOPED_TRACE(code);
        char digits[3] = {static_cast<char>('0' + code / 10), static_cast<char>('0' + code % 10)};
        const std::u16string shown = formatNation(toUtf16(digits), 2);
        ASSERT_FALSE(nationName(code).empty());
        const std::optional<std::string> gbk = cp936::fromUtf8(toUtf8(shown));
        ASSERT_TRUE(gbk.has_value()) << toUtf8(shown);
        EXPECT_LT(gbk->size(), sizeof(IDCardRecord::nation));
        names.insert(std::u16string(nationName(code)));
    }
    EXPECT_EQ(names.size(), codes.size()) << "two codes share a name";
}

TEST(FieldFormat, Dates) {
    const Case cases[] = {
        {u"20010203", 0, u"20010203"},
        {u"20010203", 1, u"2001-02-03"},
        {u"20010203", 2, u"2001年02月03日"},
        {u"20010203", 3, u"2001.02.03"},
        {u"20010203", 4, u"2001/02/03"},
        {u"20000229", 1, u"2000-02-29"}, // leap year by the 400 rule
        {u"20241231", 4, u"2024/12/31"},
        {u"19000229", 1, u"19000229"}, // not a leap year
        {u"20230229", 1, u"20230229"},
        {u"20010431", 2, u"20010431"},
        {u"20011301", 1, u"20011301"},
        {u"20010001", 1, u"20010001"},
        {u"20010100", 3, u"20010100"},
        {u"2001023", 1, u"2001023"},
        {u"200102030", 1, u"200102030"},
        {u"2001-02-03", 1, u"2001-02-03"},
        {u"2001 203", 1, u"2001 203"},
        {u"２００１０２０３", 1, u"２００１０２０３"},
        {u"", 2, u""},
        {u"20010203", 5, u"20010203"},
        {u"20010203", -1, u"20010203"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(describe(c));
        EXPECT_EQ(toUtf8(formatDate(c.input, c.format)), toUtf8(c.expected));
    }
}

TEST(FieldFormat, ValidityEnd) {
    struct EndCase {
        std::u16string input;
        int dateFormat, noEndDate;
        std::u16string expected;
    };
    const EndCase cases[] = {
        {u"20351231", 1, 0, u"2035-12-31"},
        {u"20351231", 2, 1, u"2035年12月31日"},
        {u"长期", 0, 0, u""},
        {u"长期", 0, 1, u"长期"},
        {u"长期", 3, 1, u"长期"},
        {u"长期有效", 1, 1, u"长期"},
        {u"长期有效", 1, 0, u""},
        {u"", 1, 1, u""},
        {u"2035123", 1, 1, u"2035123"},
        {u"20351331", 1, 1, u"20351331"},
    };
    for (const EndCase &c : cases) {
        SCOPED_TRACE("\"" + toUtf8(c.input) + "\" codes " + std::to_string(c.dateFormat) + ", " +
                     std::to_string(c.noEndDate));
        EXPECT_EQ(toUtf8(formatValidUntil(c.input, c.dateFormat, c.noEndDate)), toUtf8(c.expected));
    }
}

TEST(FieldFormats, AcceptsTheTableAndKeepsTheOldValueOtherwise) {
    struct Setter {
        const char *what;
        int (FieldFormats::*set)(int);
        int (FieldFormats::*get)() const;
        int last;
    };
    const Setter setters[] = {
        {"sex", &FieldFormats::setSex, &FieldFormats::sex, 1},
        {"nation", &FieldFormats::setNation, &FieldFormats::nation, 2},
        {"born", &FieldFormats::setBorn, &FieldFormats::born, 4},
        {"valid from", &FieldFormats::setValidFrom, &FieldFormats::validFrom, 4},
    };
    for (const Setter &s : setters) {
        FieldFormats formats;
        EXPECT_EQ((formats.*s.get)(), 0) << s.what << " default";
        for (int code = -2; code <= s.last + 2; ++code) {
            SCOPED_TRACE(std::string(s.what) + " code " + std::to_string(code));
            const int before = (formats.*s.get)();
            const bool valid = code >= 0 && code <= s.last;
            EXPECT_EQ((formats.*s.set)(code), valid ? KAV_OK : KAV_E_BAD_ARGUMENT);
            EXPECT_EQ((formats.*s.get)(), valid ? code : before);
        }
    }
}

TEST(FieldFormats, ValidityEndChecksBothCodesBeforeKeepingEither) {
    FieldFormats formats;
    EXPECT_EQ(formats.validUntil(), 0);
    EXPECT_EQ(formats.noEndDate(), 0);
    ASSERT_EQ(formats.setValidUntil(3, 1), KAV_OK);
    const std::pair<int, int> rejected[] = {{5, 0}, {-1, 0}, {2, 2}, {2, -1}, {9, 9}};
    for (const auto &[code, second] : rejected) {
        SCOPED_TRACE(std::to_string(code) + ", " + std::to_string(second));
        EXPECT_EQ(formats.setValidUntil(code, second), KAV_E_BAD_ARGUMENT);
        EXPECT_EQ(formats.validUntil(), 3);
        EXPECT_EQ(formats.noEndDate(), 1);
    }
    EXPECT_EQ(formats.setValidUntil(4, 0), KAV_OK);
    EXPECT_EQ(formats.validUntil(), 4);
    EXPECT_EQ(formats.noEndDate(), 0);
}

} // namespace
} // namespace kav::card
