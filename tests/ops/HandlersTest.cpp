// The toolkit-free handlers against a recording front end and the fake
// library: the same log lines and status texts every front end shows.
#include "DialogCore.h"
#include "FakeReader.h"
#include "KavIDCardAPI.h"
#include "resource.h"
#include "templates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

class RecordingFrontEnd : public DialogFrontEnd {
  public:
    std::string itemText(int id) const override {
        const auto it = items.find(id);
        return it == items.end() ? std::string() : it->second;
    }
    void setItemText(int id, const std::string &text) override { items[id] = text; }
    void enableItem(int id, bool enable) override {
        calls.push_back("enable(" + std::to_string(id) + "," + (enable ? "1" : "0") + ")");
    }
    void showLogRow(std::chrono::system_clock::time_point, const std::string &message) override {
        log.push_back(message);
    }
    void clearLog() override { log.clear(); }
    void showStatus(const std::string &text) override { status.push_back(text); }
    void pressBegins() override { calls.push_back("pressBegins"); }
    void pressEnds() override { calls.push_back("pressEnds"); }
    void tone(int hz, int ms) override {
        calls.push_back("tone(" + std::to_string(hz) + "," + std::to_string(ms) + ")");
    }
    void pause(int ms) override { calls.push_back("pause(" + std::to_string(ms) + ")"); }
    void messageBox(const std::string &text) override {
        calls.push_back("messageBox(" + text + ")");
    }
    FolderPick chooseFolder(const std::string &prompt) override {
        calls.push_back("chooseFolder(" + prompt + ")");
        return folder;
    }
    std::chrono::system_clock::time_point now() override { return {}; }

    std::map<int, std::string> items{{IDC_PORT, "1"}, {IDC_MAXRF, "80"}};
    std::vector<std::string> log; // in logging order
    std::vector<std::string> status;
    std::vector<std::string> calls;
    FolderPick folder;
};

class Handlers : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    RecordingFrontEnd ui;
    DialogCore dialog{ui};
};

struct PressCase {
    const char *title;
    const char *port; // as typed into IDC_PORT
    DialogCore::Handler handler;
    std::vector<std::pair<const char *, std::vector<int>>> results;
    std::vector<std::string> log;
    const char *status;
    std::vector<std::string> journal; // empty: not checked
};

TEST_F(Handlers, APressLogsItsLinesAndLeavesTheFirstFailureOnTheStatusLine) {
    const PressCase cases[] = {
        {"SAM ID in its text form",
         "1",
         &DialogCore::OnGetSAMID,
         {},
         {"按16字节获得SAM模块ID成功,SAM模块ID为: 21-43-134678021-202050057-2147483648"},
         "",
         {"Kav_OpenPort(1)", "Kav_GetSAMID(1,zeroed,0)", "Kav_ClosePort(1)"}},
        {"an open that fails still closes",
         " +12abc",
         &DialogCore::OnGetSAMStatus,
         {{"Kav_OpenPort", {KAV_E_NO_DEVICE}}},
         {"打开端口错误"},
         "Kav_OpenPort = -1",
         {"Kav_OpenPort(12)", "Kav_ClosePort(12)"}},
        {"the rate box read by the number-entry rules",
         "99999999999",
         &DialogCore::OnSetMaxRF,
         {{"Kav_GetSAMStatus", {KAV_E_TIMEOUT}}},
         {"端口 2147483647 上没有连接读卡器!"},
         "Kav_GetSAMStatus = -6",
         {"Kav_OpenPort(2147483647)", "Kav_GetSAMStatus(2147483647,0)",
          "Kav_ClosePort(2147483647)"}},
        {"no card: find is named, the read still tried",
         "7",
         &DialogCore::OnReadCard,
         {{"Kav_StartFindIDCard", {0x80}}, {"Kav_ReadMsg", {0x41}}},
         {"读取身份证信息错误!"},
         "Kav_StartFindIDCard = 128",
         {}},
        {"a photo setting with its result code",
         "1",
         &DialogCore::OnTypeJpeg,
         {{"Kav_SetPhotoType", {KAV_E_INTERNAL}}},
         {"照片保存格式设置失败,nRet = -13"},
         "Kav_SetPhotoType = -13",
         {"Kav_SetPhotoType(1)"}},
    };
    for (const PressCase &c : cases) {
        SCOPED_TRACE(c.title);
        fake::reset();
        fake::setSamId({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                        0x00, 0x00, 0x00, 0x80});
        for (const auto &[operation, results] : c.results)
            fake::script(operation, results);
        ui.log.clear();
        ui.status.clear();
        ui.calls.clear();
        ui.items[IDC_PORT] = c.port;
        dialog.runHandler(c.handler);
        EXPECT_EQ(ui.log, c.log);
        // The status names the first failed call; its text is the code table's.
        ASSERT_EQ(ui.status.size(), 1u);
        if (*c.status)
            EXPECT_TRUE(ui.status[0].starts_with(std::string(c.status) + ":") ||
                        ui.status[0].starts_with(std::string(c.status) + " ("))
                << ui.status[0];
        else
            EXPECT_EQ(ui.status[0], "");
        EXPECT_EQ(ui.calls, (std::vector<std::string>{"pressBegins", "pressEnds"}));
        if (!c.journal.empty()) {
            EXPECT_EQ(fake::journal(), c.journal);
        }
    }
}

