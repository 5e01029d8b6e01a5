// Every card type the reader reads: each layout decoded field by field, the
// record each maps into, an unknown letter refused, the extended read, the
// fingerprint kept out of the trace, and the appended address.
#include "KavIDCardAPI.h"
#include "card/cardtext.h"
#include "codepage936.h"
#include "protocol/trace.h"
#include "testing.h"
#include "virtual/card_file.h"
#include "virtual/virtual_reader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using kav::card::CardType;
using kav::card::Field;

const std::string kCards = KAV_CARDS_DIR;

// A field as a hand-made block holds it: written at offsets typed in here,
// from the protocol notes, not taken from the library's tables.
struct Put {
    Field field;
    std::size_t offset, bytes;
    std::u16string value;
};

struct TypeCase {
    const char *what;
    CardType type;
    char16_t letter;
    std::vector<Put> fields;
    std::string json; // the same card as a card file, for the virtual reader's encoder
};

const std::vector<TypeCase> &typeCases() {
    static const std::vector<TypeCase> cases{
        {"resident",
         CardType::Resident,
         u' ',
         {{Field::Name, 0, 30, u"林晓航"},
          {Field::Sex, 30, 2, u"1"},
          {Field::Nation, 32, 4, u"01"},
          {Field::Born, 36, 16, u"19880512"},
          {Field::Address, 52, 70, u"云岭省青石市清河区杏林路18号"},
          {Field::IdNumber, 122, 36, u"990102198805120135"},
          {Field::Issuer, 158, 30, u"青石市公安局"},
          {Field::ValidFrom, 188, 16, u"20150610"},
          {Field::ValidUntil, 204, 16, u"20350610"}},
         R"({"name":"林晓航","sex":"1","nation":"01","birthDate":"19880512",)"
         R"("address":"云岭省青石市清河区杏林路18号","idNumber":"990102198805120135",)"
         R"("issuer":"青石市公安局","validFrom":"20150610","validUntil":"20350610"})"},
        {"foreigner's permanent residence card",
         CardType::ForeignPermanent,
         u'I',
         {{Field::EnglishName, 0, 120, u"MARTIN, ELEANOR"},
          {Field::Sex, 120, 2, u"2"},
          {Field::CardNumber, 122, 30, u"CAN990088050125"},
          {Field::Nationality, 152, 6, u"CAN"},
          {Field::ChineseName, 158, 30, u"马爱琳"},
          {Field::ValidFrom, 188, 16, u"20190301"},
          {Field::ValidUntil, 204, 16, u"20290301"},
          {Field::Born, 220, 16, u"19880501"},
          {Field::CardVersion, 236, 4, u"01"},
          {Field::IssuerCode, 240, 8, u"9900"}},
         R"({"cardType":"I","englishName":"MARTIN, ELEANOR","sex":"2",)"
         R"("cardNumber":"CAN990088050125","nationality":"CAN","chineseName":"马爱琳",)"
         R"("validFrom":"20190301","validUntil":"20290301","birthDate":"19880501",)"
         R"("cardVersion":"01","issuerCode":"9900"})"},
        {"Hong Kong, Macao and Taiwan residence permit",
         CardType::HmtResidence,
         u'J',
         {{Field::Name, 0, 30, u"陈家乐"},
          {Field::Sex, 30, 2, u"1"},
          {Field::Born, 36, 16, u"19920718"},
          {Field::Address, 52, 70, u"云岭省青石市清河区杏林路20号"},
          {Field::IdNumber, 122, 36, u"990000199207180017"},
          {Field::Issuer, 158, 30, u"青石市公安局"},
          {Field::ValidFrom, 188, 16, u"20200115"},
          {Field::ValidUntil, 204, 16, u"20250115"},
          {Field::PassNumber, 220, 18, u"H99012345"},
          {Field::IssuanceCount, 238, 4, u"02"}},
         R"({"cardType":"J","name":"陈家乐","sex":"1","birthDate":"19920718",)"
         R"("address":"云岭省青石市清河区杏林路20号","idNumber":"990000199207180017",)"
         R"("issuer":"青石市公安局","validFrom":"20200115","validUntil":"20250115",)"
         R"("passNumber":"H99012345","issuanceCount":"02"})"},
    };
    return cases;
}

