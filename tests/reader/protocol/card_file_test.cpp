#include "test_bytes.h"
#include "virtual/card_file.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

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
        for (const Layout &f : kLayout) {
            SCOPED_TRACE(f.key);
            const std::u16string value = json[QLatin1String(f.key)].toString().toStdU16String();
            const std::u16string padded = value + std::u16string(f.bytes / 2 - value.size(), u' ');
            EXPECT_EQ(fieldAt(card, f), padded);
        }
        EXPECT_EQ(fieldAt(card, {"reserved", 220, 36}), std::u16string(18, u' '));

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
        {"{" + fieldsNamed("😀") + "}", "basic plane"},
        {"{" + fieldsNamed("一二三四五六七八九十一二三四五六") + "}", "\"name\" has 16 characters"},
        {"{" + fields + R"(,"textBlock":")" + block + "\"}", "not both"},
        {R"({"textBlock":")" + block.substr(2) + "\"}", "hex digits"},
        {R"({"textBlock":")" + block.substr(2) + "xx\"}", "hex digits"},
        {"{" + fields + R"(,"photo":"not base64!"})", "base64"},
        {"{" + fields + R"(,"photo":")" + QByteArray(1025, 'x').toBase64().toStdString() + "\"}",
         "1025 bytes"},
        {"[1, 2]", "one JSON object"},
        {"{", "not valid JSON"},
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

} // namespace
} // namespace kav::virt
