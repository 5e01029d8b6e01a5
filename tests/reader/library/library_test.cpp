// The exported operations on in-process virtual readers: what each returns,
// what it refuses without sending anything, and what it remembers.
#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "result_codes.h"
#include "testing.h"
#include "virtual/virtual_reader.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

using kav::virt::Fault;
using kav::virt::VirtualReader;

namespace {

const std::string kCards = KAV_CARDS_DIR;

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string devices = "defaults=off,1=virtual,2=virtual:" + kCards +
                                    "/long-address.json,3=virtual:" + kCards +
                                    "/undecodable-photo.json,6=virtual:/no/such/card.json,"
                                    "8=/no/such/tty,1001=virtual";
        setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
        kav::testing::resetLibrary();
        ASSERT_TRUE(folder.isValid());
        const auto gbk = kav::cp936::fromUtf8(folder.path().toStdString());
        ASSERT_EQ(Kav_SetPhotoPath(2, gbk->c_str()), KAV_OK);
    }
    void TearDown() override {
        for (int port : {1, 2, 3, 6, 8, 1001})
            Kav_ClosePort(port);
    }

    static std::shared_ptr<VirtualReader> reader(int port) {
        return kav::testing::virtualReader(port);
    }

    // Find, select and read, as the program does.
    static int read(int port, IDCardRecord &record) {
        unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
        unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
        Kav_StartFindIDCard(port, find, 0);
        Kav_SelectIDCard(port, select, 0);
        return Kav_ReadMsg(port, 0, &record);
    }

    QStringList files() const { return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden); }

    QTemporaryDir folder;
};

std::string field(const char *span, std::size_t size) {
    return kav::cp936::toUtf8(kav::cp936::fieldText(span, size));
}
#define FIELD(record, member) field((record).member, sizeof((record).member))

} // namespace

// Discovery names the first reader to answer, the lowest port among those
// answering together, and learns its rate; the readers are on ports 1, 2,
// 3, 6 and 1001.
TEST_F(LibraryTest, FindsTheFirstReaderToAnswerAndItsRate) {
    const struct {
        const char *what;
        std::map<int, unsigned> rates; // the readers that answer, at these rates
        int found;
    } cases[] = {
        {"answering together: the lowest port",
         {{1, 115200}, {2, 115200}, {3, 115200}, {1001, 115200}},
         1},
        {"a lower port at a slower rate answers later",
         {{1, 38400}, {2, 115200}, {3, 115200}, {1001, 115200}},
         2},
        {"alone, at the slowest rate", {{3, 9600}}, 3},
        {"alone, behind silent ports", {{1001, 57600}}, 1001},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kav::testing::resetLibrary();
        for (int port : {1, 2, 3, 6, 1001}) {
            const auto rate = c.rates.find(port);
            if (rate != c.rates.end())
                reader(port)->setBaudRate(rate->second);
            else
                reader(port)->setFault(Fault::Delay); // answers only after every timeout
        }
        EXPECT_EQ(Kav_FindReader(), c.found);
        if (c.found > KAV_LAST_SERIAL_PORT)
            continue; // USB ports have no rate to ask for
        unsigned baud = 0;
        EXPECT_EQ(Kav_GetCOMBaud(c.found, &baud), KAV_OK);
        EXPECT_EQ(baud, c.rates.at(c.found));
        // A port with a reader at another rate still opens and talks.
        ASSERT_EQ(Kav_OpenPort(c.found), KAV_OK);
        EXPECT_EQ(Kav_GetSAMStatus(c.found, 0), KAV_OK);
        Kav_ClosePort(c.found);
    }
}