// Every field of a decoded card that is not listed must be empty.
void expectFields(const kav::card::CardText &card, const TypeCase &c) {
    EXPECT_EQ(card.type, c.type);
    EXPECT_EQ(card.letter, c.letter);
    for (std::size_t i = 0; i < kav::proto::kTextFieldCount; ++i) {
        const auto field = static_cast<Field>(i);
        const auto put = std::find_if(c.fields.begin(), c.fields.end(),
                                      [&](const Put &p) { return p.field == field; });
        SCOPED_TRACE(i);
        EXPECT_EQ(card[field], put != c.fields.end() ? put->value : std::u16string());
    }
}

std::vector<std::uint8_t> handMadeBlock(const TypeCase &c) {
    std::vector<std::uint8_t> block(256);
    for (std::size_t i = 0; i < block.size(); i += 2)
        block[i] = 0x20;
    for (const Put &p : c.fields) {
        EXPECT_LE(p.value.size() * 2, p.bytes);
        for (std::size_t i = 0; i < p.value.size(); ++i) {
            block[p.offset + 2 * i] = static_cast<std::uint8_t>(p.value[i] & 0xFF);
            block[p.offset + 2 * i + 1] = static_cast<std::uint8_t>(p.value[i] >> 8);
        }
    }
    block[248] = static_cast<std::uint8_t>(c.letter & 0xFF);
    block[249] = static_cast<std::uint8_t>(c.letter >> 8);
    return block;
}

TEST(CardTypes, EachLayoutDecodesFieldByFieldFromHandMadeBytes) {
    for (const TypeCase &c : typeCases()) {
        SCOPED_TRACE(c.what);
        expectFields(kav::card::decodeTextBlock(handMadeBlock(c)), c);
    }
}

TEST(CardTypes, EachLayoutDecodesFieldByFieldFromTheVirtualReadersEncoder) {
    for (const TypeCase &c : typeCases()) {
        SCOPED_TRACE(c.what);
        const kav::virt::CardResult built = kav::virt::parseCard(c.json);
        ASSERT_TRUE(built.card) << built.error;
        expectFields(kav::card::decodeTextBlock(built.card->text), c);
    }
}

TEST(CardTypes, AnyOtherLetterDecodesNoField) {
    for (const char16_t letter : {u'Y', u'i', u'\0', u'\xFFFF', u'中'}) {
        SCOPED_TRACE(static_cast<int>(letter));
        TypeCase c = typeCases()[1];
        c.letter = letter;
        const kav::card::CardText card = kav::card::decodeTextBlock(handMadeBlock(c));
        EXPECT_EQ(card.type, CardType::Unknown);
        EXPECT_EQ(card.letter, letter);
        for (std::size_t i = 0; i < kav::proto::kTextFieldCount; ++i)
            EXPECT_TRUE(card[static_cast<Field>(i)].empty()) << i;
    }
}

