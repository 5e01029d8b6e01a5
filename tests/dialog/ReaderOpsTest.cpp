// The buttons that talk to the reader: call sequences and log lines against
// the fake library.
#include "DialogFixture.h"

#include "codepage936.h"

#include <QLabel>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

const Calls kFieldFormats = {"Kav_SetSexType(1)", "Kav_SetNationType(1)", "Kav_SetBornType(2)",
                             "Kav_SetUserLifeBType(3)", "Kav_SetUserLifeEType(4,1)"};

Calls concat(Calls a, const Calls &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <std::size_t N> void putGbk(char (&field)[N], const char *utf8) {
    const auto gbk = kav::cp936::fromUtf8(utf8);
    ASSERT_TRUE(gbk.has_value());
    ASSERT_TRUE(kav::cp936::copyToField(*gbk, field, N));
}

} // namespace

// ---- 自动寻找读卡器 ---------------------------------------------------------

struct FindCase {
    const char *title;
    int foundPort;
    int baudResult;
    unsigned baudWritten;
    Calls calls;
    const char *message;
    const char *portText;
    const char *baudText;
    bool baudEnabled;
};

void PrintTo(const FindCase &c, std::ostream *os) {
    *os << c.title;
}

class FindReaderTest : public DialogTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindReaderTest, FillsThePortAndBaudAndLogs) {
    const FindCase &c = GetParam();
    fake::script("Kav_FindReader", {c.foundPort});
    fake::script("Kav_GetCOMBaud", {c.baudResult});
    fake::setBaud(c.baudWritten);
    click(IDC_FIND_READER);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(messages(), QStringList{QString::fromUtf8(c.message)});
    EXPECT_EQ(edit(IDC_PORT)->text(), QString::fromUtf8(c.portText));
    EXPECT_EQ(edit(IDC_BAUD)->text(), QString::fromUtf8(c.baudText));
    EXPECT_EQ(edit(IDC_BAUD)->isEnabled(), c.baudEnabled);
    EXPECT_EQ(button(IDC_SET_BAUD)->isEnabled(), c.baudEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindReaderTest,
    ::testing::Values(
        FindCase{"none", 0, 0, 0, {"Kav_FindReader()"}, "没有找打读卡器", "1", "", false},
        FindCase{"serial",
                 3,
                 0,
                 115200,
                 {"Kav_FindReader()", "tone(4000,200)", "pause(200)", "Kav_GetCOMBaud(3,ptr)"},
                 "读卡器连接在串口 3,当前SAM波特率为 115200",
                 "3",
                 "115200",
                 true},
        FindCase{"last serial port",
                 1000,
                 0,
                 9600,
                 {"Kav_FindReader()", "tone(4000,200)", "pause(200)", "Kav_GetCOMBaud(1000,ptr)"},
                 "读卡器连接在串口 1000,当前SAM波特率为 9600",
                 "1000",
                 "9600",
                 true},
        FindCase{"usb",
                 1001,
                 0,
                 115200,
                 {"Kav_FindReader()", "tone(4000,200)"},
                 "读卡器连接在USB端口 1001",
                 "1001",
                 "",
                 false},
        FindCase{"negative is serial",
                 -1,
                 0,
                 57600,
                 {"Kav_FindReader()", "tone(4000,200)", "pause(200)", "Kav_GetCOMBaud(-1,ptr)"},
                 "读卡器连接在串口 -1,当前SAM波特率为 57600",
                 "-1",
                 "57600",
                 true},
        FindCase{"baud query fails: shown as 0, not what the library left",
                 2,
                 -6,
                 4242,
                 {"Kav_FindReader()", "tone(4000,200)", "pause(200)", "Kav_GetCOMBaud(2,ptr)"},
                 "读卡器连接在串口 2,当前SAM波特率为 0",
                 "2",
                 "0",
                 true},
        FindCase{"baud above 31 bits prints unsigned",
                 4,
                 0,
                 4294967295u,
                 {"Kav_FindReader()", "tone(4000,200)", "pause(200)", "Kav_GetCOMBaud(4,ptr)"},
                 "读卡器连接在串口 4,当前SAM波特率为 4294967295",
                 "4",
                 "4294967295",
                 true}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST_F(DialogTest, UsbAfterSerialDisablesBaudButKeepsItsText) {
    fake::script("Kav_FindReader", {5, 1001, 0, 6});
    fake::setBaud(38400);
    click(IDC_FIND_READER);
    click(IDC_FIND_READER);
    EXPECT_EQ(edit(IDC_BAUD)->text(), "38400");
    EXPECT_FALSE(edit(IDC_BAUD)->isEnabled());
    EXPECT_FALSE(button(IDC_SET_BAUD)->isEnabled());
    EXPECT_EQ(edit(IDC_PORT)->text(), "1001");
    // Nothing found keeps everything as it was.
    click(IDC_FIND_READER);
    EXPECT_EQ(edit(IDC_PORT)->text(), "1001");
    EXPECT_FALSE(button(IDC_SET_BAUD)->isEnabled());
    // A serial reader enables the baud controls again.
    click(IDC_FIND_READER);
    EXPECT_TRUE(edit(IDC_BAUD)->isEnabled());
    EXPECT_TRUE(button(IDC_SET_BAUD)->isEnabled());
    EXPECT_EQ(messages(), (QStringList{"读卡器连接在串口 6,当前SAM波特率为 38400", "没有找打读卡器",
                                       "读卡器连接在USB端口 1001",
                                       "读卡器连接在串口 5,当前SAM波特率为 38400"}));
}

// ---- 使用结构体返回信息 -------------------------------------------------------

TEST_F(DialogTest, ReadCardLogsElevenLinesNewestFirstAndClosesAfterLogging) {
    IDCardRecord record{};
    putGbk(record.name, "王小明");
    putGbk(record.sex, "男");
    putGbk(record.nation, "汉");
    putGbk(record.born, "1990年01月02日");
    putGbk(record.address, "");
    putGbk(record.idNumber, "11010119900102123X");
    putGbk(record.issuer, "某市公安局");
    putGbk(record.validFrom, "2015.06.01");
    std::memset(record.validUntil, 'A', sizeof record.validUntil); // no NUL in its span
    putGbk(record.photoFile, "/tmp/照片/tmp.bmp");
    fake::setRecord(record);
    type(IDC_PORT, "7");
    type(IDC_MAXRF, "200"); // not consulted by the read

    click(IDC_READ_CARD);

    EXPECT_EQ(calls(), concat(kFieldFormats,
                              {"Kav_OpenPort(7)", "Kav_SetMaxRFByte(7,80,0)",
                               "Kav_StartFindIDCard(7,zeroed,0)", "Kav_SelectIDCard(7,zeroed,0)",
                               "Kav_ReadMsg(7,0,zeroed)", "Kav_ClosePort(7)"}));
    EXPECT_EQ(messages(),
              (QStringList{"照片:/tmp/照片/tmp.bmp", "有效期结束:" + QString(56, 'A'),
                           "有效期开始:2015.06.01", "发证机关:某市公安局",
                           "身份证号:11010119900102123X", "住址:", "出生:1990年01月02日", "民族:汉",
                           "性别:男", "姓名:王小明", "读取身份证信息成功!"}));
}

// Cards of other types: the record's read as ever, then one call that
// sends nothing to the reader for the fields the record has no place for.
template <std::size_t N> void putUtf8(char (&field)[N], const char *utf8) {
    std::strncpy(field, utf8, N - 1);
}

KavCardData cardOfType(int type, const char *letter) {
    KavCardData card{};
    card.size = sizeof card;
    card.type = type;
    putUtf8(card.typeLetter, letter);
    card.typeCode = static_cast<unsigned char>(letter[0]);
    return card;
}

TEST_F(DialogTest, ReadCardLogsTheLinesOfEachCardType) {
    KavCardData foreign = cardOfType(KAV_CARD_FOREIGN_PERMANENT, "I");
    putUtf8(foreign.chineseName, "马爱琳");
    putUtf8(foreign.englishName, "MARTIN, ELEANOR");
    putUtf8(foreign.sex, "女");
    putUtf8(foreign.nationality, "CAN");
    putUtf8(foreign.born, "1988年05月01日");
    putUtf8(foreign.cardNumber, "CAN990088050125");
    putUtf8(foreign.issuerCode, "9900");
    putUtf8(foreign.validFrom, "2019.03.01");
    putUtf8(foreign.validUntil, "2029/03/01");
    putUtf8(foreign.cardVersion, "01");
    putUtf8(foreign.photoFile, "/tmp/p.bmp");
    KavCardData permit = cardOfType(KAV_CARD_HMT_RESIDENCE, "J");
    putUtf8(permit.name, "陈家乐");
    putUtf8(permit.sex, "男");
    putUtf8(permit.born, "1992年07月18日");
    putUtf8(permit.address, "某省某市某路20号");
    putUtf8(permit.idNumber, "990000199207180017");
    putUtf8(permit.issuer, "某市公安局");
    putUtf8(permit.validFrom, "2020.01.15");
    putUtf8(permit.validUntil, "2025/01/15");
    putUtf8(permit.passNumber, "H99012345");
    putUtf8(permit.issuanceCount, "02");
    putUtf8(permit.photoFile, "/tmp/p.bmp");
    KavCardData resident = cardOfType(KAV_CARD_RESIDENT, " ");
    putUtf8(resident.name, "not the record's");

    IDCardRecord record{};
    putGbk(record.name, "王小明");
    putGbk(record.photoFile, "/tmp/p.bmp");
    struct Case {
        const char *what;
        KavCardData card;
        QStringList log; // newest first
    } const cases[] = {
        {"I",
         foreign,
         {"照片:/tmp/p.bmp", "证件版本:01", "有效期结束:2029/03/01", "有效期开始:2019.03.01",
          "受理机关代码:9900", "证件号码:CAN990088050125", "出生:1988年05月01日", "国籍:CAN",
          "性别:女", "英文姓名:MARTIN, ELEANOR", "中文姓名:马爱琳", "证件类型:外国人永久居留身份证",
          "读取身份证信息成功!"}},
        {"J",
         permit,
         {"照片:/tmp/p.bmp", "签发次数:02", "通行证号码:H99012345", "有效期结束:2025/01/15",
          "有效期开始:2020.01.15", "签发机关:某市公安局", "公民身份号码:990000199207180017",
          "住址:某省某市某路20号", "出生:1992年07月18日", "性别:男", "姓名:陈家乐",
          "证件类型:港澳台居民居住证", "读取身份证信息成功!"}},
        {"the resident card: the record's eleven lines as ever",
         resident,
         {"照片:/tmp/p.bmp", "有效期结束:", "有效期开始:", "发证机关:", "身份证号:", "住址:",
          "出生:", "民族:", "性别:", "姓名:王小明", "读取身份证信息成功!"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fake::setRecord(record);
        fake::setLastCard(c.card);
        click(IDC_CLEAR_LOG);
        click(IDC_READ_CARD);
        EXPECT_EQ(calls(),
                  concat(kFieldFormats, {"Kav_OpenPort(1)", "Kav_SetMaxRFByte(1,80,0)",
                                         "Kav_StartFindIDCard(1,zeroed,0)",
                                         "Kav_SelectIDCard(1,zeroed,0)", "Kav_ReadMsg(1,0,zeroed)",
                                         "Kav_GetLastCard(1,data)", "Kav_ClosePort(1)"}));
        EXPECT_EQ(messages(), c.log);
    }
}

TEST_F(DialogTest, ReadCardOfALayoutNotKnownLogsTheFailureAndNamesTheLetter) {
    fake::setLastCard(cardOfType(KAV_CARD_UNKNOWN_LAYOUT, "Y"));
    fake::script("Kav_ReadMsg", {KAV_E_UNKNOWN_LAYOUT});
    click(IDC_READ_CARD);
    EXPECT_EQ(messages(), QStringList{"读取身份证信息错误!"});
    const QString status = static_cast<QLabel *>(dlg->GetDlgItem(IDC_STATUS))->text();
    EXPECT_TRUE(status.startsWith("Kav_ReadMsg = -15: 读卡器库不认识此证件的格式"))
        << status.toStdString();
    EXPECT_TRUE(status.contains("证件类型字母 Y")) << status.toStdString();

    // Another failure asks for nothing more.
    fake::reset();
    fake::setLastCard(cardOfType(KAV_CARD_UNKNOWN_LAYOUT, "Y"));
    fake::script("Kav_ReadMsg", {65});
    click(IDC_READ_CARD);
    const Calls made = calls();
    EXPECT_EQ(std::count(made.begin(), made.end(), std::string("Kav_GetLastCard(1,data)")), 0);
}

struct ReadFailureCase {
    const char *title;
    std::vector<std::pair<const char *, int>> results;
    Calls tail;
    QStringList log;
};

void PrintTo(const ReadFailureCase &c, std::ostream *os) {
    *os << c.title;
}

class ReadCardFailureTest : public DialogTest,
                            public ::testing::WithParamInterface<ReadFailureCase> {};

TEST_P(ReadCardFailureTest, LogsItsLineAndStillCloses) {
    const ReadFailureCase &c = GetParam();
    for (const auto &[operation, result] : c.results)
        fake::script(operation, {result});
    click(IDC_READ_CARD);
    EXPECT_EQ(calls(), concat(kFieldFormats, c.tail));
    EXPECT_EQ(messages(), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadCardFailureTest,
    ::testing::Values(
        ReadFailureCase{"open fails",
                        {{"Kav_OpenPort", -1}},
                        {"Kav_OpenPort(1)", "Kav_ClosePort(1)"},
                        {"打开端口错误"}},
        ReadFailureCase{"setting 80 bytes fails: silent",
                        {{"Kav_SetMaxRFByte", -6}},
                        {"Kav_OpenPort(1)", "Kav_SetMaxRFByte(1,80,0)", "Kav_ClosePort(1)"},
                        {}},
        ReadFailureCase{"read fails",
                        {{"Kav_ReadMsg", 65}},
                        {"Kav_OpenPort(1)", "Kav_SetMaxRFByte(1,80,0)",
                         "Kav_StartFindIDCard(1,zeroed,0)", "Kav_SelectIDCard(1,zeroed,0)",
                         "Kav_ReadMsg(1,0,zeroed)", "Kav_ClosePort(1)"},
                        {"读取身份证信息错误!"}},
        ReadFailureCase{
            "find and select fail: the read decides",
            {{"Kav_StartFindIDCard", 128}, {"Kav_SelectIDCard", 129}, {"Kav_ReadMsg", 65}},
            {"Kav_OpenPort(1)", "Kav_SetMaxRFByte(1,80,0)", "Kav_StartFindIDCard(1,zeroed,0)",
             "Kav_SelectIDCard(1,zeroed,0)", "Kav_ReadMsg(1,0,zeroed)", "Kav_ClosePort(1)"},
            {"读取身份证信息错误!"}}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST_F(DialogTest, ReadCardOnEmptyPortOpensPortZero) {
    fake::script("Kav_OpenPort", {-1});
    type(IDC_PORT, "");
    click(IDC_READ_CARD);
    EXPECT_EQ(calls(), concat(kFieldFormats, {"Kav_OpenPort(0)", "Kav_ClosePort(0)"}));
    EXPECT_EQ(messages(), QStringList{"打开端口错误"});
}

TEST_F(DialogTest, ReadCardShowsInvalidGbkAsReplacementCharacters) {
    IDCardRecord record{};
    std::memcpy(record.name, "A\xFF\x81", 3); // a stray byte, then a cut-off pair
    fake::setRecord(record);
    click(IDC_READ_CARD);
    ASSERT_EQ(messages().size(), 11);
    EXPECT_EQ(messages().at(9), QString::fromUtf8("姓名:A\uFFFD\uFFFD"));
}

// ---- SAM commands ------------------------------------------------------------

struct SamCase {
    int button;
    const char *command;
    std::vector<int> openResults;
    std::vector<int> commandResults;
    const char *expected;
};

void PrintTo(const SamCase &c, std::ostream *os) {
    *os << c.command << " -> " << c.expected;
}

class SamCommandTest : public DialogTest, public ::testing::WithParamInterface<SamCase> {};

TEST_P(SamCommandTest, OneCycleClosesBeforeLogging) {
    const SamCase &c = GetParam();
    fake::setSamId({0x01, 0x02, 0x03, 0x04, 0x05, 0, 0, 0, 0x06, 0, 0, 0, 0x07, 0, 0, 0});
    fake::script("Kav_OpenPort", c.openResults);
    fake::script(c.command, c.commandResults);
    type(IDC_PORT, " 12");
    click(c.button);
    const bool opened = c.openResults.empty() || c.openResults.front() == 0;
    Calls expected{"Kav_OpenPort(12)"};
    if (opened)
        expected.push_back(std::string(c.command) +
                           (std::string(c.command) == "Kav_GetSAMID" ? "(12,zeroed,0)" : "(12,0)"));
    expected.push_back("Kav_ClosePort(12)");
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(messages(), QStringList{QString::fromUtf8(c.expected)});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SamCommandTest,
    ::testing::Values(SamCase{IDC_RESET_SAM, "Kav_ResetSAM", {}, {0}, "复位SAM模块成功"},
                      SamCase{IDC_RESET_SAM, "Kav_ResetSAM", {}, {96}, "复位SAM模块失败"},
                      SamCase{IDC_RESET_SAM, "Kav_ResetSAM", {-2}, {}, "打开端口错误"},
                      SamCase{IDC_SAM_STATUS, "Kav_GetSAMStatus", {}, {0}, "SAM模块状态正常"},
                      SamCase{IDC_SAM_STATUS, "Kav_GetSAMStatus", {}, {-6}, "获得SAM模块状态失败"},
                      SamCase{IDC_SAM_STATUS, "Kav_GetSAMStatus", {-1}, {}, "打开端口错误"},
                      SamCase{IDC_SAM_ID,
                              "Kav_GetSAMID",
                              {},
                              {0},
                              "按16字节获得SAM模块ID成功,SAM模块ID为: 21-43-5-6-7"},
                      SamCase{IDC_SAM_ID, "Kav_GetSAMID", {}, {-7}, "读取SAM ID号错误"},
                      SamCase{IDC_SAM_ID, "Kav_GetSAMID", {-3}, {}, "打开端口错误"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST_F(DialogTest, SamIdPrintsHexWithoutLeadingZerosAndUnsignedWords) {
    struct Case {
        std::array<unsigned char, 16> id;
        const char *suffix;
    };
    const Case cases[] = {
        {{}, "00-00-0-0-0"},
        {{0x0A, 0x05, 0xB0, 0x0C}, "5A-CB0-0-0-0"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0x01,
          0x00},
         "FFFF-FFFF-4294967295-2147483648-65537"},
    };
    for (const Case &c : cases) {
        fake::setSamId(c.id);
        click(IDC_SAM_ID);
        EXPECT_EQ(messages().front(),
                  QString::fromUtf8("按16字节获得SAM模块ID成功,SAM模块ID为: ") + c.suffix);
    }
}

// ---- Link settings -----------------------------------------------------------

struct MaxRFCase {
    const char *count;
    std::vector<std::pair<const char *, int>> results;
    Calls calls;
    const char *message;
};

void PrintTo(const MaxRFCase &c, std::ostream *os) {
    *os << c.count << " -> " << c.message;
}

class SetMaxRFTest : public DialogTest, public ::testing::WithParamInterface<MaxRFCase> {};

TEST_P(SetMaxRFTest, ChecksTheReaderThenSetsAndLogsOneLine) {
    const MaxRFCase &c = GetParam();
    for (const auto &[operation, result] : c.results)
        fake::script(operation, {result});
    type(IDC_PORT, "9");
    type(IDC_MAXRF, QString::fromUtf8(c.count));
    click(IDC_SET_MAXRF);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(messages(), QStringList{QString::fromUtf8(c.message)});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetMaxRFTest,
    ::testing::Values(MaxRFCase{"100",
                                {},
                                {"Kav_OpenPort(9)", "Kav_GetSAMStatus(9,0)",
                                 "Kav_SetMaxRFByte(9,100,0)", "Kav_ClosePort(9)"},
                                "设置最大通讯字节数成功,最大通讯字节数为 100"},
                      MaxRFCase{"300",
                                {{"Kav_SetMaxRFByte", -8}},
                                {"Kav_OpenPort(9)", "Kav_GetSAMStatus(9,0)",
                                 "Kav_SetMaxRFByte(9,300,0)", "Kav_ClosePort(9)"},
                                "设置最大通讯字节数出错!"},
                      MaxRFCase{"0",
                                {},
                                {"Kav_OpenPort(9)", "Kav_GetSAMStatus(9,0)",
                                 "Kav_SetMaxRFByte(9,0,0)", "Kav_ClosePort(9)"},
                                "设置最大通讯字节数成功,最大通讯字节数为 0"},
                      MaxRFCase{"80",
                                {{"Kav_GetSAMStatus", -6}},
                                {"Kav_OpenPort(9)", "Kav_GetSAMStatus(9,0)", "Kav_ClosePort(9)"},
                                "端口 9 上没有连接读卡器!"},
                      MaxRFCase{"80",
                                {{"Kav_OpenPort", -1}},
                                {"Kav_OpenPort(9)", "Kav_ClosePort(9)"},
                                "打开端口错误！"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

struct BaudCase {
    const char *newBaud;
    int getResult;
    int setResult;
    Calls calls;
    const char *message;
};

void PrintTo(const BaudCase &c, std::ostream *os) {
    *os << c.newBaud << " -> " << c.message;
}

class SetBaudTest : public DialogTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(SetBaudTest, NeverOpensAndClosesOnlyOnTheWayToTheChange) {
    const BaudCase &c = GetParam();
    fake::script("Kav_FindReader", {4});
    fake::setBaud(115200);
    click(IDC_FIND_READER); // enables the baud controls
    fake::reset();
    fake::setBaud(115200);
    fake::script("Kav_GetCOMBaud", {c.getResult});
    fake::script("Kav_SetCOMBaud", {c.setResult});
    type(IDC_BAUD, QString::fromUtf8(c.newBaud));
    click(IDC_SET_BAUD);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(messages().front(), QString::fromUtf8(c.message));
    EXPECT_EQ(edit(IDC_BAUD)->text(), QString::fromUtf8(c.newBaud)); // the typed text stays
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetBaudTest,
    ::testing::Values(
        BaudCase{"57600",
                 0,
                 0,
                 {"Kav_GetCOMBaud(4,ptr)", "Kav_ClosePort(4)", "Kav_SetCOMBaud(4,115200,57600)"},
                 "设置读卡器波特率成功,当前波特率为 57600 "},
        BaudCase{"",
                 0,
                 0,
                 {"Kav_GetCOMBaud(4,ptr)", "Kav_ClosePort(4)", "Kav_SetCOMBaud(4,115200,0)"},
                 "设置读卡器波特率成功,当前波特率为 0 "},
        BaudCase{"12345",
                 0,
                 -8,
                 {"Kav_GetCOMBaud(4,ptr)", "Kav_ClosePort(4)", "Kav_SetCOMBaud(4,115200,12345)"},
                 "设置读卡器波特率失败"},
        BaudCase{"9600", -6, 0, {"Kav_GetCOMBaud(4,ptr)"}, "获得当前读卡器波特率失败"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

TEST_F(DialogTest, BaudButtonCannotBePressedBeforeASerialReaderIsFound) {
    click(IDC_SET_BAUD);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(messages().isEmpty());
}

// ---- The port's close and the log line, in order -----------------------------
// The read logs while the port is still open and closes last; the SAM
// commands and link settings close first and then log.

struct OrderCase {
    const char *title;
    int button;
    std::vector<std::pair<const char *, int>> results;
    Calls tail; // the end of the journal, log lines as "log: <message>"
};

void PrintTo(const OrderCase &c, std::ostream *os) {
    *os << c.title;
}

class CloseAndLogOrderTest : public DialogTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(CloseAndLogOrderTest, JournalEndsAsExpected) {
    const OrderCase &c = GetParam();
    if (c.button == IDC_SET_BAUD) {
        fake::script("Kav_FindReader", {4}); // enables the baud controls
        fake::setBaud(115200);
        click(IDC_FIND_READER);
    }
    for (const auto &[operation, result] : c.results)
        fake::script(operation, {result});
    click(c.button);
    const Calls journal = sequence();
    ASSERT_GE(journal.size(), c.tail.size());
    EXPECT_EQ(Calls(journal.end() - static_cast<std::ptrdiff_t>(c.tail.size()), journal.end()),
              c.tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseAndLogOrderTest,
    ::testing::Values(
        OrderCase{"read: every field logged, then closed",
                  IDC_READ_CARD,
                  {},
                  {"log: 有效期结束:", "log: 照片:", "Kav_ClosePort(1)"}},
        OrderCase{"read fails: logged, then closed",
                  IDC_READ_CARD,
                  {{"Kav_ReadMsg", 65}},
                  {"Kav_ReadMsg(1,0,zeroed)", "log: 读取身份证信息错误!", "Kav_ClosePort(1)"}},
        OrderCase{"read, port not opened: logged, then closed",
                  IDC_READ_CARD,
                  {{"Kav_OpenPort", -1}},
                  {"Kav_OpenPort(1)", "log: 打开端口错误", "Kav_ClosePort(1)"}},
        OrderCase{"SAM reset: closed, then logged",
                  IDC_RESET_SAM,
                  {},
                  {"Kav_ResetSAM(1,0)", "Kav_ClosePort(1)", "log: 复位SAM模块成功"}},
        OrderCase{"SAM status, port not opened: closed, then logged",
                  IDC_SAM_STATUS,
                  {{"Kav_OpenPort", -1}},
                  {"Kav_OpenPort(1)", "Kav_ClosePort(1)", "log: 打开端口错误"}},
        OrderCase{"SAM ID fails: closed, then logged",
                  IDC_SAM_ID,
                  {{"Kav_GetSAMID", -7}},
                  {"Kav_GetSAMID(1,zeroed,0)", "Kav_ClosePort(1)", "log: 读取SAM ID号错误"}},
        OrderCase{"exchange size: closed, then logged",
                  IDC_SET_MAXRF,
                  {},
                  {"Kav_SetMaxRFByte(1,80,0)", "Kav_ClosePort(1)",
                   "log: 设置最大通讯字节数成功,最大通讯字节数为 80"}},
        OrderCase{"exchange size, no reader: closed, then logged",
                  IDC_SET_MAXRF,
                  {{"Kav_GetSAMStatus", -6}},
                  {"Kav_GetSAMStatus(1,0)", "Kav_ClosePort(1)", "log: 端口 1 上没有连接读卡器!"}},
        OrderCase{"baud: closed on the way, then set and logged",
                  IDC_SET_BAUD,
                  {},
                  {"Kav_GetCOMBaud(4,ptr)", "Kav_ClosePort(4)", "Kav_SetCOMBaud(4,115200,115200)",
                   "log: 设置读卡器波特率成功,当前波特率为 115200 "}}),
    [](const auto &info) { return "case" + std::to_string(info.index); });