TEST_F(LibraryTest, AnOpenPortIsProbedThroughItsOwnLinkAndStaysUsable) {
    for (int port : {1, 3, 6, 1001})
        reader(port)->setFault(Fault::Delay);
    reader(2)->setBaudRate(19200);
    ASSERT_EQ(Kav_OpenPort(2), KAV_OK);
    EXPECT_EQ(Kav_FindReader(), 2);
    EXPECT_EQ(kav::testing::openPorts(), std::vector<int>{2});
    EXPECT_EQ(Kav_GetSAMStatus(2, 0), KAV_OK);
    unsigned baud = 0;
    EXPECT_EQ(Kav_GetCOMBaud(2, &baud), KAV_OK);
    EXPECT_EQ(baud, 19200u);
}

TEST_F(LibraryTest, FindsNothingWhenNoReaderAnswers) {
    for (int port : {1, 2, 3, 6, 1001})
        reader(port)->setFault(Fault::Disconnect);
    EXPECT_EQ(Kav_FindReader(), KAV_NO_PORT);
}

TEST_F(LibraryTest, PortsThatCannotOpen) {
    EXPECT_EQ(Kav_OpenPort(8), KAV_E_NO_DEVICE); // mapped to a node that does not exist
    EXPECT_EQ(Kav_OpenPort(9), KAV_E_NO_DEVICE); // mapped to nothing
    EXPECT_EQ(Kav_OpenPort(0), KAV_E_NO_DEVICE);
    EXPECT_EQ(Kav_OpenPort(-5), KAV_E_NO_DEVICE);
    EXPECT_EQ(Kav_ClosePort(9), KAV_OK); // closing what never opened is harmless
    EXPECT_EQ(Kav_ClosePort(1), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_E_NOT_OPEN);
    unsigned char id[16];
    EXPECT_EQ(Kav_GetSAMID(1, id, 0), KAV_E_NOT_OPEN);
}