TEST_F(Handlers, AReadThatRefusesFindStillSelectsAndReads) {
    fake::script("Kav_StartFindIDCard", {0x80});
    ui.items[IDC_PORT] = "7";
    dialog.runHandler(&DialogCore::OnReadCard);
    const std::vector<std::string> journal = fake::journal();
    ASSERT_GE(journal.size(), 6u);
    const std::vector<std::string> tail(journal.end() - 6, journal.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Kav_OpenPort(7)", "Kav_SetMaxRFByte(7,80,0)",
                                              "Kav_StartFindIDCard(7,zeroed,0)",
                                              "Kav_SelectIDCard(7,zeroed,0)",
                                              "Kav_ReadMsg(7,0,zeroed)", "Kav_ClosePort(7)"}));
}

TEST_F(Handlers, AChosenFolderWithoutAnExactFormReachesNoLibraryCall) {
    const struct {
        const char *title;
        FolderPick pick;
        std::vector<std::string> log;
    } cases[] = {
        {"no exact UTF-8 name", {FolderPick::Outcome::Chosen, std::nullopt}, {"选取路径失败！"}},
        {"a character GBK lacks",
         {FolderPick::Outcome::Chosen, "/tmp/\U0001F600"},
         {"选取路径失败！"}},
        {"cancelled", {FolderPick::Outcome::Cancelled, std::nullopt}, {"没有选取路径！"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        fake::reset();
        ui.log.clear();
        ui.folder = c.pick;
        dialog.runHandler(&DialogCore::OnPathChoose);
        EXPECT_EQ(ui.log, c.log);
        EXPECT_TRUE(fake::journal().empty());
    }
}

TEST_F(Handlers, AChosenFolderGoesToTheLibraryInGbkAndIsLoggedAsChosen) {
    ui.folder = {FolderPick::Outcome::Chosen, "/tmp/照片"};
    dialog.runHandler(&DialogCore::OnPathChoose);
    EXPECT_EQ(ui.log, std::vector<std::string>{"照片存放路径设置为 /tmp/照片,nRet = 0"});
    EXPECT_EQ(fake::journal(),
              std::vector<std::string>{"Kav_SetPhotoPath(2,\"/tmp/\xD5\xD5\xC6\xAC\")"});
}

TEST_F(Handlers, AUsbReaderDisablesTheRateBoxesAndIsAnnouncedWithTheTone) {
    fake::script("Kav_FindReader", {1001});
    dialog.runHandler(&DialogCore::OnFindReader);
    EXPECT_EQ(ui.log, std::vector<std::string>{"读卡器连接在USB端口 1001"});
    EXPECT_EQ(ui.items[IDC_PORT], "1001");
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"pressBegins", "tone(4000,200)",
                                                  "enable(" + std::to_string(IDC_BAUD) + ",0)",
                                                  "enable(" + std::to_string(IDC_SET_BAUD) + ",0)",
                                                  "pressEnds"}));
}

int KAV_CALL nextMajorVersion(int *major, int *minor, int *patch) {
    *major = KAV_VERSION_MAJOR + 1;
    *minor = 0;
    *patch = 0;
    return KAV_OK;
}

int KAV_CALL builtVersion(int *major, int *minor, int *patch) {
    *major = KAV_VERSION_MAJOR;
    *minor = KAV_VERSION_MINOR;
    *patch = KAV_VERSION_PATCH;
    return KAV_OK;
}

