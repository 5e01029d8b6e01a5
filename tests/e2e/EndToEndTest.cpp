// Every button of the program against virtual readers in process.
#include "EndToEndFixture.h"

#include <QImage>
#include <QLabel>

namespace {

const QString kRead = QStringLiteral("使用结构体返回信息");

// The eleven lines of a read, as shown: newest first.
QStringList readLines(const QStringList &fields) {
    QStringList lines = fields;
    std::reverse(lines.begin(), lines.end());
    lines << QStringLiteral("读取身份证信息成功!");
    return lines;
}

} // namespace

TEST_F(EndToEndTest, FindThenReadTheOrdinaryCard) {
    click(IDC_FIND_READER);
    EXPECT_EQ(messages(), QStringList{"读卡器连接在串口 1,当前SAM波特率为 115200"});
    EXPECT_EQ(edit(IDC_PORT)->text(), "1");
    EXPECT_EQ(edit(IDC_BAUD)->text(), "115200");
    EXPECT_TRUE(button(IDC_SET_BAUD)->isEnabled());
    EXPECT_EQ(platform.calls, (std::vector<std::string>{"tone(4000,200)", "pause(200)"}));

    click(IDC_CLEAR_LOG);
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(),
              readLines({"姓名:林晓航", "性别:男", "民族:汉", "出生:1988年05月12日",
                         "住址:云岭省青石市清河区杏林路18号", "身份证号:990102198805120135",
                         "发证机关:青石市公安局清河分局", "有效期开始:2015.06.10",
                         "有效期结束:2035/06/10", "照片:" + inFolder("tmp.bmp")}));
    const QImage photo(inFolder("tmp.bmp"));
    EXPECT_EQ(photo.size(), QSize(102, 126));
    EXPECT_EQ(photoFiles(), QStringList{"tmp.bmp"});
}

TEST_F(EndToEndTest, EveryCardReadsAsAPersonWouldReadIt) {
    struct Case {
        int port;
        QStringList some; // lines that must be among the eleven
        QString photo;
    };
    const Case cases[] = {
        {2,
         {"姓名:欧阳明远", "有效期结束:长期",
          "住址:云岭省青石市南湖区滨江大道延长线金桂花园小区十二栋三单元一千二百零八室"},
         "tmp.bmp"},
        {3, {"姓名:诺敏·额尔敦", "性别:女", "民族:蒙古", "出生:1995年02月14日"}, "tmp.bmp"},
        {4, {"姓名:苏安然", "性别:女"}, "tmp.wlt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        click(IDC_CLEAR_LOG);
        type(IDC_PORT, QString::number(c.port));
        click(IDC_READ_CARD);
        ASSERT_EQ(messages().size(), 11) << messages().join('\n').toStdString();
        for (const QString &line : c.some)
            EXPECT_TRUE(messages().contains(line)) << line.toStdString();
        EXPECT_EQ(messages().first(), "照片:" + inFolder(c.photo));
    }
}

// Cards of other types through the real library: each logs its own lines;
// a type letter no layout is known for logs the failure and names itself.
TEST_F(EndToEndTest, EachCardTypeLogsItsOwnLines) {
    mapDevices("defaults=off,1=virtual:" + card("foreigner-permanent") +
               ",2=virtual:" + card("residence-permit") + ",3=virtual:" + card("unknown-type-y"));
    click(IDC_NAME_BOTH);
    struct Case {
        int port;
        QStringList lines; // in logging order, after the success line
        QString photo;
    };
    const Case cases[] = {
        {1,
         {"证件类型:外国人永久居留身份证", "中文姓名:马爱琳",
          "英文姓名:MARTIN, ELEANOR JOSEPHINE ALEXANDRA", "性别:女", "国籍:CAN",
          "出生:1988年05月01日", "证件号码:CAN990088050125", "受理机关代码:9900",
          "有效期开始:2019.03.01", "有效期结束:2029/03/01", "证件版本:01"},
         "马爱琳_CAN990088050125.bmp"},
        {2,
         {"证件类型:港澳台居民居住证", "姓名:陈家乐", "性别:男", "出生:1992年07月18日",
          "住址:云岭省青石市清河区杏林路20号", "公民身份号码:990000199207180017",
          "签发机关:青石市公安局", "有效期开始:2020.01.15", "有效期结束:2025/01/15",
          "通行证号码:H99012345", "签发次数:02"},
         "陈家乐_990000199207180017.bmp"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.port);
        click(IDC_CLEAR_LOG);
        type(IDC_PORT, QString::number(c.port));
        click(IDC_READ_CARD);
        EXPECT_EQ(messages(), readLines(QStringList(c.lines) << "照片:" + inFolder(c.photo)));
        EXPECT_TRUE(photoFiles().contains(c.photo)) << photoFiles().join(", ").toStdString();
    }

    const QStringList before = photoFiles();
    click(IDC_CLEAR_LOG);
    type(IDC_PORT, "3");
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(), QStringList{"读取身份证信息错误!"});
    const QString status = static_cast<QLabel *>(dlg->GetDlgItem(IDC_STATUS))->text();
    EXPECT_TRUE(status.contains("Kav_ReadMsg = -15")) << status.toStdString();
    EXPECT_TRUE(status.contains("证件类型字母 Y")) << status.toStdString();
    EXPECT_EQ(photoFiles(), before);
}

