// Every button that talks to a reader against every fault a reader can
// show: the log says what the handler says for it, the port ends closed, no
// partial photo is left, and the next press on a healthy reader succeeds.
#include "EndToEndFixture.h"

#include <QElapsedTimer>
#include <QFile>

#include <unistd.h>

#include <algorithm>
#include <ostream>

using kav::virt::Fault;

namespace {

enum class Press { Find, Read, Reset, Status, Id, MaxRF, Baud };
constexpr Press kPresses[] = {Press::Find, Press::Read,  Press::Reset, Press::Status,
                              Press::Id,   Press::MaxRF, Press::Baud};

const char *pressName(Press p) {
    switch (p) {
    case Press::Find:
        return "find";
    case Press::Read:
        return "read";
    case Press::Reset:
        return "reset";
    case Press::Status:
        return "status";
    case Press::Id:
        return "id";
    case Press::MaxRF:
        return "maxrf";
    case Press::Baud:
        return "baud";
    }
    return "?";
}

int buttonOf(Press p) {
    switch (p) {
    case Press::Find:
        return IDC_FIND_READER;
    case Press::Read:
        return IDC_READ_CARD;
    case Press::Reset:
        return IDC_RESET_SAM;
    case Press::Status:
        return IDC_SAM_STATUS;
    case Press::Id:
        return IDC_SAM_ID;
    case Press::MaxRF:
        return IDC_SET_MAXRF;
    case Press::Baud:
        return IDC_SET_BAUD;
    }
    return 0;
}

// What a press logs: the success of its button, its failure line, or nothing.
enum class Line { Ok, Fail, NoReader, GetBaudFail, None };

QStringList expectedLines(Press press, Line line, int port) {
    const QString ok[] = {
        QString::asprintf("读卡器连接在串口 %d,当前SAM波特率为 115200", port),
        "读取身份证信息成功!",
        "复位SAM模块成功",
        "SAM模块状态正常",
        "按16字节获得SAM模块ID成功,SAM模块ID为: 05-01-20069995-12345-1234567890",
        "设置最大通讯字节数成功,最大通讯字节数为 80",
        "设置读卡器波特率成功,当前波特率为 57600 ",
    };
    const QString fail[] = {"没有找打读卡器",      "读取身份证信息错误!", "复位SAM模块失败",
                            "获得SAM模块状态失败", "读取SAM ID号错误",    "设置最大通讯字节数出错!",
                            "设置读卡器波特率失败"};
    const auto i = static_cast<std::size_t>(press);
    switch (line) {
    case Line::Ok:
        return {ok[i]};
    case Line::Fail:
        return {fail[i]};
    case Line::NoReader:
        return {QString::asprintf("端口 %d 上没有连接读卡器!", port)};
    case Line::GetBaudFail:
        return {"获得当前读卡器波特率失败"};
    case Line::None:
        return {};
    }
    return {};
}

struct FaultRow {
    Fault fault;
    Line find, read, reset, status, id, maxrf, baud;
    Line of(Press p) const {
        const Line lines[] = {find, read, reset, status, id, maxrf, baud};
        return lines[static_cast<std::size_t>(p)];
    }
};

using L = Line;
// A failed radio setting during a read is silent: hence None for the faults
// that leave no well-formed answer, and for a SAM that fails everything.
const FaultRow kFaultRows[] = {
    //                               find      read     reset    status   id       maxrf       baud
    {Fault::NoCard, L::Ok, L::Fail, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok},
    {Fault::SelfTestFailure, L::Ok, L::None, L::Fail, L::Fail, L::Fail, L::NoReader, L::Fail},
    {Fault::NotAuthorised, L::Ok, L::Fail, L::Ok, L::Fail, L::Ok, L::NoReader, L::Ok},
    {Fault::ReadFailure, L::Ok, L::Fail, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok},
    {Fault::BadChecksum, L::Fail, L::None, L::Fail, L::Fail, L::Fail, L::NoReader, L::GetBaudFail},
    {Fault::Truncated, L::Fail, L::None, L::Fail, L::Fail, L::Fail, L::NoReader, L::GetBaudFail},
    {Fault::Noise, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok},
    {Fault::Split, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok, L::Ok},
    {Fault::Delay, L::Fail, L::None, L::Fail, L::Fail, L::Fail, L::NoReader, L::GetBaudFail},
    {Fault::DisconnectMidFrame, L::Fail, L::None, L::Fail, L::Fail, L::Fail, L::NoReader,
     L::GetBaudFail},
    {Fault::Disconnect, L::Fail, L::None, L::Fail, L::Fail, L::Fail, L::NoReader, L::GetBaudFail},
};

struct MatrixCase {
    Press press;
    FaultRow row;
};

void PrintTo(const MatrixCase &c, std::ostream *os) {
    *os << pressName(c.press) << "/" << kav::virt::faultName(c.row.fault);
}

std::vector<MatrixCase> allCases() {
    std::vector<MatrixCase> cases;
    for (const FaultRow &row : kFaultRows)
        for (Press press : kPresses)
            cases.push_back({press, row});
    return cases;
}

std::string caseName(const ::testing::TestParamInfo<MatrixCase> &info) {
    std::string name = std::string(pressName(info.param.press)) + "_" +
                       std::string(kav::virt::faultName(info.param.row.fault));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// A press must end within the library's longest wait (five status probes,
// or a reset's allowance) and some slack: anything beyond is a hang.
constexpr qint64 kHangMs = 10000;

} // namespace

class FaultMatrix : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        mapDevices("defaults=off,1=virtual"); // the reader under test, alone
    }

    // Presses the button and returns the lines it added, top to bottom.
    QStringList press(Press p) {
        const int before = dlg->log().rowCount();
        QElapsedTimer timer;
        timer.start();
        click(buttonOf(p));
        EXPECT_LT(timer.elapsed(), kHangMs) << pressName(p) << " took too long";
        return messages().mid(0, dlg->log().rowCount() - before);
    }

    // The lines a press added, with a successful read folded to its last line.
    QStringList outcome(Press p) {
        QStringList lines = press(p);
        if (p == Press::Read && lines.size() == 11 && lines.last() == "读取身份证信息成功!")
            return {lines.last()};
        return lines;
    }

    void expectClosedAndNoPartialPhoto() {
        EXPECT_TRUE(kav::testing::openPorts().empty()) << "a port was left open";
        for (const QString &file : photoFiles())
            EXPECT_EQ(file, "tmp.bmp") << "only whole photos, under their own name";
    }

    void prepare(Press p) {
        type(IDC_MAXRF, "80");
        if (p == Press::Find)
            return;
        click(IDC_FIND_READER); // healthy: the rate is known, the baud button enabled
        ASSERT_EQ(messages().first(), expectedLines(Press::Find, Line::Ok, port).first());
        type(IDC_BAUD, "57600");
    }

    int port = 1;
};