TEST_F(LibraryTest, RefusesBadArgumentsWithoutSending) {
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    const std::uint8_t before = reader(1)->maxRfBytes();
    for (int count : {0, 23, 256, -1, 1 << 20})
        EXPECT_EQ(Kav_SetMaxRFByte(1, count, 0), KAV_E_BAD_ARGUMENT) << count;
    EXPECT_EQ(reader(1)->maxRfBytes(), before);
    for (int count : {24, 255, 100}) {
        EXPECT_EQ(Kav_SetMaxRFByte(1, count, 0), KAV_OK);
        EXPECT_EQ(reader(1)->maxRfBytes(), count);
    }
    for (int rate : {0, 12345, -9600, 4800, 230400})
        EXPECT_EQ(Kav_SetCOMBaud(1, 115200, rate), KAV_E_BAD_ARGUMENT) << rate;
    EXPECT_EQ(Kav_SetCOMBaud(1, 1234, 9600), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(reader(1)->baudRate(), 115200u);
    EXPECT_EQ(Kav_GetCOMBaud(1, nullptr), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_GetSAMID(1, nullptr, 0), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_ReadMsg(1, 0, nullptr), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetSexType(2), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetUserLifeEType(4, 2), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetPhotoType(3), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetPhotoName(-1), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetPhotoPath(3, ""), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetPhotoPath(2, nullptr), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_SetPhotoPath(2, "/tmp/\xFF"), KAV_E_BAD_ARGUMENT); // not GBK
    EXPECT_EQ(Kav_SetPhotoPath(2, ""), KAV_E_BAD_ARGUMENT);
}

TEST_F(LibraryTest, BaudChangeIsSentAtTheOldRateAndRemembered) {
    EXPECT_EQ(Kav_SetCOMBaud(1, 115200, 19200), KAV_OK); // the port need not be open
    EXPECT_EQ(reader(1)->baudRate(), 19200u);
    unsigned baud = 0;
    EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
    EXPECT_EQ(baud, 19200u);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    // While open, the change applies to the open link too.
    EXPECT_EQ(Kav_SetCOMBaud(1, 19200, 57600), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    EXPECT_EQ(reader(1)->baudRate(), 57600u);
}

TEST_F(LibraryTest, UsbPortsHaveNoBaud) {
    unsigned baud = 7;
    EXPECT_EQ(Kav_GetCOMBaud(1001, &baud), KAV_E_NOT_SUPPORTED);
    EXPECT_EQ(baud, 7u);
    EXPECT_EQ(Kav_SetCOMBaud(1001, 115200, 9600), KAV_E_NOT_SUPPORTED);
    ASSERT_EQ(Kav_OpenPort(1001), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1001, 0), KAV_OK);
}

TEST_F(LibraryTest, SamIdIsTheSamsOwn) {
    const std::array<std::uint8_t, 16> id{1, 2, 3, 4, 5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0};
    reader(1)->setSamId(id);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    std::array<unsigned char, 16> got{};
    EXPECT_EQ(Kav_GetSAMID(1, got.data(), 0), KAV_OK);
    EXPECT_EQ(got, id);
}

TEST_F(LibraryTest, ReadFillsTheRecordInTheChosenFormatsAndWritesThePhoto) {
    Kav_SetSexType(KAV_SEX_TEXT);
    Kav_SetNationType(KAV_NATION_NAME);
    Kav_SetBornType(KAV_DATE_CHINESE);
    Kav_SetUserLifeBType(KAV_DATE_DOTS);
    Kav_SetUserLifeEType(KAV_DATE_SLASHES, KAV_NO_END_LONG_TERM);
    Kav_SetPhotoType(KAV_PHOTO_JPEG);
    Kav_SetPhotoName(KAV_PHOTO_NAME_BOTH);
    ASSERT_EQ(Kav_OpenPort(2), KAV_OK);
    IDCardRecord record;
    std::memset(&record, 0x5A, sizeof record); // the library owes every field its NUL
    ASSERT_EQ(read(2, record), KAV_OK);
    EXPECT_EQ(FIELD(record, name), "欧阳明远");
    EXPECT_EQ(FIELD(record, sex), "男");
    EXPECT_EQ(FIELD(record, nation), "汉");
    EXPECT_EQ(FIELD(record, born), "1958年09月23日");
    EXPECT_EQ(FIELD(record, address),
              "云岭省青石市南湖区滨江大道延长线金桂花园小区十二栋三单元一千二百零八室");
    EXPECT_EQ(FIELD(record, idNumber), "990103195809230318");
    EXPECT_EQ(FIELD(record, issuer), "青石市公安局南湖分局");
    EXPECT_EQ(FIELD(record, validFrom), "2016.03.01");
    EXPECT_EQ(FIELD(record, validUntil), "长期");
    const std::string photo = folder.path().toStdString() + "/欧阳明远_990103195809230318.jpg";
    EXPECT_EQ(FIELD(record, photoFile), photo);
    EXPECT_FALSE(QImage(QString::fromStdString(photo)).isNull());
    EXPECT_EQ(files(), QStringList{"欧阳明远_990103195809230318.jpg"});
}

TEST_F(LibraryTest, UndecodablePhotoIsKeptByteForByte) {
    ASSERT_EQ(Kav_OpenPort(3), KAV_OK);
    IDCardRecord record{};
    ASSERT_EQ(read(3, record), KAV_OK);
    EXPECT_EQ(FIELD(record, photoFile), folder.path().toStdString() + "/tmp.wlt");
    QFile written(folder.filePath("tmp.wlt"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.size(), 1024);
}

TEST_F(LibraryTest, CardFileThatCannotBeReadGivesAReaderWithoutCard) {
    ASSERT_EQ(Kav_OpenPort(6), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(6, 0), KAV_OK);
    unsigned char find[4] = {};
    EXPECT_EQ(Kav_StartFindIDCard(6, find, 0), 0x80);
}

struct FaultCase {
    Fault fault;
    int status; // Kav_GetSAMStatus
    int read;   // find, select and read
};

TEST_F(LibraryTest, EachFaultGivesItsCodeAndTheNextHealthyCallSucceeds) {
    const FaultCase cases[] = {
        {Fault::NoCard, KAV_OK, 0x41},
        {Fault::SelfTestFailure, 0x60, 0x60},
        {Fault::NotAuthorised, 0x66, 0x66},
        {Fault::ReadFailure, KAV_OK, 0x41},
        {Fault::BadChecksum, KAV_E_BAD_FRAME, KAV_E_BAD_FRAME},
        {Fault::Truncated, KAV_E_BAD_FRAME, KAV_E_BAD_FRAME},
        {Fault::Noise, KAV_OK, KAV_OK},
        {Fault::Split, KAV_OK, KAV_OK},
        {Fault::Disconnect, KAV_E_IO, KAV_E_IO},
        {Fault::DisconnectMidFrame, KAV_E_IO, KAV_E_IO},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(std::string(kav::virt::faultName(c.fault)));
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        reader(1)->setFault(c.fault);
        EXPECT_EQ(Kav_GetSAMStatus(1, 0), c.status);
        Kav_ClosePort(1);
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        IDCardRecord record{};
        EXPECT_EQ(read(1, record), c.read);
        Kav_ClosePort(1);
        reader(1)->clearFaults();
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        EXPECT_EQ(read(1, record), KAV_OK) << "a healthy reader works again";
        Kav_ClosePort(1);
    }
    // Only the healthy reads wrote a photo, and no partial file is left.
    EXPECT_EQ(files(), QStringList{"tmp.bmp"});
}

// A damaged answer now and then costs a retry, not the operation; a device
// that damages every answer still fails, with the damage's code.
TEST_F(LibraryTest, ABrokenAnswerNowAndThenCostsARetry) {
    struct Case {
        Fault fault;
        unsigned every;
        bool retries; // the fault damages the frame itself
    };
    // A read after a broken read answer takes three good ones in a row
    // (find and select again, then the read): one answer in four may be
    // broken, not one in three.
    const Case cases[] = {
        {Fault::BadChecksum, 4, true}, {Fault::BadChecksum, 5, true}, {Fault::Truncated, 4, true},
        {Fault::Truncated, 5, true},   {Fault::Noise, 2, false},      {Fault::Noise, 3, false},
        {Fault::Split, 2, false},      {Fault::Split, 3, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(kav::virt::faultName(c.fault)) + " every " +
                     std::to_string(c.every));
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        reader(1)->setFault(c.fault, c.every);
        unsigned before = 0;
        ASSERT_EQ(Kav_GetRetryCount(1, &before), KAV_OK);
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            IDCardRecord record{};
            EXPECT_EQ(Kav_SetMaxRFByte(1, 80, 0), KAV_OK);
            EXPECT_EQ(read(1, record), KAV_OK);
            EXPECT_STREQ(record.idNumber, "990102198805120135");
            unsigned char id[KAV_SAM_ID_SIZE] = {};
            EXPECT_EQ(Kav_GetSAMID(1, id, 0), KAV_OK);
        }
        unsigned after = 0;
        ASSERT_EQ(Kav_GetRetryCount(1, &after), KAV_OK);
        EXPECT_EQ(after > before, c.retries) << after - before;
        reader(1)->clearFaults();
        Kav_ClosePort(1);
    }
}

TEST_F(LibraryTest, CommandsThatActOnTheSamAreNeverSentTwice) {
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    const auto sent = [](std::uint8_t cmd) { return reader(1)->received(cmd); };
    reader(1)->setFault(Fault::BadChecksum);
    const unsigned resets = sent(0x10);
    const unsigned statuses = sent(0x11);
    EXPECT_EQ(Kav_ResetSAM(1, 0), KAV_E_BAD_FRAME);
    EXPECT_EQ(sent(0x10), resets + 1);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_E_BAD_FRAME) << "every answer broken";
    EXPECT_EQ(sent(0x11), statuses + 2) << "a repeatable command goes twice, no more";

    // The rate change took, but its answer broke: the SAM is asked where it
    // is, never told again, and the open port follows it.
    reader(1)->setFault(Fault::BadChecksum, 2);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    const unsigned rateChanges = sent(0x60);
    EXPECT_EQ(Kav_SetCOMBaud(1, 115200, 38400), KAV_OK);
    EXPECT_EQ(sent(0x60), rateChanges + 1);
    EXPECT_EQ(reader(1)->baudRate(), 38400u);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    // Every answer broken: the change's outcome is unknown and said so.
    reader(1)->setFault(Fault::BadChecksum, 1);
    EXPECT_EQ(Kav_SetCOMBaud(1, 38400, 9600), KAV_E_BAD_FRAME);
    EXPECT_EQ(sent(0x60), rateChanges + 2);
    reader(1)->clearFaults();
}

