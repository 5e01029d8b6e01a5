// The frame monitor and the status line with the real library: the frames of
// a read as the library traces them, and the cause of a failed read.
#include "EndToEndFixture.h"

#include "FrameMonitor.h"

#include <QLabel>

namespace {

bool hasRow(const FrameModel &model, int column, const QString &prefix) {
    for (int row = 0; row < model.rowCount(); ++row)
        if (model.columns(row)[static_cast<std::size_t>(column)].startsWith(prefix))
            return true;
    return false;
}

} // namespace

TEST_F(EndToEndTest, MonitorShowsTheFramesOfAReadWhileOpenAndNothingOnceClosed) {
    dlg->OnFrameMonitor();
    FrameMonitor *monitor = dlg->frameMonitor();
    ASSERT_TRUE(monitor->isListening()) << "the program's library has the trace export";
    EXPECT_EQ(monitor->note(), "");
    click(IDC_READ_CARD);
    const FrameModel &frames = monitor->model();
    QTRY_VERIFY(hasRow(frames, MeaningColumn, "Kav_ReadMsg("));
    EXPECT_TRUE(hasRow(frames, DataColumn, "AA AA AA 96 69 00 03 20 01 22")); // find card
    EXPECT_TRUE(hasRow(frames, DirectionColumn, "←"));
    EXPECT_TRUE(hasRow(frames, LinkColumn, "virtual"));

    monitor->close();
    EXPECT_FALSE(monitor->isListening());
    const int rows = frames.rowCount();
    click(IDC_READ_CARD);
    QCoreApplication::processEvents();
    EXPECT_EQ(frames.rowCount(), rows);
    EXPECT_EQ(messages().size(), 22) << "both reads succeeded";
}

TEST_F(EndToEndTest, StatusSaysNoCardOrThatThePhotoCouldNotBeWritten) {
    auto *status = static_cast<QLabel *>(dlg->GetDlgItem(IDC_STATUS));
    reader(1)->setFault(kav::virt::Fault::NoCard);
    click(IDC_READ_CARD);
    EXPECT_EQ(status->text(), "Kav_StartFindIDCard = 128 (0x80): SAM: 寻卡失败 (无卡)");
    reader(1)->clearFaults();

    const QString photos = inFolder("photos");
    ASSERT_TRUE(QDir().mkdir(photos));
    platform.folderChoice = {FolderChoice::Outcome::Chosen, photos};
    click(IDC_PATH_CHOOSE);
    EXPECT_EQ(status->text(), "");
    ASSERT_TRUE(QDir(photos).removeRecursively()); // gone since it was chosen
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().front(), "读取身份证信息错误!");
    EXPECT_TRUE(status->text().startsWith("Kav_ReadMsg = -10: 照片无法写入"))
        << status->text().toStdString();
}
