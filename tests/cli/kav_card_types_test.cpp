// kav and every card type: the type and each field in text and JSON, a
// layout not known refused with its letter and block, fingerprint data
// shown only as size and digest or written into a new file, the appended
// address; in process and on the pty.
#include "../../cli/sha256.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::Outcome;
using test::TempFolder;
using test::ToolReader;

const std::string kCards = KAV_CARDS_DIR;

Outcome kav(std::vector<std::string> args, const test::Vars &vars) {
    return test::run(KAV_CLI, std::move(args), vars);
}

Json json(const Outcome &run) {
    Json parsed = Json::parse(run.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << run.out;
    return parsed;
}

const test::Vars kCardsInProcess{
    {"KAVIDCARD_DEVICES",
     "defaults=off,1=virtual,2=virtual:" + kCards + "/foreigner-permanent.json,3=virtual:" +
         kCards + "/residence-permit.json,4=virtual:" + kCards + "/unknown-type-y.json"}};

// The card files' synthetic fingerprint, written out from its definition.
std::vector<std::uint8_t> synthetic() {
    std::vector<std::uint8_t> bytes(1024);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 37 + 11) % 256);
    return bytes;
}

std::string hexOf(const std::vector<std::uint8_t> &bytes, const char *separator) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty())
            out += separator;
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

TEST(Sha256, KnownAnswers) {
    const struct {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first padded block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'),
         "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.size());
        const std::vector<std::uint8_t> bytes(c.message.begin(), c.message.end());
        EXPECT_EQ(kav::cli::sha256Hex(bytes), c.digest);
    }
}