TEST_F(LibraryTest, PhotoFolderThatVanishedFailsTheReadAndLeavesNothing) {
    QTemporaryDir gone;
    const auto gbk = kav::cp936::fromUtf8(gone.path().toStdString());
    ASSERT_EQ(Kav_SetPhotoPath(2, gbk->c_str()), KAV_OK);
    ASSERT_TRUE(gone.remove());
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    IDCardRecord record{};
    EXPECT_EQ(read(1, record), KAV_E_PHOTO_WRITE);
    EXPECT_FALSE(QDir(gone.path()).exists());
}

// A folder that cannot take photos is refused when it is chosen, and the
// setting stays as it was; the longest usable one still leaves room for
// the longest photo name in the record.
TEST_F(LibraryTest, PhotoFolderIsCheckedWhenChosen) {
    const std::string base = folder.path().toStdString();
    const std::string file = base + "/a-file";
    ASSERT_TRUE(QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly));
    auto deepFolder = [&](std::size_t length) {
        std::string path = base;
        while (path.size() < length) {
            // "/" and at least one letter each, never a lone "/" at the end.
            std::size_t take = std::min<std::size_t>(50, length - path.size() - 1);
            if (length - path.size() - 1 - take == 1)
                --take;
            path += "/" + std::string(take, 'd');
        }
        std::filesystem::create_directories(path);
        return path;
    };
    const std::string longest = deepFolder(KAV_PHOTO_FOLDER_MAX);
    const std::string tooLong = deepFolder(KAV_PHOTO_FOLDER_MAX + 1);
    ASSERT_EQ(longest.size(), std::size_t{KAV_PHOTO_FOLDER_MAX});
    const struct Case {
        const char *what;
        std::string path;
        int result;
    } cases[] = {
        {"missing", base + "/missing", KAV_E_BAD_ARGUMENT},
        {"a file", file, KAV_E_BAD_ARGUMENT},
        {"one byte too long", tooLong, KAV_E_BAD_ARGUMENT},
        {"past the buffer", std::string(KAV_PATH_BUFFER_SIZE + 10, 'x'), KAV_E_BAD_ARGUMENT},
        {"the longest", longest, KAV_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, base.c_str()), KAV_OK);
        EXPECT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, c.path.c_str()), c.result);
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        IDCardRecord record{};
        ASSERT_EQ(Kav_SetPhotoName(KAV_PHOTO_NAME_BOTH), KAV_OK);
        ASSERT_EQ(read(1, record), KAV_OK) << "a refused folder leaves the last good one";
        const std::filesystem::path written(record.photoFile);
        EXPECT_EQ(written.parent_path().string(), c.result == KAV_OK ? c.path : base);
        Kav_ClosePort(1);
    }
}