class InProcessFaultMatrix : public FaultMatrix,
                             public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(InProcessFaultMatrix, LogsTheHandlersLineClosesAndRecovers) {
    const MatrixCase &c = GetParam();
    prepare(c.press);
    reader(port)->setFault(c.row.fault);
    EXPECT_EQ(outcome(c.press), expectedLines(c.press, c.row.of(c.press), port));
    expectClosedAndNoPartialPhoto();

    reader(port)->clearFaults();
    EXPECT_EQ(outcome(c.press), expectedLines(c.press, Line::Ok, port)) << "healthy again";
    expectClosedAndNoPartialPhoto();
}

INSTANTIATE_TEST_SUITE_P(AllFaults, InProcessFaultMatrix, ::testing::ValuesIn(allCases()),
                         caseName);

// The same over a real tty, for a representative subset, and the faults only
// a device node can show: removed after discovery, or not permitted.
class PtyFaultFixture : public FaultMatrix {
  protected:
    void SetUp() override {
        FaultMatrix::SetUp();
        if (HasFatalFailure())
            return;
        std::string error;
        ASSERT_TRUE(pty.start(devices.filePath("reader-tty").toStdString(), &error)) << error;
        mapDevices("defaults=off,5=" + pty.link);
        port = 5;
        type(IDC_PORT, "5");
    }
    void TearDown() override {
        Kav_ClosePort(port);
        pty.stop();
        FaultMatrix::TearDown();
    }

