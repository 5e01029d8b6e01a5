// The host kit's read sequence and port session, against the fake library.
#include "FakeReader.h"
#include "KavIDCardAPI.h"
#include "card_fields.h"
#include "port_session.h"
#include "read_sequence.h"
#include "sam_id.h"

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
