#include "card/cardtext.h"

#include <gtest/gtest.h>

#include <vector>

#include "card/utf16.h"

namespace kav::card {
namespace {

// Offsets and widths as the card carries them, written out here rather
// than taken from the library so a layout mistake there shows.
struct Slot {
    Field field;
    std::size_t offset, bytes;
};
constexpr Slot kSlots[] = {
    {Field::Name, 0, 30},     {Field::Sex, 30, 2},         {Field::Nation, 32, 4},
    {Field::Born, 36, 16},    {Field::Address, 52, 70},    {Field::IdNumber, 122, 36},
    {Field::Issuer, 158, 30}, {Field::ValidFrom, 188, 16}, {Field::ValidUntil, 204, 16},
};

void put(std::vector<std::uint8_t> &block, std::size_t offset, std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        block.at(offset + 2 * i) = static_cast<std::uint8_t>(units[i] & 0xFF);
        block.at(offset + 2 * i + 1) = static_cast<std::uint8_t>(units[i] >> 8);
    }
}

// A block padded with spaces throughout, as a card holds it.
std::vector<std::uint8_t> blockOf(const CardText &card) {
    std::vector<std::uint8_t> block(256);
    for (std::size_t i = 0; i < block.size(); i += 2)
        block[i] = 0x20;
    for (const Slot &slot : kSlots)
        put(block, slot.offset, card[slot.field]);
    return block;
}

CardText sampleCard() {
    return {u"林晓雯",
            u"2",
            u"03",
            u"19850412",
            u"云州市青岚区枫桥路88号3栋502室",
            u"53010219850412002X",
            u"云州市公安局青岚分局",
            u"20150601",
            u"20350601"};
}

TEST(TextBlock, DecodesEveryFieldAtItsOffset) {
    const CardText card = sampleCard();
    EXPECT_EQ(decodeTextBlock(blockOf(card)), card);
}

TEST(TextBlock, FieldsAtFullWidthAreTakenWhole) {
    CardText card;
    for (const Slot &slot : kSlots)
        card[slot.field] = std::u16string(slot.bytes / 2, u'测');
    const std::vector<std::uint8_t> block = blockOf(card);
    EXPECT_EQ(decodeTextBlock(block), card);
}

TEST(TextBlock, TrailingPaddingIsRemoved) {
    struct Case {
        const char *what;
        std::u16string units; // the name field's 15 units
        std::u16string expected;
    };
    const Case cases[] = {
        {"spaces", u"张三" + std::u16string(13, u' '), u"张三"},
        {"NULs", u"张三" + std::u16string(13, u'\0'), u"张三"},
        {"spaces and NULs mixed", u"张三 \0 \0" + std::u16string(8, u'\0'), u"张三"},
        {"no padding", std::u16string(15, u'王'), std::u16string(15, u'王')},
        {"inner spaces kept", u"A B" + std::u16string(12, u' '), u"A B"},
        {"leading spaces kept", u"  Li" + std::u16string(11, u' '), u"  Li"},
        {"all padding", std::u16string(15, u' '), u""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> block = blockOf({});
        put(block, 0, c.units);
        EXPECT_EQ(toUtf8(decodeTextBlock(block).name), toUtf8(c.expected));
    }
}

TEST(TextBlock, InvalidUcs2BecomesReplacementCharacter) {
    struct Case {
        const char *what;
        std::u16string units;
        std::u16string expected;
    };
    const Case cases[] = {
        {"lone high surrogate",
         u"A\xD83D"
         u"B",
         u"A\xFFFD"
         u"B"},
        {"lone low surrogate",
         u"A\xDE00"
         u"B",
         u"A\xFFFD"
         u"B"},
        {"pair in the wrong order", u"\xDE00\xD83D", u"\xFFFD\xFFFD"},
        {"two high surrogates", u"\xD83D\xD83D", u"\xFFFD\xFFFD"},
        {"high surrogate at the end", u"AB\xD83D", u"AB\xFFFD"},
        {"valid pair kept", u"A\xD83D\xDE00", u"A\xD83D\xDE00"},
        {"noncharacters", u"\xFFFE\xFFFF", u"\xFFFD\xFFFD"},
        {"NUL inside the text", std::u16string(u"A\0B", 3),
         u"A\xFFFD"
         u"B"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> block = blockOf({});
        put(block, 0, c.units);
        // Compared as UTF-16: converting to UTF-8 would hide unpaired surrogates.
        EXPECT_EQ(decodeTextBlock(block).name, c.expected);
    }
}

// Characters that would act on a log line or a field rather than show in
// it, written out here rather than taken from the library.
bool actsOnDisplay(char16_t u) {
    return (u >= 0x01 && u <= 0x1F) || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029 ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

TEST(TextBlock, ControlCharactersBecomeQuestionMarks) {
    struct Case {
        const char *what;
        std::u16string units; // the name field's units, at most 15
        std::u16string expected;
    };
    std::vector<Case> cases = {
        {"newline, tab and escape",
         u"a\nb\tc\x1B"
         u"d",
         u"a?b?c?d"},
        {"a control before the padding stays", u"张三\r\n", u"张三??"},
        {"only a control", u"\t", u"?"},
        {"control then NUL inside", std::u16string(u"\x1B\0x", 3),
         u"?\xFFFD"
         u"x"},
        {"right-to-left override",
         u"a\x202E"
         u"gpj.exe",
         u"a?gpj.exe"},
        {"neighbours are kept", u" ~\xA0\x2027\x202F\x2065\x206A",
         u" ~\xA0\x2027\x202F\x2065\x206A"},
    };
    // Every character of the ranges, one per case, between two letters.
    for (char32_t u = 1; u <= 0x206A; ++u) {
        if (u == 0x0100)
            u = 0x2027;
        const auto unit = static_cast<char16_t>(u);
        cases.push_back({"one character", std::u16string{u'A', unit, u'B'},
                         std::u16string{u'A', actsOnDisplay(unit) ? u'?' : unit, u'B'}});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.what << ", second unit U+" << std::hex
                                          << unsigned{c.units.size() > 1 ? c.units[1] : u'\0'});
        std::vector<std::uint8_t> block = blockOf({});
        put(block, 0, c.units);
        // Compared as UTF-16, where a control shows as itself.
        EXPECT_EQ(decodeTextBlock(block).name, c.expected);
    }
}

TEST(TextBlock, ShortBlockYieldsWhatItHolds) {
    const CardText card = sampleCard();
    const std::vector<std::uint8_t> full = blockOf(card);
    for (std::size_t size = 0; size <= full.size(); ++size) {
        SCOPED_TRACE("block of " + std::to_string(size) + " bytes");
        // A copy of exactly size bytes, so a read past the end is a read
        // past the allocation.
        const std::vector<std::uint8_t> cut(full.begin(), full.begin() + size);
        const CardText decoded = decodeTextBlock(cut);
        for (const Slot &slot : kSlots) {
            const std::u16string &value = decoded[slot.field];
            if (size >= slot.offset + slot.bytes) {
                EXPECT_EQ(value, card[slot.field]);
            } else if (size <= slot.offset) {
                EXPECT_TRUE(value.empty());
            } else {
                // A cut field keeps its whole characters; half a character
                // shows as U+FFFD (no character of this card has a low
                // byte that reads as padding).
                const std::size_t held = size - slot.offset;
                const std::u16string &text = card[slot.field];
                std::u16string expected = text.substr(0, std::min(held / 2, text.size()));
                if (held % 2 != 0 && held / 2 < text.size())
                    expected += u'\xFFFD';
                EXPECT_EQ(toUtf8(value), toUtf8(expected));
            }
        }
    }
}

// Whatever the bytes, every field comes out as well-formed UTF-16 no longer
// than its span, without padding at its end or control characters.
TEST(TextBlock, AnyBytesDecodeToWellFormedFields) {
    std::uint32_t state = 12345;
    const auto next = [&state] { return state = state * 1103515245 + 12345, state >> 16; };
    // Bytes that matter to the decoder, so the cases hit its branches often.
    constexpr std::uint8_t kInteresting[] = {0x00, 0x20, 0xD8, 0xDB, 0xDC, 0xDF, 0xFE,
                                             0xFF, 0x4E, 0x0A, 0x1B, 0x85, 0x2E, 0x66};
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> block(next() % 300);
        for (auto &b : block)
            b = next() % 3 == 0 ? static_cast<std::uint8_t>(next())
                                : kInteresting[next() % std::size(kInteresting)];
        const CardText decoded = decodeTextBlock(block);
        for (const Slot &slot : kSlots) {
            const std::u16string &value = decoded[slot.field];
            ASSERT_LE(value.size(), slot.bytes / 2) << "round " << round;
            if (!value.empty()) {
                ASSERT_NE(value.back(), u' ') << "round " << round;
            }
            for (std::size_t i = 0; i < value.size(); ++i) {
                const char16_t u = value[i];
                ASSERT_NE(u, 0) << "round " << round;
                ASSERT_FALSE(actsOnDisplay(u)) << "round " << round << ", U+" << unsigned{u};
                if (u >= 0xD800 && u <= 0xDBFF) {
                    ASSERT_LT(i + 1, value.size()) << "round " << round;
                    ASSERT_TRUE(value[i + 1] >= 0xDC00 && value[i + 1] <= 0xDFFF);
                    ++i;
                } else {
                    ASSERT_FALSE(u >= 0xDC00 && u <= 0xDFFF) << "round " << round;
                }
            }
        }
    }
}

TEST(TextBlock, BytesPastTheBlockAreIgnored) {
    std::vector<std::uint8_t> block = blockOf(sampleCard());
    block.resize(400, 0x41);
    EXPECT_EQ(decodeTextBlock(block), sampleCard());
}

} // namespace
} // namespace kav::card
