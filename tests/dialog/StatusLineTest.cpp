// Around the log lines: the status line that names the last failed call, the
// input dropped while a handler holds the window, the context menu's new
// entries and the log saved to a file.
#include "DialogFixture.h"

#include "FrameMonitor.h"
#include "LibraryWarnings.h"
#include "ResultTexts.h"
#include "result_codes.h"

#include <QAccessible>

#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>

namespace {

QString statusText(const CVelkartDlg &dlg) {
    return static_cast<QLabel *>(dlg.GetDlgItem(IDC_STATUS))->text();
}

long countCalls(const Calls &journal, const std::string &prefix) {
    return std::count_if(journal.begin(), journal.end(),
                         [&prefix](const std::string &c) { return c.rfind(prefix, 0) == 0; });
}

} // namespace

// ---- The status line -----------------------------------------------------------

struct StatusCase {
    const char *title;
    int button;
    std::vector<std::pair<const char *, int>> results;
    const char *status;
};

void PrintTo(const StatusCase &c, std::ostream *os) {
    *os << c.title;
}

class StatusLineTest : public DialogTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusLineTest, NamesTheFirstFailedCallItsCodeAndItsMeaning) {
    const StatusCase &c = GetParam();
    for (const auto &[operation, result] : c.results)
        fake::script(operation, {result});
    fake::setBaud(9600);
    click(c.button);
    EXPECT_EQ(statusText(*dlg), QString::fromUtf8(c.status));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusLineTest,
    ::testing::Values(
        StatusCase{"read: permission",
                   IDC_READ_CARD,
                   {{"Kav_OpenPort", KAV_E_PERMISSION}},
                   "Kav_OpenPort = -2: 无权打开设备 (设备权限不足: "
                   "请把用户加入设备所属的组,如 dialout)"},
        StatusCase{"read: the silent 80-byte setting",
                   IDC_READ_CARD,
                   {{"Kav_SetMaxRFByte", KAV_E_TIMEOUT}},
                   "Kav_SetMaxRFByte = -6: 读卡器没有及时应答 (检查连接和波特率)"},
        StatusCase{
            "read: no card is said, not the read that followed",
            IDC_READ_CARD,
            {{"Kav_StartFindIDCard", 0x80}, {"Kav_SelectIDCard", 0x81}, {"Kav_ReadMsg", 0x41}},
            "Kav_StartFindIDCard = 128 (0x80): SAM: 寻卡失败 (无卡)"},
        StatusCase{"read: the photo",
                   IDC_READ_CARD,
                   {{"Kav_ReadMsg", KAV_E_PHOTO_WRITE}},
                   "Kav_ReadMsg = -10: 照片无法写入 (文件夹已删除、磁盘已满或权限不足)"},
        StatusCase{"read: find failed but the read succeeded",
                   IDC_READ_CARD,
                   {{"Kav_StartFindIDCard", 0x80}},
                   ""},
        StatusCase{"reset: self-test",
                   IDC_RESET_SAM,
                   {{"Kav_ResetSAM", 0x60}},
                   "Kav_ResetSAM = 96 (0x60): SAM: 自检失败,不接受命令"},
        StatusCase{"id: not authorised",
                   IDC_SAM_ID,
                   {{"Kav_GetSAMID", 0x66}},
                   "Kav_GetSAMID = 102 (0x66): SAM: 未经授权"},
        StatusCase{"max rf: the status check",
                   IDC_SET_MAXRF,
                   {{"Kav_GetSAMStatus", KAV_E_IO}},
                   "Kav_GetSAMStatus = -5: 通讯链路故障 (设备被拔出或断开)"},
        StatusCase{"find: nothing answered",
                   IDC_FIND_READER,
                   {},
                   "Kav_FindReader = 0: 没有读卡器应答 (检查连接、端口映射和设备权限)"},
        StatusCase{"find: the baud query",
                   IDC_FIND_READER,
                   {{"Kav_FindReader", 3}, {"Kav_GetCOMBaud", KAV_E_BAD_FRAME}},
                   "Kav_GetCOMBaud = -7: 应答长度或校验和错误"},
        StatusCase{"photo folder refused",
                   IDC_PATH_ROOT,
                   {{"Kav_SetPhotoPath", KAV_E_BAD_ARGUMENT}},
                   "Kav_SetPhotoPath = -8: 照片存放路径不可用 "
                   "(文件夹不存在、不是文件夹、不可写或路径过长)"},
        StatusCase{"photo type",
                   IDC_TYPE_JPEG,
                   {{"Kav_SetPhotoType", KAV_E_INTERNAL}},
                   "Kav_SetPhotoType = -13: 读卡器库内部错误"},
        StatusCase{"photo name",
                   IDC_NAME_BOTH,
                   {{"Kav_SetPhotoName", -99}},
                   "Kav_SetPhotoName = -99: 未知的结果代码"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST_F(DialogTest, StatusIsEmptyAtStartNamedForScreenReadersAndClearsOnTheNextSuccess) {
    auto *status = qobject_cast<QLabel *>(dlg->GetDlgItem(IDC_STATUS));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->accessibleName(), "状态");
    EXPECT_EQ(status->text(), "");
    // Under the bottom row of buttons, across the dialog.
    EXPECT_GT(status->geometry().top(), button(IDC_READ_CARD)->geometry().bottom());
    EXPECT_LE(status->geometry().bottom(), dlg->height());

    fake::script("Kav_GetSAMStatus", {KAV_E_TIMEOUT, KAV_OK});
    click(IDC_SAM_STATUS);
    EXPECT_EQ(status->text(), "Kav_GetSAMStatus = -6: 读卡器没有及时应答 (检查连接和波特率)");
    click(IDC_SAM_STATUS);
    EXPECT_EQ(status->text(), "");
    EXPECT_EQ(messages(), (QStringList{"SAM模块状态正常", "获得SAM模块状态失败"}));
}

TEST(ResultTexts, EveryCodeOfTheLibraryAndTheSamHasItsOwnText) {
    const QString unknown = resultText(-12345);
    QSet<QString> seen;
    for (const kav::results::Code &row : kav::results::table()) {
        SCOPED_TRACE(row.name);
        const QString text = resultText(row.value);
        EXPECT_EQ(text, QString::fromUtf8(row.chinese));
        EXPECT_NE(text, unknown);
        EXPECT_FALSE(seen.contains(text)) << text.toStdString();
        seen.insert(text);
    }
    EXPECT_EQ(resultText(KAV_SW_NO_CONTENT), "SAM: 证件内无此内容");
    EXPECT_EQ(resultText(KAV_E_UNKNOWN_LAYOUT), "读卡器库不认识此证件的格式");
}

// ---- Busy: input given during a handler is dropped --------------------------------

struct ImpatientCase {
    const char *title;
    int button;
    const char *operation; // where the handler blocks
    bool keys;             // Space on the focused button instead of mouse clicks
};

void PrintTo(const ImpatientCase &c, std::ostream *os) {
    *os << c.title;
}

class ImpatientUserTest : public DialogTest, public ::testing::WithParamInterface<ImpatientCase> {};

TEST_P(ImpatientUserTest, TenPressesDuringAHandlerRunItOnceUnderAWaitCursor) {
    const ImpatientCase &c = GetParam();
    QPushButton *target = qobject_cast<QPushButton *>(button(c.button));
    std::vector<Qt::CursorShape> cursors;
    fake::during(c.operation, [&] {
        QCursor *cursor = QApplication::overrideCursor();
        cursors.push_back(cursor != nullptr ? cursor->shape() : Qt::ArrowCursor);
        if (cursors.size() > 1)
            return;
        // Typing meanwhile changes no box either.
        QCoreApplication::postEvent(
            edit(IDC_MAXRF), new QKeyEvent(QEvent::KeyPress, Qt::Key_9, Qt::NoModifier, "9"));
        // What the window system queues while the handler holds the thread.
        const QPointF centre = QRectF(target->rect()).center();
        for (int i = 0; i < 10; ++i) {
            if (c.keys) {
                QCoreApplication::postEvent(
                    target, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " "));
                QCoreApplication::postEvent(
                    target, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " "));
            } else {
                for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                    QCoreApplication::postEvent(
                        target,
                        new QMouseEvent(type, centre, target->mapToGlobal(centre), Qt::LeftButton,
                                        type == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                         : Qt::NoButton,
                                        Qt::NoModifier));
            }
        }
    });
    target->setFocus();
    click(c.button);
    QCoreApplication::processEvents(); // anything left would run now