TEST(KavCardTypes, ReadShowsTheTypeAndEveryFieldOfEachCard) {
    const struct Case {
        const char *port;
        const char *type;
        std::vector<std::pair<const char *, const char *>> json; // some keys and values
        std::vector<const char *> absent;                        // keys of other layouts
        std::vector<const char *> lines;                         // in the text output
    } cases[] = {
        {"1",
         "resident",
         {{"cardTypeName", "居民身份证"}, {"name", "林晓航"}, {"nation", "汉"}},
         {"englishName", "passNumber"},
         {"证件类型: 居民身份证\n", "姓名: 林晓航\n", "身份证号: 990102198805120135\n"}},
        {"2",
         "I",
         {{"cardTypeName", "外国人永久居留身份证"},
          {"englishName", "MARTIN, ELEANOR JOSEPHINE ALEXANDRA"},
          {"chineseName", "马爱琳"},
          {"nationality", "CAN"},
          {"cardNumber", "CAN990088050125"},
          {"issuerCode", "9900"},
          {"cardVersion", "01"},
          {"born", "1988年05月01日"}},
         {"name", "nation", "address", "idNumber"},
         {"证件类型: 外国人永久居留身份证\n", "中文姓名: 马爱琳\n",
          "英文姓名: MARTIN, ELEANOR JOSEPHINE ALEXANDRA\n", "国籍: CAN\n",
          "证件号码: CAN990088050125\n"}},
        {"3",
         "J",
         {{"cardTypeName", "港澳台居民居住证"},
          {"name", "陈家乐"},
          {"idNumber", "990000199207180017"},
          {"passNumber", "H99012345"},
          {"issuanceCount", "02"}},
         {"nation", "englishName"},
         {"证件类型: 港澳台居民居住证\n", "通行证号码: H99012345\n", "签发次数: 02\n"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        TempFolder folder;
        const Outcome structured =
            kav({"--port", c.port, "read", "--json", "--photo-dir", folder.path().string()},
                kCardsInProcess);
        ASSERT_EQ(structured.exit, 0) << structured.out << structured.err;
        const Json card = json(structured);
        EXPECT_EQ(card["cardType"], c.type);
        for (const auto &[key, value] : c.json)
            EXPECT_EQ(card[key], value) << key;
        for (const char *key : c.absent)
            EXPECT_FALSE(card.contains(key)) << key;
        EXPECT_FALSE(card.contains("fingerprint"));
        EXPECT_TRUE(fs::exists(card["photoFile"].get<std::string>()));

        const Outcome text =
            kav({"--port", c.port, "read", "--photo-dir", folder.path().string()}, kCardsInProcess);
        ASSERT_EQ(text.exit, 0) << text.err;
        for (const char *line : c.lines)
            EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    }
}

TEST(KavCardTypes, ALayoutNotKnownFailsWithItsLetterAndItsBlockAndNoPhoto) {
    std::ifstream file(kCards + "/unknown-type-y.json");
    const Json y = Json::parse(file);
    std::string block = y["textBlock"].get<std::string>();

    TempFolder folder;
    const Outcome run = kav(
        {"--port", "4", "read", "--json", "--photo-dir", folder.path().string()}, kCardsInProcess);
    EXPECT_EQ(run.exit, 7) << run.out << run.err;
    const Json error = json(run)["error"];
    EXPECT_EQ(error["operation"], "Kav_ReadMsg");
    EXPECT_EQ(error["code"], -15);
    EXPECT_EQ(error["text"], "card layout not known to this library");
    EXPECT_EQ(error["cardType"], "Y");
    std::string got = error["textBlock"].get<std::string>();
    std::transform(got.begin(), got.end(), got.begin(), ::toupper);
    std::transform(block.begin(), block.end(), block.begin(), ::toupper);
    EXPECT_EQ(got, block);
    EXPECT_TRUE(fs::is_empty(folder.path()));

    const Outcome text =
        kav({"--port", "4", "read", "--photo-dir", folder.path().string()}, kCardsInProcess);
    EXPECT_EQ(text.exit, 7);
    EXPECT_NE(text.err.find("card type Y; text block "), std::string::npos) << text.err;
}

TEST(KavFingerprint, OnlySizeAndDigestUnlessWrittenIntoANewFile) {
    const std::vector<std::uint8_t> fingerprint = synthetic();
    const std::string digest = kav::cli::sha256Hex(fingerprint);
    // No 16 bytes of it, in either form the trace and JSON use, may show.
    const std::vector<std::uint8_t> run16(fingerprint.begin() + 100, fingerprint.begin() + 116);

    TempFolder folder;
    const Outcome shown = kav({"--port", "2", "--trace", "read", "--fingerprint", "--json",
                               "--photo-dir", folder.path().string()},
                              kCardsInProcess);
    ASSERT_EQ(shown.exit, 0) << shown.out << shown.err;
    EXPECT_EQ(json(shown)["fingerprint"],
              Json({{"present", true}, {"size", 1024}, {"sha256", digest}}));
    for (const std::string &printed : {shown.out, shown.err}) {
        EXPECT_EQ(printed.find(hexOf(run16, " ")), std::string::npos);
        EXPECT_EQ(printed.find(hexOf(run16, "")), std::string::npos);
    }
    EXPECT_NE(shown.err.find("bytes withheld: fingerprint data"), std::string::npos) << shown.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1)
        << "the photo only";

    const fs::path out = folder.path() / "fingerprint.bin";
    const Outcome written = kav({"--port", "2", "read", "--fingerprint-out", out.string(),
                                 "--photo-dir", folder.path().string()},
                                kCardsInProcess);
    ASSERT_EQ(written.exit, 0) << written.err;
    EXPECT_NE(written.out.find("fingerprint: 1024 bytes, SHA-256 " + digest), std::string::npos)
        << written.out;
    std::ifstream in(out, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, fingerprint);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // An existing file is refused before anything is read, and stays as it was.
    const Outcome again =
        kav({"--port", "2", "read", "--fingerprint-out", out.string()}, kCardsInProcess);
    EXPECT_EQ(again.exit, 1);
    EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
    EXPECT_EQ(fs::file_size(out), 1024u);

    // A card without fingerprint data: said so, and no file made.
    const fs::path none = folder.path() / "none.bin";
    const Outcome without = kav({"--port", "1", "read", "--json", "--fingerprint-out",
                                 none.string(), "--photo-dir", folder.path().string()},
                                kCardsInProcess);
    EXPECT_EQ(without.exit, 0) << without.err;
    EXPECT_EQ(json(without)["fingerprint"], Json({{"present", false}, {"size", 0}}));
    EXPECT_FALSE(fs::exists(none));
}

// A file that cannot be made once the card is read: the read fails with
// its class, and with --json the error object is what standard output gets.
TEST(KavFingerprint, AFileThatCannotBeMadeAfterTheReadIsAnErrorInEitherForm) {
    TempFolder folder;
    // A name the folder takes no file of (too long): known only on trying.
    const std::string tooLong = (folder.path() / std::string(300, 'f')).string();
    const struct Case { bool json; } cases[] = {{true}, {false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        std::vector<std::string> args{"--port",
                                      "2",
                                      "read",
                                      "--fingerprint-out",
                                      tooLong,
                                      "--photo-dir",
                                      folder.path().string()};
        if (c.json)
            args.push_back("--json");
        const Outcome run = kav(args, kCardsInProcess);
        EXPECT_EQ(run.exit, 7) << run.out << run.err;
        if (c.json) {
            const Json error = json(run)["error"];
            EXPECT_EQ(error["operation"], "--fingerprint-out") << run.out;
            EXPECT_NE(error["text"].get<std::string>().find(tooLong), std::string::npos);
        } else {
            EXPECT_EQ(run.out, "");
            EXPECT_NE(run.err.find("kav: --fingerprint-out: " + tooLong + ": "), std::string::npos)
                << run.err;
        }
    }
}

// Refused before anything is read, as a missing folder is.
TEST(KavAccess, FingerprintOutIntoAFolderThisUserMayNotWriteIsRefusedBeforeTheRead) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempFolder folder;
    const fs::path locked = folder.path() / "locked";
    fs::create_directory(locked);
    ASSERT_EQ(chmod(locked.c_str(), 0500), 0);
    const Outcome run =
        kav({"--port", "2", "--trace", "read", "--fingerprint-out", (locked / "f.bin").string()},
            kCardsInProcess);
    chmod(locked.c_str(), 0700);
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_NE(run.err.find("may not make a file in"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Kav_ReadCard"), std::string::npos) << "read first: " << run.err;
}

TEST(KavAddress, TheNewestAppendedAddressOrNoneIsAResult) {
    const Outcome present = kav({"--port", "3", "address", "--json"}, kCardsInProcess);
    EXPECT_EQ(present.exit, 0) << present.err;
    EXPECT_EQ(json(present), Json({{"present", true}, {"address", "云岭省青石市东湖区梧桐街5号"}}));

    const Outcome absent = kav({"--port", "1", "address"}, kCardsInProcess);
    EXPECT_EQ(absent.exit, 0) << absent.err;
    EXPECT_EQ(absent.out, "no appended address on the card\n");
}

// Both new reads over a real tty, from the tool serving a permit.
TEST(KavOnPty, FingerprintAndAddressFromTheTool) {
    ToolReader tool({"--card", kCards + "/residence-permit.json"});
    ASSERT_FALSE(tool.path().empty());
    TempFolder folder;
    const Outcome read = kav(
        {"read", "--fingerprint", "--json", "--photo-dir", folder.path().string()}, tool.devices());
    ASSERT_EQ(read.exit, 0) << read.out << read.err;
    const Json card = json(read);
    EXPECT_EQ(card["cardType"], "J");
    EXPECT_EQ(card["passNumber"], "H99012345");
    EXPECT_EQ(card["fingerprint"]["sha256"], kav::cli::sha256Hex(synthetic()));

    const Outcome address = kav({"address", "--json"}, tool.devices());
    EXPECT_EQ(address.exit, 0) << address.err;
    EXPECT_EQ(json(address)["address"], "云岭省青石市东湖区梧桐街5号");

    ToolReader none({"--no-card"});
    const Outcome noCard = kav({"address", "--json"}, none.devices());
    EXPECT_EQ(noCard.exit, 5) << noCard.out;
    EXPECT_EQ(json(noCard)["error"]["operation"], "Kav_StartFindIDCard");
}

} // namespace