TEST_F(EndToEndTest, SamButtons) {
    reader(1)->setSamId({0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 0, 0x06, 0, 0, 0, 0x07, 0, 0, 0});
    click(IDC_RESET_SAM);
    click(IDC_SAM_STATUS);
    click(IDC_SAM_ID);
    EXPECT_EQ(messages(), (QStringList{"按16字节获得SAM模块ID成功,SAM模块ID为: 21-43-5-6-7",
                                       "SAM模块状态正常", "复位SAM模块成功"}));
    type(IDC_PORT, "9"); // no device there
    click(IDC_RESET_SAM);
    click(IDC_SAM_STATUS);
    click(IDC_SAM_ID);
    EXPECT_EQ(messages().mid(0, 3), (QStringList{"打开端口错误", "打开端口错误", "打开端口错误"}));
}

TEST_F(EndToEndTest, MaxRFBytesReachTheReader) {
    struct Case {
        const char *typed;
        const char *line;
        int kept; // what the reader then holds
    };
    const Case cases[] = {
        {"100", "设置最大通讯字节数成功,最大通讯字节数为 100", 100},
        {"24", "设置最大通讯字节数成功,最大通讯字节数为 24", 24},
        {"300", "设置最大通讯字节数出错!", 24},
        {"0", "设置最大通讯字节数出错!", 24},
        {"255", "设置最大通讯字节数成功,最大通讯字节数为 255", 255},
    };
    for (const Case &c : cases) {
        type(IDC_MAXRF, c.typed);
        click(IDC_SET_MAXRF);
        EXPECT_EQ(messages().first(), QString::fromUtf8(c.line)) << c.typed;
        EXPECT_EQ(reader(1)->maxRfBytes(), c.kept) << c.typed;
    }
    type(IDC_PORT, "9");
    click(IDC_SET_MAXRF);
    EXPECT_EQ(messages().first(), "打开端口错误！");
    reader(1)->setFault(kav::virt::Fault::SelfTestFailure);
    reader(1)->clearFaults();
    reader(1)->setFault(kav::virt::Fault::Disconnect);
    type(IDC_PORT, "1");
    click(IDC_SET_MAXRF);
    EXPECT_EQ(messages().first(), "端口 1 上没有连接读卡器!");
}

TEST_F(EndToEndTest, BaudChangeIsWhatTheNextSearchFinds) {
    click(IDC_FIND_READER);
    type(IDC_BAUD, "57600");
    click(IDC_SET_BAUD);
    EXPECT_EQ(messages().first(), "设置读卡器波特率成功,当前波特率为 57600 ");
    EXPECT_EQ(reader(1)->baudRate(), 57600u);
    click(IDC_FIND_READER);
    EXPECT_EQ(messages().first(), "读卡器连接在串口 1,当前SAM波特率为 57600");
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().size(), 3 + 11);
    type(IDC_BAUD, "12345");
    click(IDC_SET_BAUD);
    EXPECT_EQ(messages().first(), "设置读卡器波特率失败");
    EXPECT_EQ(reader(1)->baudRate(), 57600u);
}

TEST_F(EndToEndTest, UsbReaderDisablesTheBaudControls) {
    mapDevices("defaults=off,1001=virtual");
    click(IDC_FIND_READER);
    EXPECT_EQ(messages(), QStringList{"读卡器连接在USB端口 1001"});
    EXPECT_FALSE(button(IDC_SET_BAUD)->isEnabled());
    EXPECT_EQ(edit(IDC_PORT)->text(), "1001");
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().size(), 1 + 11);
}

TEST_F(EndToEndTest, NoReaderAnywhere) {
    mapDevices("defaults=off");
    click(IDC_FIND_READER);
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(), (QStringList{"打开端口错误", "没有找打读卡器"}));
    EXPECT_TRUE(platform.calls.empty()) << "no tone without a reader";
}

TEST_F(EndToEndTest, PhotoButtonsDecideTheFileWritten) {
    struct Case {
        int typeButton;
        int nameButton;
        const char *file;
    };
    const Case cases[] = {
        {IDC_TYPE_BMP, IDC_NAME_TMP, "tmp.bmp"},
        {IDC_TYPE_JPEG, IDC_NAME_NAME, "林晓航.jpg"},
        {IDC_TYPE_BASE64, IDC_NAME_IDNO, "990102198805120135.txt"},
        {IDC_TYPE_JPEG, IDC_NAME_BOTH, "林晓航_990102198805120135.jpg"},
    };
    for (const Case &c : cases) {
        click(c.typeButton);
        click(c.nameButton);
        click(IDC_READ_CARD);
        EXPECT_EQ(messages().first(), "照片:" + inFolder(QString::fromUtf8(c.file)));
        EXPECT_TRUE(QFileInfo::exists(inFolder(QString::fromUtf8(c.file)))) << c.file;
    }
    EXPECT_EQ(photoFiles().size(), 4);
    const QImage jpeg(inFolder("林晓航.jpg"));
    EXPECT_EQ(jpeg.size(), QSize(102, 126));
}

TEST_F(EndToEndTest, ChosenFolderReceivesThePhotos) {
    const QString chosen = inFolder("照片 存放");
    ASSERT_TRUE(QDir().mkpath(chosen));
    platform.folderChoice = {FolderChoice::Outcome::Chosen, chosen};
    click(IDC_PATH_CHOOSE);
    EXPECT_EQ(messages().first(), "照片存放路径设置为 " + chosen + ",nRet = 0");
    click(IDC_READ_CARD);
    EXPECT_EQ(messages().first(), "照片:" + chosen + "/tmp.bmp");
    EXPECT_TRUE(QFileInfo::exists(chosen + "/tmp.bmp"));

    // Back to the current folder, then the root, which only root may write.
    click(IDC_PATH_CURRENT);
    EXPECT_EQ(messages().first(), "照片存放路径设置为 当前路径,nRet = 0");
    click(IDC_PATH_ROOT);
    EXPECT_EQ(messages().first(), "照片存放路径设置为 C:,nRet = 0");
}
