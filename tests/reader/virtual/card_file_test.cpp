#include "test_bytes.h"
#include "virtual/card_file.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>

namespace kav::virt {
namespace {

// The card's layout, written out again here from the protocol notes so a
// slip in the loader's table shows.
struct Layout {
    const char *key;
    std::size_t offset, bytes;
};
constexpr Layout kLayout[] = {
    {"name", 0, 30},       {"sex", 30, 2},         {"nation", 32, 4},
    {"birthDate", 36, 16}, {"address", 52, 70},    {"idNumber", 122, 36},
    {"issuer", 158, 30},   {"validFrom", 188, 16}, {"validUntil", 204, 16},
};
constexpr Layout kForeignLayout[] = {
    {"englishName", 0, 120}, {"sex", 120, 2},          {"cardNumber", 122, 30},
    {"nationality", 152, 6}, {"chineseName", 158, 30}, {"validFrom", 188, 16},
    {"validUntil", 204, 16}, {"birthDate", 220, 16},   {"cardVersion", 236, 4},
    {"issuerCode", 240, 8},
};
constexpr Layout kPermitLayout[] = {
    {"name", 0, 30},           {"sex", 30, 2},          {"birthDate", 36, 16},
    {"address", 52, 70},       {"idNumber", 122, 36},   {"issuer", 158, 30},
    {"validFrom", 188, 16},    {"validUntil", 204, 16}, {"passNumber", 220, 18},
    {"issuanceCount", 238, 4},
};
// The spaces between and after each type's fields, the letter at 248 apart.
constexpr Layout kResidentGaps[] = {{"reserved", 220, 28}, {"after the letter", 250, 6}};
constexpr Layout kForeignGaps[] = {{"after the letter", 250, 6}};
constexpr Layout kPermitGaps[] = {
    {"reserved", 32, 4}, {"reserved", 242, 6}, {"after the letter", 250, 6}};

std::u16string fieldAt(const Card &card, const Layout &f) {
    std::u16string s;
    for (std::size_t i = 0; i < f.bytes; i += 2)
        s += static_cast<char16_t>(card.text[f.offset + i] | card.text[f.offset + i + 1] << 8);
    return s;
}

QJsonObject readJson(const QString &path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QJsonDocument::fromJson(file.readAll()).object();
}

TEST(CardFiles, EveryShippedCardLoadsExactlyAsTheCardCarriesIt) {
    const QDir dir(QStringLiteral(KAV_CARDS_DIR));
    const QStringList files = dir.entryList({QStringLiteral("*.json")}, QDir::Files);
    ASSERT_GE(files.size(), 5);
    int photosThatDecode = 0;
    for (const QString &name : files) {
        SCOPED_TRACE(name.toStdString());
        const CardResult loaded = loadCardFile(dir.filePath(name).toStdString());
        ASSERT_TRUE(loaded.card) << loaded.error;
        const Card &card = *loaded.card;
        const QJsonObject json = readJson(dir.filePath(name));

        if (json.contains(u"textBlock")) {
            EXPECT_EQ(card.text, ([&] {
                          std::array<std::uint8_t, 256> raw{};
                          const test::Bytes b =
                              test::hex(json[u"textBlock"].toString().toStdString());
                          std::copy(b.begin(), b.end(), raw.begin());
                          return raw;
                      }()));
            continue;
        }
        const QString type = json[u"cardType"].toString(QStringLiteral(" "));
        std::span<const Layout> layout = kLayout, gaps = kResidentGaps;
        if (type == u"I")
            layout = kForeignLayout, gaps = kForeignGaps;
        else if (type == u"J")
            layout = kPermitLayout, gaps = kPermitGaps;
        for (const Layout &f : layout) {
            SCOPED_TRACE(f.key);
            const std::u16string value = json[QLatin1String(f.key)].toString().toStdU16String();
            const std::u16string padded = value + std::u16string(f.bytes / 2 - value.size(), u' ');
            EXPECT_EQ(fieldAt(card, f), padded);
        }
        for (const Layout &gap : gaps)
            EXPECT_EQ(fieldAt(card, gap), std::u16string(gap.bytes / 2, u' ')) << gap.offset;
        EXPECT_EQ(fieldAt(card, {"type", 248, 2}), type.toStdU16String());

        const QByteArray photo = QByteArray::fromBase64(json[u"photo"].toString().toLatin1());
        ASSERT_LE(photo.size(), 1024);
        EXPECT_TRUE(
            std::equal(photo.begin(), photo.end(), card.photo.begin(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
        EXPECT_TRUE(std::all_of(card.photo.begin() + photo.size(), card.photo.end(),
                                [](std::uint8_t b) { return b == 0; }));
        const QImage image =
            QImage::fromData(QByteArray(reinterpret_cast<const char *>(card.photo.data()), 1024));
        if (!image.isNull()) {
            ++photosThatDecode;
            EXPECT_EQ(image.size(), QSize(102, 126));
        } else {
            EXPECT_EQ(name, QStringLiteral("undecodable-photo.json"));
        }
    }
    EXPECT_GE(photosThatDecode, 3);
}

TEST(CardFiles, TheBuiltInCardIsTheOrdinaryCard) {
    const CardResult ordinary = loadCardFile(KAV_CARDS_DIR "/ordinary.json");
    ASSERT_TRUE(ordinary.card) << ordinary.error;
    EXPECT_EQ(defaultCard(), *ordinary.card);
}

TEST(CardFiles, MalformedFilesAreRefusedWithAReason) {
    auto fieldsNamed = [](const std::string &name) {
        return R"("name":")" + name +
               R"(","sex":"1","nation":"01","birthDate":"1","address":"a","idNumber":"1",)"
               R"("issuer":"a","validFrom":"1","validUntil":"1")";
    };
    const std::string fields = fieldsNamed("a");
    const std::string block(512, 'A');
    struct Case {
        std::string json;
        const char *reason;
    };
    const Case cases[] = {
        {"{" + fields + R"(,"adress":"x"})", "unknown key"},
        {R"({"name":"a"})", "missing"},
        {"{" + fieldsNamed("😀") + "}", "\"name\" has a character outside the basic plane"},
        {"{" + fieldsNamed("一二三四五六七八九十一二三四五六") + "}", "\"name\" has 16 characters"},
        {"{" + fields + R"(,"textBlock":")" + block + "\"}", "not both"},
        {R"({"textBlock":")" + block.substr(2) + "\"}", "hex digits"},
        {R"({"textBlock":")" + block.substr(2) + "xx\"}", "hex digits"},
        {"{" + fields + R"(,"photo":"not base64!"})", "base64"},
        {"{" + fields + R"(,"photo":")" + QByteArray(1025, 'x').toBase64().toStdString() + "\"}",
         "1025 bytes"},
        {R"({"textBlock":")" + block.substr(2) + "0g\"}", "hex digits"},
        {R"({"textBlock":")" + block.substr(2) + " 0\"}", "hex digits"},
        {R"({"textBlock":12})", "hex digits"},
        {"{" + fields + R"(,"photo":"QUJD RA=="})", "base64"},
        {"{" + fields + R"(,"photo":"QUJDRA="})", "base64"},
        {"{" + fields + R"(,"photo":"QU=JDRA=="})", "base64"},
        {"{" + fields + R"(,"photo":"QUJDR"})", "base64"},
        {"{" + fields + R"(,"photo":"QUJDRB=="})", "base64"},
        {"{" + fields + R"(,"photo":"QUJD-_=="})", "base64"},
        {"{" + fields + R"(,"photo":12})", "base64"},
        {"{" + fieldsNamed("\xff") + "}", "\"name\" is not valid UTF-8"},
        {"{" +
             fieldsNamed("a\xc0\xaf"
                         "b") +
             "}",
         "\"name\" is not valid UTF-8"},
        {"{" + fieldsNamed("\xed\xa0\x80") + "}", "\"name\" is not valid UTF-8"},
        {"{" + fieldsNamed("\xe4\xb8") + "}", "\"name\" is not valid UTF-8"},
        {"{\"name\":\"a\",\"sex\":\"\xf0\x9f\x98\"}", "\"sex\" is not valid UTF-8"},
        {"{" + fieldsNamed("\\ud83d\\ude00") + "}",
         "\"name\" has a character outside the basic plane"},
        {"{" + fieldsNamed("\\ud83d") + "}", "not valid JSON"},
        {"{\"\xff\":1}", "not valid JSON"},
        {"[1, 2]", "one JSON object"},
        {"{", "not valid JSON"},
        {"{" + fields + R"(,"cardType":"Y"})", "\"cardType\" must be"},
        {"{" + fields + R"(,"cardType":"IJ"})", "\"cardType\" must be"},
        {"{" + fields + R"(,"cardType":"I"})", "is not on a card of type \"I\""},
        {"{" + fields + R"(,"passNumber":"1"})", "\"passNumber\" is not on a card"},
        {R"({"textBlock":")" + block + R"(","cardType":"I"})", "type letter in the block"},
        {R"({"textBlock":")" + block + R"(","passNumber":"1"})", "not both"},
        {"{" + fields + R"(,"fingerprint":"real!"})", "not valid base64"},
        {"{" + fields + R"(,"fingerprint":")" + QByteArray(100, 'x').toBase64().toStdString() +
             "\"}",
         "100 bytes; a card holds 512 or 1024"},
        {"{" + fields + R"(,"fingerprint":""})", "0 bytes"},
        {"{" + fields + R"(,"appendedAddresses":"a"})", "a list of at most 4"},
        {"{" + fields + R"(,"appendedAddresses":["a","b","c","d","e"]})", "a list of at most 4"},
        {"{" + fields + R"(,"appendedAddresses":[1]})", "list of strings"},
        {"{" + fields + R"(,"appendedAddresses":[")" + std::string(36, 'a') + "\"]}",
         "has 36 characters; the card holds 35"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json.substr(0, 60));
        const CardResult r = parseCard(c.json);
        EXPECT_FALSE(r.card);
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
    }
    const CardResult missing = loadCardFile("/nonexistent/card.json");
    EXPECT_FALSE(missing.card);
    EXPECT_NE(missing.error.find("/nonexistent/card.json"), std::string::npos);
}