// Reads through the exported functions on in-process virtual readers.
class CardReadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string devices = "defaults=off,1=virtual,2=virtual:" + kCards +
                                    "/foreigner-permanent.json,3=virtual:" + kCards +
                                    "/residence-permit.json,4=virtual:" + kCards +
                                    "/unknown-type-y.json";
        setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
        kav::testing::resetLibrary();
        ASSERT_TRUE(folder.isValid());
        const auto gbk = kav::cp936::fromUtf8(folder.path().toStdString());
        ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, gbk->c_str()), KAV_OK);
        ASSERT_EQ(Kav_SetPhotoName(KAV_PHOTO_NAME_BOTH), KAV_OK);
        ASSERT_EQ(Kav_SetPhotoType(KAV_PHOTO_JPEG), KAV_OK);
        for (int port : {1, 2, 3, 4})
            ASSERT_EQ(Kav_OpenPort(port), KAV_OK);
    }
    void TearDown() override {
        for (int port : {1, 2, 3, 4})
            Kav_ClosePort(port);
    }

    static void findAndSelect(int port) {
        ASSERT_EQ(Kav_StartFindIDCard(port, nullptr, 0), KAV_OK);
        ASSERT_EQ(Kav_SelectIDCard(port, nullptr, 0), KAV_OK);
    }
    static int readMsg(int port, IDCardRecord &record) {
        findAndSelect(port);
        return Kav_ReadMsg(port, 0, &record);
    }
    static int readCard(int port, int flags, KavCardData &data) {
        findAndSelect(port);
        data.size = sizeof data;
        return Kav_ReadCard(port, flags, &data);
    }
    static kav::virt::Card cardFile(const std::string &name) {
        const kav::virt::CardResult r = kav::virt::loadCardFile(kCards + "/" + name);
        EXPECT_TRUE(r.card) << r.error;
        return r.card.value_or(kav::virt::Card{});
    }

    QStringList files() const { return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir folder;
};

std::string field(const char *span, std::size_t size) {
    return kav::cp936::toUtf8(kav::cp936::fieldText(span, size));
}
#define FIELD(record, member) field((record).member, sizeof((record).member))

