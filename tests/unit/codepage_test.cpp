// The one GBK conversion of the reader boundary.
#include "codepage936.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kav::cp936;

TEST(Codepage936, DecodesGbkAndReplacesWhatIsNot) {
    struct Case {
        std::string gbk;
        std::string utf8;
    };
    const Case cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"\xD5\xD5\xC6\xAC", "照片"},
        {"\x80", "€"}, // code page 936's euro sign
        {"A\xFF"
         "B",
         "A\uFFFD"
         "B"},              // a byte no character starts with
        {"\xD5", "\uFFFD"}, // a pair cut off at the end
        {"\xD5\xD5\xD5", "照\uFFFD"},
        {"\x81\x30", "\uFFFD"
                     "0"}, // a four-byte GB18030 lead is not GBK
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(toUtf8(c.gbk), c.utf8);
    }
}

TEST(Codepage936, EncodesExactlyOrNotAtAll) {
    EXPECT_EQ(fromUtf8("/tmp/照片"), std::optional<std::string>("/tmp/\xD5\xD5\xC6\xAC"));
    EXPECT_EQ(fromUtf8(""), std::optional<std::string>(""));
    EXPECT_EQ(fromUtf8("\xF0\x9F\x98\x80"), std::nullopt); // an emoji has no GBK form
    EXPECT_EQ(fromUtf8("\xC3\x28"), std::nullopt);         // not UTF-8
    EXPECT_EQ(fromUtf8("\xE7\x85"), std::nullopt);         // cut-off UTF-8
}

TEST(Codepage936, LossyEncodingMarksWhatItCannotHold) {
    EXPECT_EQ(fromUtf8Lossy("王\xF0\x9F\x98\x80明"), "\xCD\xF5?\xC3\xF7");
    EXPECT_EQ(fromUtf8Lossy("a\xC3\x28"
                            "b"),
              "a?(b");
    EXPECT_EQ(fromUtf8Lossy("x\xE7\x85"), "x?");
}

TEST(Codepage936, FieldsStopAtNulOrTheirSpan) {
    const char withNul[6] = {'a', 'b', '\0', 'c', 'd', 'e'};
    EXPECT_EQ(fieldText(withNul, sizeof withNul), "ab");
    const char full[3] = {'x', 'y', 'z'};
    EXPECT_EQ(fieldText(full, sizeof full), "xyz");
    EXPECT_EQ(fieldText(nullptr, 4), "");
}

TEST(Codepage936, CopyNeverSplitsACharacterNorRunsPastTheSpan) {
    struct Case {
        std::string gbk;
        std::size_t span;
        std::string stored;
        bool whole;
    };
    const Case cases[] = {
        {"abc", 4, "abc", true},
        {"abcd", 4, "abc", false},
        {"\xD5\xD5\xC6\xAC", 4, "\xD5\xD5", false}, // the second character would lose its NUL
        {"\xD5\xD5\xC6\xAC", 5, "\xD5\xD5\xC6\xAC", true},
        {"a\xD5\xD5", 3, "a", false},
        {"", 1, "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gbk);
        char buffer[16];
        std::memset(buffer, 0x5A, sizeof buffer);
        EXPECT_EQ(copyToField(c.gbk, buffer, c.span), c.whole);
        EXPECT_EQ(std::string(buffer), c.stored);
        for (std::size_t i = c.stored.size(); i < c.span; ++i)
            EXPECT_EQ(buffer[i], '\0') << "the rest of the span is zero-filled";
        EXPECT_EQ(buffer[c.span], 0x5A) << "nothing is written past the span";
    }
}