// Numbers no double holds are refused like any other malformed file, never
// thrown past the loader, wherever in the file they stand.
TEST(CardFiles, NumbersPastADoublesRangeAreRefused) {
    const std::string fields =
        R"("name":"a","sex":"1","nation":"01","birthDate":"1","address":"a","idNumber":"1",)"
        R"("issuer":"a","validFrom":"1","validUntil":"1")";
    const std::string digits(5000, '9');
    const struct Case {
        const char *what;
        std::string json;
    } cases[] = {
        {"1e400 as a comment", "{" + fields + R"(,"comment":1e400})"},
        {"-1e400 as a comment", "{" + fields + R"(,"comment":-1e400})"},
        {"a 5,000-digit integer", "{" + fields + R"(,"comment":)" + digits + "}"},
        {"a 5,000-digit negative integer", "{" + fields + R"(,"comment":-)" + digits + "}"},
        {"a 5,000-digit fraction's exponent", "{" + fields + R"(,"comment":1.5e)" + digits + "}"},
        {"deep in an array", "{" + fields + R"(,"comment":[[1, [2, 1e999]]]})"},
        {"as a field's value", R"({"name":1e400})"},
        {"as the whole file", "1e400"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CardResult r;
        EXPECT_NO_THROW(r = parseCard(c.json));
        EXPECT_FALSE(r.card);
        EXPECT_FALSE(r.error.empty());
    }
    // A number a double holds is still fine where numbers may stand.
    EXPECT_TRUE(parseCard("{" + fields + R"(,"comment":1e300})").card);
}

std::string cardWith(const std::string &name, const std::string &photo) {
    return R"({"name":")" + name +
           R"(","sex":"1","nation":"01","birthDate":"1","address":"a","idNumber":"1",)"
           R"("issuer":"a","validFrom":"1","validUntil":"1","photo":")" +
           photo + "\"}";
}