TEST_F(CardReadTest, ReadMsgMapsEachTypeIntoTheRecord) {
    // A foreigner's card whose Chinese name is blank: the English name,
    // cut on a character boundary to the record's 31 bytes.
    kav::virt::Card blankChinese = cardFile("foreigner-permanent.json");
    for (std::size_t i = 158; i < 188; i += 2)
        blankChinese.text[i] = 0x20, blankChinese.text[i + 1] = 0;
    kav::testing::virtualReader(1)->insertCard(blankChinese);

    struct Case {
        const char *what;
        int port;
        std::vector<std::string> record; // name .. validUntil, in the card's own codes
        std::string photo;
    };
    const Case cases[] = {
        {"I: Chinese name, nationality, card number, authority code, no address",
         2,
         {"马爱琳", "2", "CAN", "19880501", "", "CAN990088050125", "9900", "20190301", "20290301"},
         "马爱琳_CAN990088050125.jpg"},
        {"I with the Chinese name blank: the English name, cut",
         1,
         {"MARTIN, ELEANOR JOSEPHINE ALEXA", "2", "CAN", "19880501", "", "CAN990088050125", "9900",
          "20190301", "20290301"},
         "MARTIN, ELEANOR JOSEPHINE ALEXA_CAN990088050125.jpg"},
        {"J: as the resident card, nation empty",
         3,
         {"陈家乐", "1", "", "19920718", "云岭省青石市清河区杏林路20号", "990000199207180017",
          "青石市公安局", "20200115", "20250115"},
         "陈家乐_990000199207180017.jpg"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        IDCardRecord record;
        std::memset(&record, 0xAA, sizeof record);
        ASSERT_EQ(readMsg(c.port, record), KAV_OK);
        const std::vector<std::string> got{
            FIELD(record, name),   FIELD(record, sex),       FIELD(record, nation),
            FIELD(record, born),   FIELD(record, address),   FIELD(record, idNumber),
            FIELD(record, issuer), FIELD(record, validFrom), FIELD(record, validUntil)};
        EXPECT_EQ(got, c.record);
        EXPECT_EQ(FIELD(record, photoFile),
                  QDir(folder.path()).filePath(QString::fromStdString(c.photo)).toStdString());
        EXPECT_TRUE(files().contains(QString::fromStdString(c.photo)))
            << files().join(", ").toStdString();
    }
}

TEST_F(CardReadTest, UnknownLetterIsRefusedWithTheRecordEmptyAndNoPhoto) {
    const kav::virt::Card y = cardFile("unknown-type-y.json");
    IDCardRecord record;
    std::memset(&record, 0xAA, sizeof record);
    EXPECT_EQ(readMsg(4, record), KAV_E_UNKNOWN_LAYOUT);
    EXPECT_TRUE(std::all_of(reinterpret_cast<const unsigned char *>(&record),
                            reinterpret_cast<const unsigned char *>(&record + 1),
                            [](unsigned char b) { return b == 0; }));
    EXPECT_TRUE(files().isEmpty()) << files().join(", ").toStdString();
    EXPECT_STREQ(Kav_ResultText(KAV_E_UNKNOWN_LAYOUT), "card layout not known to this library");

    // What the read took stays reachable, without sending anything more.
    const unsigned readsBefore = kav::testing::virtualReader(4)->received(0x30);
    KavCardData last{};
    last.size = sizeof last;
    ASSERT_EQ(Kav_GetLastCard(4, &last), KAV_OK);
    EXPECT_EQ(kav::testing::virtualReader(4)->received(0x30), readsBefore);
    EXPECT_EQ(last.type, KAV_CARD_UNKNOWN_LAYOUT);
    EXPECT_STREQ(last.typeLetter, "Y");
    EXPECT_EQ(last.typeCode, unsigned{'Y'});
    EXPECT_TRUE(std::equal(y.text.begin(), y.text.end(), last.textBlock));
    EXPECT_STREQ(last.name, "");
    EXPECT_STREQ(last.englishName, "");
    EXPECT_STREQ(last.photoFile, "");

    KavCardData data;
    std::memset(&data, 0xAA, sizeof data);
    EXPECT_EQ(readCard(4, 0, data), KAV_E_UNKNOWN_LAYOUT);
    EXPECT_EQ(data.type, KAV_CARD_UNKNOWN_LAYOUT);
    EXPECT_TRUE(std::equal(y.text.begin(), y.text.end(), data.textBlock));
    EXPECT_TRUE(std::equal(y.photo.begin(), y.photo.end(), data.photo));
    EXPECT_STREQ(data.cardNumber, "");
    EXPECT_TRUE(files().isEmpty());

    // Closing the port forgets the card.
    Kav_ClosePort(4);
    ASSERT_EQ(Kav_GetLastCard(4, &last), KAV_OK);
    EXPECT_EQ(last.type, KAV_CARD_NONE);
}

TEST_F(CardReadTest, TheExtendedReadHandsOverEveryFieldOfTheLayout) {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetBornType(KAV_DATE_DASHES);
    const kav::virt::Card j = cardFile("residence-permit.json");
    KavCardData data;
    std::memset(&data, 0xAA, sizeof data);
    ASSERT_EQ(readCard(3, 0, data), KAV_OK);
    EXPECT_EQ(data.size, sizeof data);
    EXPECT_EQ(data.type, KAV_CARD_HMT_RESIDENCE);
    EXPECT_STREQ(data.typeLetter, "J");
    EXPECT_STREQ(data.name, "陈家乐");
    EXPECT_STREQ(data.sex, "男");
    EXPECT_STREQ(data.born, "1992-07-18");
    EXPECT_STREQ(data.address, "云岭省青石市清河区杏林路20号");
    EXPECT_STREQ(data.idNumber, "990000199207180017");
    EXPECT_STREQ(data.passNumber, "H99012345");
    EXPECT_STREQ(data.issuanceCount, "02");
    EXPECT_STREQ(data.nation, "");
    EXPECT_STREQ(data.englishName, "");
    EXPECT_EQ(data.fingerprintRead, 0);
    EXPECT_EQ(data.fingerprintSize, 0);
    EXPECT_TRUE(std::equal(j.text.begin(), j.text.end(), data.textBlock));
    EXPECT_TRUE(std::equal(j.photo.begin(), j.photo.end(), data.photo));
    EXPECT_EQ(std::string(data.photoFile),
              QDir(folder.path()).filePath("陈家乐_990000199207180017.jpg").toStdString());

    // An I card's own fields, uncut: the whole English name.
    ASSERT_EQ(readCard(2, 0, data), KAV_OK);
    EXPECT_EQ(data.type, KAV_CARD_FOREIGN_PERMANENT);
    EXPECT_STREQ(data.englishName, "MARTIN, ELEANOR JOSEPHINE ALEXANDRA");
    EXPECT_STREQ(data.chineseName, "马爱琳");
    EXPECT_STREQ(data.nationality, "CAN");
    EXPECT_STREQ(data.cardNumber, "CAN990088050125");
    EXPECT_STREQ(data.cardVersion, "01");
    EXPECT_STREQ(data.issuerCode, "9900");

    // A structure from an older, smaller header is refused, not overrun.
    KavCardData small{};
    small.size = sizeof small - 1;
    findAndSelect(3);
    EXPECT_EQ(Kav_ReadCard(3, 0, &small), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_ReadCard(3, 0, nullptr), KAV_E_BAD_ARGUMENT);
    data.size = sizeof data;
    EXPECT_EQ(Kav_ReadCard(3, 2, &data), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_GetLastCard(3, &small), KAV_E_BAD_ARGUMENT);
}

// What the trace's two listeners receive while the test runs.
struct Seen {
    std::mutex mutex;
    std::vector<KavTraceEvent> events;
    std::vector<std::vector<unsigned char>> bytes;
    std::vector<std::string> texts;
};

void KAV_CALL collect(const KavTraceEvent *event, void *context) {
    auto *seen = static_cast<Seen *>(context);
    std::lock_guard lock(seen->mutex);
    seen->events.push_back(*event);
    seen->bytes.emplace_back(event->bytes, event->bytes + (event->bytes ? event->byteCount : 0));
    seen->texts.emplace_back(event->text ? event->text : "");
}

bool contains(const std::vector<unsigned char> &hay, const std::vector<std::uint8_t> &needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(CardReadTest, FingerprintDataNeverReachesTheTraceOrTheCallback) {
    const std::vector<std::uint8_t> fingerprint = kav::virt::syntheticFingerprint();
    // Any 16 bytes of it would give it away; the pattern repeats no
    // 16-byte run elsewhere in a frame (the photo is JPEG, the text UCS-2).
    const std::vector<std::uint8_t> first(fingerprint.begin(), fingerprint.begin() + 16);
    const std::vector<std::uint8_t> second(fingerprint.begin() + 600, fingerprint.begin() + 616);
    const char *path = std::getenv("KAVIDCARD_TRACE");
    ASSERT_NE(path, nullptr);
    QFile file(QString::fromLocal8Bit(path));
    const qint64 traceBefore = file.size();

    Seen seen;
    ASSERT_EQ(Kav_SetTraceCallback(collect, &seen), KAV_OK);
    KavCardData data{};
    ASSERT_EQ(readCard(2, KAV_READ_FINGERPRINT, data), KAV_OK);
    EXPECT_EQ(data.fingerprintRead, 1);
    ASSERT_EQ(data.fingerprintSize, 1024);
    EXPECT_TRUE(std::equal(fingerprint.begin(), fingerprint.end(), data.fingerprint));

    unsigned char buffer[KAV_FINGERPRINT_MAX_SIZE] = {};
    int size = -1;
    findAndSelect(2);
    ASSERT_EQ(Kav_ReadFingerprint(2, buffer, sizeof buffer, &size), KAV_OK);
    ASSERT_EQ(size, 1024);
    EXPECT_TRUE(std::equal(fingerprint.begin(), fingerprint.end(), buffer));

    // A broken answer goes to the trace as a fault: withheld too.
    findAndSelect(2);
    kav::testing::virtualReader(2)->setFault(kav::virt::Fault::BadChecksum);
    EXPECT_EQ(Kav_ReadFingerprint(2, buffer, sizeof buffer, &size), KAV_E_BAD_FRAME);
    kav::testing::virtualReader(2)->clearFaults();
    ASSERT_EQ(Kav_SetTraceCallback(nullptr, nullptr), KAV_OK);

    std::lock_guard lock(seen.mutex);
    int withheld = 0;
    for (std::size_t i = 0; i < seen.events.size(); ++i) {
        EXPECT_FALSE(contains(seen.bytes[i], first) || contains(seen.bytes[i], second)) << i;
        if (seen.events[i].kind == KAV_TRACE_FROM_READER &&
            seen.texts[i].find("fingerprint") != std::string::npos) {
            EXPECT_EQ(seen.events[i].bytes, nullptr) << seen.texts[i];
            EXPECT_NE(seen.texts[i].find("withheld"), std::string::npos) << seen.texts[i];
            // The whole answer: 10 header and status bytes, 2310 of data, the checksum.
            if (seen.events[i].byteCount == 2321)
                ++withheld;
        }
    }
    EXPECT_GE(withheld, 3);

    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    file.seek(traceBefore);
    const std::string trace = file.readAll().toStdString();
    EXPECT_NE(trace.find("(2321 bytes withheld)"), std::string::npos);
    for (const auto &run : {first, second})
        EXPECT_EQ(trace.find(kav::trace::hex(run)), std::string::npos);
    EXPECT_TRUE(files().filter(".jpg").size() == 1) << files().join(", ").toStdString();
}

TEST_F(CardReadTest, ACardWithoutFingerprintDataGivesSizeZero) {
    unsigned char buffer[KAV_FINGERPRINT_MAX_SIZE];
    int size = -1;
    findAndSelect(1);
    ASSERT_EQ(Kav_ReadFingerprint(1, buffer, sizeof buffer, &size), KAV_OK);
    EXPECT_EQ(size, 0);
    KavCardData data{};
    ASSERT_EQ(readCard(1, KAV_READ_FINGERPRINT, data), KAV_OK);
    EXPECT_EQ(data.fingerprintRead, 1);
    EXPECT_EQ(data.fingerprintSize, 0);
    EXPECT_STREQ(data.name, "林晓航");
    EXPECT_EQ(Kav_ReadFingerprint(1, buffer, KAV_FINGERPRINT_MAX_SIZE - 1, &size),
              KAV_E_BAD_ARGUMENT);
}

TEST_F(CardReadTest, TheAppendedAddressPresentAndAbsent) {
    struct Case {
        const char *what;
        int port;
        int present;
        std::string address;
    } const cases[] = {
        {"the newest of two", 3, 1, "云岭省青石市东湖区梧桐街5号"},
        {"none on the card", 1, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char address[KAV_ADDRESS_TEXT_SIZE];
        std::memset(address, 'x', sizeof address);
        int present = -1;
        findAndSelect(c.port);
        ASSERT_EQ(Kav_ReadAppendedAddress(c.port, address, sizeof address, &present), KAV_OK);
        EXPECT_EQ(present, c.present);
        EXPECT_EQ(std::string(address), c.address);
    }
    char address[KAV_ADDRESS_TEXT_SIZE];
    int present = -1;
    // Without find and select the card answers nothing: the SAM's status.
    EXPECT_EQ(Kav_ReadAppendedAddress(3, address, sizeof address, &present), KAV_SW_READ_FAILED);
    findAndSelect(3);
    EXPECT_EQ(Kav_ReadAppendedAddress(3, address, 10, &present), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_ReadAppendedAddress(3, nullptr, 10, &present), KAV_E_BAD_ARGUMENT);
}

} // namespace