TEST_F(Handlers, TheStartSaysALibraryVersionItWasNotBuiltFor) {
    const std::string problem = kav::host::libraryVersionProblem(nextMajorVersion);
    ASSERT_FALSE(problem.empty());
    const std::string configuration = "读卡器库配置有误: KAVIDCARD_DEVICES: ignored \"x\"";
    const struct {
        kav::host::VersionGetter version;
        bool warned;
        std::string status;
    } cases[] = {
        {nextMajorVersion, false, problem},
        {nextMajorVersion, true, problem + "; " + configuration},
        // As ever when the library suits or cannot tell.
        {builtVersion, false, ""},
        {nullptr, true, configuration},
    };
    for (const auto &c : cases) {
        fake::setWarnings(
            c.warned
                ? std::vector<std::pair<int, std::string>>{{KAV_NO_PORT,
                                                            "KAVIDCARD_DEVICES: ignored \"x\""}}
                : std::vector<std::pair<int, std::string>>{});
        ui.status.clear();
        dialog.readLibraryWarnings(kav::host::warningGetterExport(), c.version);
        EXPECT_EQ(ui.status, std::vector<std::string>{c.status}) << c.status;
    }
}

TEST_F(Handlers, TheStatusCarriesThePortsWarningAndTheStartSaysTheOthers) {
    fake::setWarnings({{KAV_NO_PORT, "KAVIDCARD_DEVICES: ignored \"x\""},
                       {3, "card file /no/such.json: missing"}});
    dialog.readLibraryWarnings(kav::host::warningGetterExport());
    ASSERT_EQ(ui.status,
              std::vector<std::string>{"读卡器库配置有误: KAVIDCARD_DEVICES: ignored \"x\""});
    fake::script("Kav_OpenPort", {KAV_E_NO_DEVICE});
    ui.items[IDC_PORT] = "3";
    dialog.runHandler(&DialogCore::OnResetSAM);
    EXPECT_TRUE(ui.status.back().starts_with("Kav_OpenPort = -1:")) << ui.status.back();
    EXPECT_TRUE(ui.status.back().ends_with("; 端口 3: card file /no/such.json: missing"))
        << ui.status.back();
}

TEST_F(Handlers, EveryButtonOfTheTemplateRunsItsOwnHandler) {
    // By what the press does, so that two rows swapped or one missing show.
    const struct {
        int id;
        const char *firstLog; // the first row the press logs; empty: the log is cleared
    } cases[] = {
        {IDC_PATH_ROOT, "照片存放路径设置为 C:"},
        {IDC_PATH_CURRENT, "照片存放路径设置为 当前路径"},
        {IDC_PATH_CHOOSE, "没有选取路径！"},
        {IDC_TYPE_BMP, "照片保存格式设置为 Bmp"},
        {IDC_TYPE_JPEG, "照片保存格式设置为 Jpeg"},
        {IDC_TYPE_BASE64, "照片保存格式设置为 Base64"},
        {IDC_NAME_TMP, "照片保存文件名格式设置为 tmp"},
        {IDC_NAME_NAME, "照片保存文件名格式设置为 姓名,"},
        {IDC_NAME_IDNO, "照片保存文件名格式设置为 身份证号"},
        {IDC_NAME_BOTH, "照片保存文件名格式设置为 姓名_身份证号"},
        {IDC_FIND_READER, "没有找打读卡器"}, // the fake has none by default
        {IDC_SET_MAXRF, "设置最大通讯字节数成功"},
        {IDC_SET_BAUD, "设置读卡器波特率成功"},
        {IDC_RESET_SAM, "复位SAM模块成功"},
        {IDC_SAM_ID, "按16字节获得SAM模块ID成功"},
        {IDC_SAM_STATUS, "SAM模块状态正常"},
        {IDC_READ_CARD, "读取身份证信息成功!"},
        {IDC_CLEAR_LOG, ""},
    };
    std::vector<int> routed;
    for (const auto &route : DialogCore::messageMap())
        routed.push_back(route.id);
    std::vector<int> buttons;
    for (const res::ControlTemplate &control : res::mainDialog().controls)
        if (control.kind == res::ControlKind::PushButton && control.id != IDCANCEL)
            buttons.push_back(control.id);
    std::sort(routed.begin(), routed.end());
    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(routed, buttons);
    EXPECT_EQ(std::size(cases), buttons.size());

    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        fake::reset();
        ui.log = {"an earlier row"};
        const DialogCore::Handler handler = DialogCore::routeFor(c.id);
        ASSERT_NE(handler, nullptr);
        dialog.runHandler(handler);
        if (*c.firstLog == '\0') {
            EXPECT_TRUE(ui.log.empty());
        } else {
            ASSERT_GE(ui.log.size(), 2u);
            EXPECT_TRUE(ui.log[1].starts_with(c.firstLog)) << ui.log[1];
        }
    }
    // Neither the close button nor an edit box runs a handler.
    for (const int id : {int(IDCANCEL), int(IDC_PORT), int(IDC_LOG), 0})
        EXPECT_EQ(DialogCore::routeFor(id), nullptr) << id;
}

} // namespace