    EXPECT_EQ(countCalls(calls(), c.operation), 1);
    EXPECT_EQ(edit(IDC_MAXRF)->text(), "80");
    EXPECT_EQ(cursors, std::vector<Qt::CursorShape>{Qt::WaitCursor});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The window takes input again once the handler is done.
    fake::during(c.operation, [] {});
    click(c.button);
    EXPECT_EQ(countCalls(calls(), c.operation), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpatientUserTest,
    ::testing::Values(ImpatientCase{"read, clicks", IDC_READ_CARD, "Kav_ReadMsg", false},
                      ImpatientCase{"read, keys", IDC_READ_CARD, "Kav_ReadMsg", true},
                      ImpatientCase{"reset, clicks", IDC_RESET_SAM, "Kav_ResetSAM", false},
                      ImpatientCase{"find, clicks", IDC_FIND_READER, "Kav_FindReader", false}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

// ---- Context menu: frame monitor and saving the log --------------------------------

// A press can reach a button without passing the window's input, while the
// handler waits in a modal picker: an accessibility client's press action
// clicks it directly. It runs nothing.
TEST_F(DialogTest, APressWhileAHandlerWaitsInAPickerRunsNothing) {
    platform.onCall = [this](const std::string &call) {
        fake::note(call);
        if (call.starts_with("chooseFolder"))
            button(IDC_READ_CARD)->click();
    };
    click(IDC_PATH_CHOOSE);
    EXPECT_EQ(calls(), Calls{"chooseFolder(请选择照片存放路径路径)"});
    EXPECT_EQ(messages(), QStringList{"没有选取路径！"});
}

TEST_F(DialogTest, MenuOffersMonitorAndSaveBeforeTheSeparatorOfTheAboutEntry) {
    QStringList shown;
    for (QAction *a : dlg->systemMenu()->actions())
        shown << (a->isSeparator() ? QStringLiteral("--") : a->text());
    EXPECT_EQ(shown, (QStringList{"关闭(&C)", "通讯监视(&M)...", "保存日志(&S)...", "--",
                                  "关于 Velkart(&A)..."}));
}

TEST_F(DialogTest, CtrlMOpensOneMonitorThatSaysTheLibraryReportsNoFrames) {
    QTest::keyClick(dlg.get(), Qt::Key_M, Qt::ControlModifier);
    FrameMonitor *monitor = dlg->frameMonitor();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_TRUE(monitor->isWindow());
    EXPECT_FALSE(monitor->isModal());
    EXPECT_EQ(monitor->windowTitle(), "通讯监视 - Velkart");
    // The fake library has no trace callback.
    EXPECT_FALSE(monitor->isListening());
    EXPECT_EQ(monitor->note(), "所用的读卡器库不报告通讯帧 (没有 Kav_SetTraceCallback)");
    click(IDC_SAM_STATUS);
    EXPECT_EQ(monitor->model().rowCount(), 0);
    monitor->close();
    dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    QTest::keyClick(dlg.get(), Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(dlg->frameMonitor(), monitor);
    EXPECT_TRUE(monitor->isVisible());
}

TEST_F(DialogTest, SaveLogWritesUtf8RowsInTheOrderShownUnderADatedName) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    dlg->AddLog("第一行");
    platform.clock = platform.clock.addSecs(1);
    dlg->AddLog("second\tline");

    platform.saveFile = ""; // cancelled: nothing written
    dlg->OnSaveLog();
    platform.saveFile = folder.filePath("log.txt");
    dlg->OnSaveLog();

    EXPECT_EQ(platform.calls, (std::vector<std::string>(
                                  2, "chooseSaveFile(保存日志,velkart-20261207-093006.log)")));
    QFile file(platform.saveFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              "2026-12-07 09:30:06\tsecond\tline\n2026-12-07 09:30:05\t第一行\n");
    EXPECT_EQ(messages().size(), 2) << "saving logs nothing";
}

// ---- What the library warns about its configuration ------------------------------

namespace {

const std::vector<std::pair<int, std::string>> kWarnings{
    {0, "KAVIDCARD_DEVICES: ignored \"garbage\": expected <port>=<device>"},
    {1, "card file /no/such.json: No such file or directory"},
    {0, "KAVIDCARD_DEVICES: ignored \"1=\": expected <port>=<device>"},
    {2, "card file /tmp/bad.json: not valid JSON"},
};

} // namespace

class LibraryWarningsTest : public DialogTest {
  protected:
    // The dialog reads the warnings as it starts: start it again.
    void restartWith(const std::vector<std::pair<int, std::string>> &warnings) {
        fake::setWarnings(warnings);
        dlg = std::make_unique<CVelkartDlg>(platform);
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }
};

TEST_F(LibraryWarningsTest, StatusSaysAtStartWhatTheLibraryIgnoredThenClearsOnSuccess) {
    restartWith(kWarnings);
    EXPECT_EQ(statusText(*dlg),
              "读卡器库配置有误: KAVIDCARD_DEVICES: ignored \"garbage\": expected "
              "<port>=<device>; KAVIDCARD_DEVICES: ignored \"1=\": expected <port>=<device>");
    click(IDC_SAM_STATUS);
    EXPECT_EQ(statusText(*dlg), "");
}

TEST_F(LibraryWarningsTest, NothingToSayAtStartWithoutWarningsOrWithoutTheExport) {
    restartWith({{1, "card file /no/such.json: No such file or directory"}});
    EXPECT_EQ(statusText(*dlg), "") << "a card file is said when a call on its port fails";
    EXPECT_TRUE(libraryWarnings(nullptr).isEmpty());
}

TEST_F(LibraryWarningsTest, AFailedCallOnAPortCarriesThatPortsWarnings) {
    const struct {
        const char *title;
        const char *port;
        int button;
        std::vector<std::pair<const char *, int>> results;
        const char *status;
    } cases[] = {
        {"read on port 1",
         "1",
         IDC_READ_CARD,
         {{"Kav_StartFindIDCard", 0x80}, {"Kav_ReadMsg", 0x41}},
         "Kav_StartFindIDCard = 128 (0x80): SAM: 寻卡失败 (无卡); "
         "端口 1: card file /no/such.json: No such file or directory"},
        {"status on port 2",
         "2",
         IDC_SAM_STATUS,
         {{"Kav_GetSAMStatus", KAV_E_TIMEOUT}},
         "Kav_GetSAMStatus = -6: 读卡器没有及时应答 (检查连接和波特率); "
         "端口 2: card file /tmp/bad.json: not valid JSON"},
        {"a port without warnings",
         "3",
         IDC_READ_CARD,
         {{"Kav_OpenPort", KAV_E_NO_DEVICE}},
         "Kav_OpenPort = -1: 端口上没有设备 (检查连接和端口映射 (KAVIDCARD_DEVICES))"},
        {"a call that takes no port",
         "1",
         IDC_TYPE_JPEG,
         {{"Kav_SetPhotoType", KAV_E_INTERNAL}},
         "Kav_SetPhotoType = -13: 读卡器库内部错误"},
    };
    restartWith(kWarnings);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title);
        type(IDC_PORT, c.port);
        for (const auto &[operation, result] : c.results)
            fake::script(operation, {result});
        click(c.button);
        EXPECT_EQ(statusText(*dlg), QString::fromUtf8(c.status));
    }
}

TEST_F(DialogTest, ScreenReadersGetTheStatusText) {
    QWidget *status = dlg->GetDlgItem(IDC_STATUS);
    const auto text = [status](QAccessible::Text which) {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(status);
        return accessible != nullptr ? accessible->text(which) : QStringLiteral("(none)");
    };
    fake::script("Kav_ResetSAM", {0x60});
    click(IDC_RESET_SAM);
    EXPECT_EQ(text(QAccessible::Name), "状态");
    EXPECT_EQ(text(QAccessible::Description), statusText(*dlg));
    EXPECT_FALSE(statusText(*dlg).isEmpty());
    click(IDC_RESET_SAM);
    EXPECT_EQ(text(QAccessible::Description), "");
}
