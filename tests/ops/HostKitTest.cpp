// The host kit's read sequence and port session, against the fake library.
#include "FakeReader.h"
#include "KavIDCardAPI.h"
#include "card_fields.h"
#include "port_session.h"
#include "read_sequence.h"
#include "sam_id.h"
#include "version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using kav::host::AfterRefusal;

TEST(HostKit, TheReadSequenceStopsOrGoesOnAfterARefusalAndNamesTheEarliestStep) {
    const struct {
        const char *title;
        AfterRefusal after;
        std::vector<std::pair<const char *, int>> results;
        std::vector<std::string> journal;
        const char *failedCall; // nullptr: none failed
        int failedCode;
    } cases[] = {
        {"all well",
         AfterRefusal::Stop,
         {},
         {"Kav_SetMaxRFByte(4,80,0)", "Kav_StartFindIDCard(4,zeroed,0)",
          "Kav_SelectIDCard(4,zeroed,0)", "Kav_ReadMsg(4,0,zeroed)"},
         nullptr,
         KAV_OK},
        {"no card, a script stops",
         AfterRefusal::Stop,
         {{"Kav_StartFindIDCard", 0x80}},
         {"Kav_SetMaxRFByte(4,80,0)", "Kav_StartFindIDCard(4,zeroed,0)"},
         "Kav_StartFindIDCard",
         0x80},
        {"no card, the dialog goes on to the read",
         AfterRefusal::GoOn,
         {{"Kav_StartFindIDCard", 0x80}, {"Kav_ReadMsg", 0x41}},
         {"Kav_SetMaxRFByte(4,80,0)", "Kav_StartFindIDCard(4,zeroed,0)",
          "Kav_SelectIDCard(4,zeroed,0)", "Kav_ReadMsg(4,0,zeroed)"},
         "Kav_StartFindIDCard",
         0x80},
        {"a refused exchange size ends it either way",
         AfterRefusal::GoOn,
         {{"Kav_SetMaxRFByte", KAV_E_BAD_ARGUMENT}},
         {"Kav_SetMaxRFByte(4,80,0)"},
         "Kav_SetMaxRFByte",
         KAV_E_BAD_ARGUMENT},
        {"only the read fails",
         AfterRefusal::Stop,
         {{"Kav_ReadMsg", KAV_E_PHOTO_WRITE}},
         {"Kav_SetMaxRFByte(4,80,0)", "Kav_StartFindIDCard(4,zeroed,0)",
          "Kav_SelectIDCard(4,zeroed,0)", "Kav_ReadMsg(4,0,zeroed)"},
         "Kav_ReadMsg",
         KAV_E_PHOTO_WRITE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        fake::reset();
        for (const auto &[operation, result] : c.results)
            fake::script(operation, {result});
        IDCardRecord record{};
        const kav::host::ReadSteps steps = kav::host::readCard(4, record, c.after);
        EXPECT_EQ(fake::journal(), c.journal);
        if (c.failedCall == nullptr) {
            EXPECT_EQ(steps.failedCall(), nullptr);
        } else {
            EXPECT_STREQ(steps.failedCall(), c.failedCall);
        }
        EXPECT_EQ(steps.failedCode(), c.failedCode);
        EXPECT_EQ(steps.ok(), c.failedCall == nullptr);
    }
}

TEST(HostKit, APortSessionClosesItsPortAlsoWhenTheOpenFailed) {
    for (const int opened : {KAV_OK, KAV_E_BUSY}) {
        SCOPED_TRACE(opened);
        fake::reset();
        fake::script("Kav_OpenPort", {opened});
        {
            const kav::host::PortSession session(5);
            EXPECT_EQ(session.openResult(), opened);
            EXPECT_EQ(session.isOpen(), opened == KAV_OK);
            EXPECT_EQ(fake::journal(), std::vector<std::string>{"Kav_OpenPort(5)"});
        }
        EXPECT_EQ(fake::journal(),
                  (std::vector<std::string>{"Kav_OpenPort(5)", "Kav_ClosePort(5)"}));
    }
}

TEST(HostKit, TheSamIdTextKeepsEveryNumberUnsigned) {
    KavSamId id{};
    const unsigned char bytes[] = {0x0A, 0x00, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(id.bytes, bytes, sizeof bytes);
    EXPECT_EQ(kav::host::samIdText(id), "0A-1FF-4294967295-1-0");
}

struct ScriptedVersion {
    int result = KAV_OK;
    int major = 0, minor = 0, patch = 0;
};
ScriptedVersion scriptedVersion;

int KAV_CALL scriptedGetVersion(int *major, int *minor, int *patch) {
    *major = scriptedVersion.major;
    *minor = scriptedVersion.minor;
    *patch = scriptedVersion.patch;
    return scriptedVersion.result;
}

TEST(HostKit, TheVersionCheckWarnsOfAnOtherMajorOrAnOlderMinorOnly) {
    const int major = KAV_VERSION_MAJOR, minor = KAV_VERSION_MINOR;
    const std::string built = std::to_string(major) + "." + std::to_string(minor) + "." +
                              std::to_string(KAV_VERSION_PATCH);
    const struct {
        const char *what;
        ScriptedVersion loaded;
        std::string problem;
    } cases[] = {
        {"the same", {KAV_OK, major, minor, KAV_VERSION_PATCH}, ""},
        {"a newer minor, an older patch", {KAV_OK, major, minor + 1, 0}, ""},
        {"an older minor", {KAV_OK, major, minor - 1, 7}, "X"},
        {"the next major", {KAV_OK, major + 1, 0, 0}, "X"},
        {"an older major", {KAV_OK, major - 1, minor + 3, 0}, "X"},
        {"a library that cannot say", {KAV_E_BAD_ARGUMENT, major + 1, 0, 0}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scriptedVersion = c.loaded;
        const std::string expected =
            c.problem.empty()
                ? ""
                : "the reader library is " + std::to_string(c.loaded.major) + "." +
                      std::to_string(c.loaded.minor) + "." + std::to_string(c.loaded.patch) +
                      "; this program was built for " + built;
        EXPECT_EQ(kav::host::libraryVersionProblem(scriptedGetVersion), expected);
    }
    // A library from before the export: hosts have always used it.
    EXPECT_EQ(kav::host::libraryVersionProblem(nullptr), "");
}

TEST(HostKit, TheRecordsFieldsAreItsGbkTextInTheLogsOrder) {
    IDCardRecord record{};
    std::memcpy(record.name, "\xD5\xC5\xC8\xFD", 4);             // 张三
    std::memset(record.photoFile, 'p', sizeof record.photoFile); // no NUL: the span ends it
    const std::vector<kav::host::CardField> fields = kav::host::recordFields(record);
    ASSERT_EQ(fields.size(), 10u);
    EXPECT_STREQ(fields.front().label, "姓名");
    EXPECT_EQ(fields.front().value, "张三");
    EXPECT_STREQ(fields.back().label, "照片");
    EXPECT_EQ(fields.back().value, std::string(sizeof record.photoFile, 'p'));
}

} // namespace