TEST(CardFiles, NamesInEveryUtf8LengthBecomeTheirUcs2Units) {
    struct Case {
        std::string utf8;
        std::u16string ucs2;
    };
    const Case cases[] = {
        {"", u""},
        {"A~", u"A~"},
        {"\xc3\xa9", u"\u00e9"},     // two bytes
        {"\xe0\xa0\x80", u"\u0800"}, // the shortest three-byte form
        {"\xe4\xb8\x80\xe9\xbe\xa5", u"\u4e00\u9fa5"},
        {"\xef\xbf\xbf", u"\uffff"},      // the top of the basic plane
        {R"(\u00e9\"\\)", u"\u00e9\"\\"}, // JSON escapes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        const CardResult r = parseCard(cardWith(c.utf8, ""));
        ASSERT_TRUE(r.card) << r.error;
        const std::u16string padded = c.ucs2 + std::u16string(15 - c.ucs2.size(), u' ');
        EXPECT_EQ(fieldAt(*r.card, kLayout[0]), padded);
    }
}

TEST(CardFiles, PhotosDecodeFromStrictBase64WithOrWithoutPadding) {
    struct Case {
        const char *base64;
        test::Bytes bytes;
    };
    const Case cases[] = {
        {"", {}},
        {"QQ==", {'A'}},
        {"QQ", {'A'}},
        {"QUI=", {'A', 'B'}},
        {"QUI", {'A', 'B'}},
        {"QUJD", {'A', 'B', 'C'}},
        {"/+8A", {0xFF, 0xEF, 0x00}},
        {"AAECAwQFBgc=", {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.base64);
        const CardResult r = parseCard(cardWith("a", c.base64));
        ASSERT_TRUE(r.card) << r.error;
        const auto &photo = r.card->photo;
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), photo.begin()));
        EXPECT_TRUE(std::all_of(photo.begin() + static_cast<std::ptrdiff_t>(c.bytes.size()),
                                photo.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct TempDir {
    std::string path = testing::TempDir() + "kav_cards_" + std::to_string(::getpid());
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string &name, const std::string &content) const {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
};

TEST(CardFiles, OnlyARegularFileOfAtMost64KiBIsRead) {
    const TempDir dir;
    const std::string ordinary = readText(KAV_CARDS_DIR "/ordinary.json");
    ASSERT_FALSE(ordinary.empty());
    // Padded with whitespace, which JSON allows, to just under and over.
    const std::size_t limit = 64 * 1024;
    const std::string atLimit =
        dir.write("at-limit.json", ordinary + std::string(limit - ordinary.size(), ' '));
    const std::string overLimit =
        dir.write("over-limit.json", ordinary + std::string(limit + 1 - ordinary.size(), ' '));
    const std::string huge = dir.write("huge.json", std::string(4 * limit, ' '));
    const std::string fifo = dir.path + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char *error; // nullptr: loads
    };
    const Case cases[] = {
        {atLimit, nullptr},
        {overLimit, "too large"},
        {huge, "too large"},
        {fifo, "not a regular file"},        // would block a plain open or read
        {"/dev/zero", "not a regular file"}, // would read forever
        {"/dev/null", "not a regular file"},
        {dir.path, "not a regular file"},
        {dir.path + "/missing.json", "No such file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const auto start = std::chrono::steady_clock::now();
        const CardResult r = loadCardFile(c.path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds{1});
        if (c.error == nullptr) {
            ASSERT_TRUE(r.card) << r.error;
            EXPECT_EQ(*r.card, defaultCard());
            continue;
        }
        EXPECT_FALSE(r.card);
        EXPECT_EQ(r.error.rfind(c.path + ": ", 0), 0u) << r.error;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    }
}

// Fingerprint data and appended addresses: the synthetic pattern byte for
// byte, base64 of either template count, addresses in their order.
TEST(CardFiles, FingerprintAndAppendedAddressesLoadAsWritten) {
    const std::string fields =
        R"("name":"a","sex":"1","nation":"01","birthDate":"1","address":"a","idNumber":"1",)"
        R"("issuer":"a","validFrom":"1","validUntil":"1")";
    const CardResult synthetic = parseCard("{" + fields + R"(,"fingerprint":"synthetic"})");
    ASSERT_TRUE(synthetic.card) << synthetic.error;
    ASSERT_EQ(synthetic.card->fingerprint.size(), 1024u);
    for (std::size_t i : {0u, 1u, 7u, 511u, 1023u})
        EXPECT_EQ(synthetic.card->fingerprint[i], (i * 37 + 11) % 256) << i;
    EXPECT_TRUE(synthetic.card->addresses.empty());

    const QByteArray half(512, '\x5A');
    const CardResult given =
        parseCard("{" + fields + R"(,"fingerprint":")" + half.toBase64().toStdString() +
                  R"(","appendedAddresses":["甲路1号","乙街"]})");
    ASSERT_TRUE(given.card) << given.error;
    EXPECT_EQ(given.card->fingerprint, std::vector<std::uint8_t>(512, 0x5A));
    ASSERT_EQ(given.card->addresses.size(), 2u);
    const auto addressText = [](const Address &a) {
        std::u16string s;
        for (std::size_t i = 0; i < a.size(); i += 2)
            s += static_cast<char16_t>(a[i] | a[i + 1] << 8);
        return s;
    };
    EXPECT_EQ(addressText(given.card->addresses[0]), u"甲路1号" + std::u16string(31, u' '));
    EXPECT_EQ(addressText(given.card->addresses[1]), u"乙街" + std::u16string(33, u' '));
}

TEST(CardFiles, WhatIsNoCardFileSaysWhy) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kav-card-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "a-folder");
    const auto write = [&](const char *name, std::size_t size) {
        std::ofstream(dir / name, std::ios::binary) << std::string(size, ' ');
        return (dir / name).string();
    };
    struct Case {
        std::string path;
        const char *says; // nullptr: read, and refused only as JSON
    };
    const Case cases[] = {
        {write("largest.json", 64 * 1024), nullptr},
        {write("one-too-many.json", 64 * 1024 + 1), "too large for a card file (more than 64 KiB)"},
        {(dir / "a-folder").string(), "not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const CardResult r = loadCardFile(c.path);
        ASSERT_FALSE(r.card);
        EXPECT_EQ(r.error.rfind(c.path + ": ", 0), 0u) << r.error;
        if (c.says != nullptr)
            EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
        else
            EXPECT_EQ(r.error.find("too large"), std::string::npos) << r.error;
    }
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace kav::virt
