// The same buttons over a real tty: a virtual reader served on a
// pseudo-terminal that the library opens as a serial device.
#include "EndToEndFixture.h"

#include <QImage>

class PtyEndToEndTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string error;
        ASSERT_TRUE(pty.start(devices.filePath("reader-tty").toStdString(), &error)) << error;
        served = pty.reader;
        mapDevices("defaults=off,5=" + pty.link);
        type(IDC_PORT, "5");
    }
    void TearDown() override {
        Kav_ClosePort(5);
        pty.stop();
        EndToEndTest::TearDown();
    }

    ServedReader pty;
    std::shared_ptr<kav::virt::VirtualReader> served;
};

TEST_F(PtyEndToEndTest, FindReadAndSamCommands) {
    click(IDC_FIND_READER);
    EXPECT_EQ(messages().first(), "读卡器连接在串口 5,当前SAM波特率为 115200");
    click(IDC_READ_CARD);
    ASSERT_EQ(messages().size(), 1 + 11);
    EXPECT_EQ(messages().at(9), "姓名:林晓航");
    EXPECT_EQ(QImage(inFolder("tmp.bmp")).size(), QSize(102, 126));
    click(IDC_RESET_SAM);
    click(IDC_SAM_STATUS);
    click(IDC_SAM_ID);
    EXPECT_EQ(messages().mid(0, 3),
              (QStringList{"按16字节获得SAM模块ID成功,SAM模块ID为: 05-01-20069995-12345-1234567890",
                           "SAM模块状态正常", "复位SAM模块成功"}));
}

TEST_F(PtyEndToEndTest, LinkSettings) {
    click(IDC_FIND_READER);
    type(IDC_MAXRF, "120");
    click(IDC_SET_MAXRF);
    EXPECT_EQ(messages().first(), "设置最大通讯字节数成功,最大通讯字节数为 120");
    EXPECT_EQ(served->maxRfBytes(), 120);
    type(IDC_BAUD, "38400");
    click(IDC_SET_BAUD);
    EXPECT_EQ(messages().first(), "设置读卡器波特率成功,当前波特率为 38400 ");
    EXPECT_EQ(served->baudRate(), 38400u);
    click(IDC_FIND_READER);
    EXPECT_EQ(messages().first(), "读卡器连接在串口 5,当前SAM波特率为 38400");
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().at(10), "读取身份证信息成功!");
}