    ServedReader pty;
};

class PtyFaultMatrix : public PtyFaultFixture, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(PtyFaultMatrix, LogsTheHandlersLineClosesAndRecovers) {
    const MatrixCase &c = GetParam();
    prepare(c.press);
    const int reopens = pty.reopens;
    pty.reader->setFault(c.row.fault);
    EXPECT_EQ(outcome(c.press), expectedLines(c.press, c.row.of(c.press), port));
    expectClosedAndNoPartialPhoto();

    pty.reader->clearFaults();
    if (c.row.fault == Fault::DisconnectMidFrame || c.row.fault == Fault::Disconnect) {
        ASSERT_TRUE(pty.waitForReopen(reopens));
    }
    EXPECT_EQ(outcome(c.press), expectedLines(c.press, Line::Ok, port)) << "healthy again";
    expectClosedAndNoPartialPhoto();
}

namespace {
std::vector<MatrixCase> ptyCases() {
    std::vector<MatrixCase> cases;
    for (const FaultRow &row : kFaultRows) {
        const Fault f = row.fault;
        if (f != Fault::NoCard && f != Fault::BadChecksum && f != Fault::Split &&
            f != Fault::DisconnectMidFrame)
            continue;
        for (Press press : {Press::Find, Press::Read, Press::Status, Press::Baud})
            cases.push_back({press, row});
    }
    return cases;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Subset, PtyFaultMatrix, ::testing::ValuesIn(ptyCases()), caseName);

class PtyDeviceFaults : public PtyFaultFixture {};

TEST_F(PtyDeviceFaults, DeviceRemovedBetweenFindAndOpen) {
    for (Press p : {Press::Read, Press::Status, Press::MaxRF, Press::Baud}) {
        SCOPED_TRACE(pressName(p));
        prepare(p);
        pty.stop(); // unplugged: the node and its link are gone
        const QStringList open = p == Press::MaxRF ? QStringList{"打开端口错误！"}
                                 : p == Press::Baud ? QStringList{"获得当前读卡器波特率失败"}
                                                    : QStringList{"打开端口错误"};
        EXPECT_EQ(outcome(p), open);
        expectClosedAndNoPartialPhoto();
        std::string error;
        ASSERT_TRUE(pty.start(pty.link, &error)) << error; // plugged in again
        EXPECT_EQ(outcome(p), expectedLines(p, Line::Ok, port));
        expectClosedAndNoPartialPhoto();
    }
}

TEST_F(PtyDeviceFaults, DeviceWithoutPermission) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens any device; ctest runs this case as an unprivileged user";
    const QString node = QFileInfo(QString::fromStdString(pty.link)).symLinkTarget();
    ASSERT_TRUE(QFile::setPermissions(node, QFileDevice::Permissions()));
    click(IDC_FIND_READER);
    EXPECT_EQ(messages().first(), "没有找打读卡器");
    for (Press p : {Press::Read, Press::Status, Press::Reset}) {
        EXPECT_EQ(outcome(p), QStringList{"打开端口错误"}) << pressName(p);
        expectClosedAndNoPartialPhoto();
    }
    EXPECT_EQ(outcome(Press::MaxRF), QStringList{"打开端口错误！"});
    ASSERT_TRUE(QFile::setPermissions(node, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    EXPECT_EQ(outcome(Press::Status), expectedLines(Press::Status, Line::Ok, port));
}