TEST(Version, IsTheHeadersAndRefusesANullPointer) {
    int major = -1, minor = -1, patch = -1;
    ASSERT_EQ(Kav_GetVersion(&major, &minor, &patch), KAV_OK);
    EXPECT_EQ(major, KAV_VERSION_MAJOR);
    EXPECT_EQ(minor, KAV_VERSION_MINOR);
    EXPECT_EQ(patch, KAV_VERSION_PATCH);
    int untouched = -1;
    EXPECT_EQ(Kav_GetVersion(&untouched, &minor, nullptr), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(Kav_GetVersion(nullptr, &untouched, &patch), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(untouched, -1);
}

TEST(ResultText, NamesEveryCodeOfTheTable) {
    for (const kav::results::Code &row : kav::results::table()) {
        SCOPED_TRACE(row.name);
        std::string expected = row.english;
        if (kav::results::isStatus(row.value)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(row.value));
            expected = std::string("the SAM answered status ") + hex + " " + row.english;
            if (row.value == KAV_SW_OK || row.value == KAV_SW_FIND_OK)
                expected += ", not the status this command succeeds with";
        }
        EXPECT_EQ(Kav_ResultText(row.value), expected);
    }
    EXPECT_STREQ(Kav_ResultText(KAV_E_UNKNOWN_LAYOUT), "card layout not known to this library");
    EXPECT_STREQ(Kav_ResultText(0x55), "the SAM answered status 0x55 unknown status");
    EXPECT_STREQ(Kav_ResultText(-1000), "unknown result code");
    EXPECT_STREQ(Kav_ResultText(0x100), "unknown result code");
}

TEST_F(LibraryTest, TraceHasEveryFrameAndOperation) {
    const char *path = std::getenv("KAVIDCARD_TRACE");
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    EXPECT_EQ(Kav_SetMaxRFByte(1, 23, 0), KAV_E_BAD_ARGUMENT);
    QFile file(QString::fromLocal8Bit(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString trace = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(trace.contains("virtual@1 >> AA AA AA 96 69 00 03 11 FF ED  [SAM status]"));
    EXPECT_TRUE(trace.contains(
        "virtual@1 << AA AA AA 96 69 00 04 00 00 90 94  [SAM status: status 0x90 success]"));
    EXPECT_TRUE(trace.contains("Kav_GetSAMStatus(1, 0) = 0 (success)"));
    EXPECT_TRUE(trace.contains("Kav_SetMaxRFByte(1, 23, 0) = -8 (an argument is out of range)"));
}

TEST_F(LibraryTest, TraceSaysWhichDeviceEntriesWereIgnored) {
    setenv("KAVIDCARD_DEVICES", "defaults=off,x=virtual,2=virtual", 1);
    kav::testing::resetLibrary();
    QFile file(QString::fromLocal8Bit(std::getenv("KAVIDCARD_TRACE")));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(
        QString::fromUtf8(file.readAll())
            .contains("KAVIDCARD_DEVICES: ignored \"x=virtual\": expected <port>=<device>"));
    EXPECT_EQ(Kav_OpenPort(2), KAV_OK) << "the good entry still counts";
}

// ---- Warnings about the configuration ---------------------------------------

namespace {

struct Warned {
    int port;
    std::string text;
};

std::vector<Warned> allWarnings() {
    std::vector<Warned> list;
    for (int index = 0;; ++index) {
        int port = -1;
        char text[KAV_WARNING_TEXT_SIZE];
        const int result = Kav_GetWarning(index, &port, text, sizeof text);
        if (result != KAV_OK) {
            EXPECT_EQ(result, KAV_E_NO_DEVICE);
            return list;
        }
        list.push_back({port, text});
    }
}

} // namespace

TEST_F(LibraryTest, WarningsNameIgnoredEntriesThenBadCardFiles) {
    const std::string broken = folder.filePath("broken.json").toStdString();
    QFile file(QString::fromStdString(broken));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\"name\": 12}");
    file.close();
    const std::string devices = "defaults=off,garbage,4=virtual:/no/such.json,1=,2=virtual,"
                                "0=virtual,3=virtual:" +
                                kCards +
                                "/long-address.json,"
                                "99999999999=virtual,5=virtual:" +
                                broken;
    setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
    kav::testing::resetLibrary();

    const struct {
        int port;
        std::string text;
    } expected[] = {
        {0, "KAVIDCARD_DEVICES: ignored \"garbage\": expected <port>=<device>, port a positive "
            "number"},
        {0, "KAVIDCARD_DEVICES: ignored \"1=\": "},
        {0, "KAVIDCARD_DEVICES: ignored \"0=virtual\": "},
        {0, "KAVIDCARD_DEVICES: ignored \"99999999999=virtual\": "},
        {4, "card file /no/such.json: No such file or directory"},
        {5, "card file " + broken + ": field \"name\""},
    };
    const std::vector<Warned> warnings = allWarnings();
    ASSERT_EQ(warnings.size(), std::size(expected));
    for (std::size_t i = 0; i < warnings.size(); ++i) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(warnings[i].port, expected[i].port);
        EXPECT_EQ(warnings[i].text.rfind(expected[i].text, 0), 0u) << warnings[i].text;
    }
    // The card file's reader holds no card, and the list stays as it was.
    ASSERT_EQ(Kav_OpenPort(4), KAV_OK);
    EXPECT_EQ(Kav_StartFindIDCard(4, nullptr, 0), 0x80);
    Kav_ClosePort(4);
    EXPECT_EQ(allWarnings().size(), std::size(expected));
}

TEST_F(LibraryTest, WarningTextsAreUtf8ThatFitsTheDocumentedBuffer) {
    const std::string longEntry(3000, 'x');
    const struct {
        std::string entry;
        std::string shown; // what the warning quotes, or its start
    } cases[] = {
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"a\xFFz", "\"a\\xFFz\""},
        {"\xC0\xAF", "\"\\xC0\\xAF\""},          // an overlong '/'
        {"\xED\xA0\x80", "\"\\xED\\xA0\\x80\""}, // a surrogate
        {"tab\there", "\"tab?here\""},
        {"\xC2\x9B"
         "31m",
         "\"?31m\""},                   // a C1 control: CSI
        {"\xE5\xBC", "\"\\xE5\\xBC\""}, // cut short
        {longEntry, "\"" + longEntry.substr(0, 900)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown.substr(0, 40));
        setenv("KAVIDCARD_DEVICES", ("defaults=off," + c.entry).c_str(), 1);
        kav::testing::resetLibrary();
        int port = -1;
        char text[KAV_WARNING_TEXT_SIZE];
        ASSERT_EQ(Kav_GetWarning(0, &port, text, sizeof text), KAV_OK);
        const std::string got = text;
        EXPECT_NE(got.find(c.shown), std::string::npos) << got;
        EXPECT_LT(got.size(), std::size_t{KAV_WARNING_TEXT_SIZE});
        if (c.entry == longEntry) {
            EXPECT_EQ(got.substr(got.size() - 3), "...");
        }
    }
}

TEST_F(LibraryTest, GetWarningRefusesBadArgumentsAndLeavesThemUnchanged) {
    setenv("KAVIDCARD_DEVICES", "defaults=off,garbage", 1);
    kav::testing::resetLibrary();
    int port = 77;
    char text[8] = "keep";
    const struct {
        const char *what;
        int index;
        int *port;
        char *text;
        int size;
        int result;
    } cases[] = {
        {"no port", 0, nullptr, text, sizeof text, KAV_E_BAD_ARGUMENT},
        {"no text", 0, &port, nullptr, sizeof text, KAV_E_BAD_ARGUMENT},
        {"no room", 0, &port, text, sizeof text, KAV_E_BAD_ARGUMENT},
        {"zero size", 0, &port, text, 0, KAV_E_BAD_ARGUMENT},
        {"negative index", -1, &port, text, sizeof text, KAV_E_BAD_ARGUMENT},
        {"past the last", 1, &port, text, sizeof text, KAV_E_NO_DEVICE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Kav_GetWarning(c.index, c.port, c.text, c.size), c.result);
        EXPECT_EQ(port, 77);
        EXPECT_STREQ(text, "keep");
    }
}
