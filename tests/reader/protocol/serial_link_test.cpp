#include "KavIDCardAPI.h"
#include "link/serial_link.h"
#include "protocol/transact.h"
#include "virtual/pty_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kav {
namespace {

using namespace std::chrono_literals;
using namespace kav::proto;
using virt::Fault;
using Clock = Link::Clock;

struct Outcome {
    int rc;
    Response r;
};
Outcome run(Link &link, Command c, std::chrono::milliseconds timeout = 300ms) {
    Outcome o{};
    o.rc = transact(link, c, {}, o.r, timeout);
    return o;
}

struct PtyTest : testing::Test {
    std::shared_ptr<virt::VirtualReader> reader = std::make_shared<virt::VirtualReader>();
    virt::PtyServer server{reader};
    std::atomic<int> reopened{0};
    SerialLink link;

    void SetUp() override {
        server.setReopenHandler([this](const std::string &) { ++reopened; });
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        ASSERT_EQ(link.open(server.slavePath(), kDefaultBaud), KAV_OK) << link.lastError();
    }
};

TEST_F(PtyTest, StatusSamIdAndAFullCardReadOverARealTty) {
    EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    const Outcome id = run(link, kSamId);
    const auto samId = reader->samId();
    EXPECT_EQ(id.r.data, std::vector<std::uint8_t>(samId.begin(), samId.end()));
    ASSERT_EQ(run(link, kFindCard).r.sw3, kFindSuccess);
    ASSERT_EQ(run(link, kSelectCard).r.sw3, kSuccess);
    const Outcome read = run(link, kReadCard, commandTimeout(kReadCard, kDefaultBaud));
    ASSERT_EQ(read.rc, KAV_OK);
    ASSERT_EQ(read.r.data.size(), kReadDataSize);
    const virt::Card card = virt::defaultCard();
    EXPECT_TRUE(std::equal(card.text.begin(), card.text.end(), read.r.data.begin() + 4));
    EXPECT_TRUE(std::equal(card.photo.begin(), card.photo.end(), read.r.data.begin() + 260));
}

TEST_F(PtyTest, TheRateTheClientSetIsTheRateTheReaderHears) {
    if (!server.seesClientRate())
        GTEST_SKIP() << "this system's pty master does not see the slave's rate";
    reader->setBaudRate(57600);
    EXPECT_EQ(run(link, kSamStatus, 100ms).rc, KAV_E_TIMEOUT);
    ASSERT_EQ(link.setBaudRate(57600), KAV_OK);
    EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    // And the rate change itself: answered at 57600, then 19200 only.
    ASSERT_EQ(run(link, setBaudCommand(*baudCode(19200))).r.sw3, kSuccess);
    EXPECT_EQ(reader->baudRate(), 19200u);
    EXPECT_EQ(run(link, kSamStatus, 100ms).rc, KAV_E_TIMEOUT);
    ASSERT_EQ(link.setBaudRate(19200), KAV_OK);
    EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
}

TEST_F(PtyTest, FramingFaultsOverThePty) {
    reader->setFault(Fault::Noise);
    reader->setFault(Fault::Split);
    ASSERT_EQ(run(link, kFindCard).r.sw3, kFindSuccess);
    ASSERT_EQ(run(link, kSelectCard).r.sw3, kSuccess);
    EXPECT_EQ(run(link, kReadCard, commandTimeout(kReadCard, kDefaultBaud)).rc, KAV_OK);
    reader->clearFaults();
    reader->setFault(Fault::Delay);
    reader->setDelay(150ms);
    EXPECT_EQ(run(link, kSamStatus, 50ms).rc, KAV_E_TIMEOUT);
}

TEST_F(PtyTest, ServerGoingAwayFailsTheLinkPromptly) {
    ASSERT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    server.stop();
    const auto start = Clock::now();
    EXPECT_EQ(run(link, kSamStatus, 2000ms).rc, KAV_E_IO);
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_FALSE(link.isOpen());
    EXPECT_EQ(run(link, kSamStatus).rc, KAV_E_IO);
}

TEST_F(PtyTest, DisconnectFaultsFailTheLinkAndThePtyComesBack) {
    for (Fault fault : {Fault::Disconnect, Fault::DisconnectMidFrame}) {
        SCOPED_TRACE(std::string(virt::faultName(fault)));
        const int before = reopened;
        reader->setFault(fault);
        EXPECT_EQ(run(link, kSamId, 2000ms).rc, KAV_E_IO);
        reader->clearFaults();
        const auto limit = Clock::now() + 3s;
        while (reopened == before && Clock::now() < limit)
            std::this_thread::sleep_for(10ms);
        ASSERT_GT(reopened, before) << "the pty came back";
        ASSERT_EQ(link.open(server.slavePath(), kDefaultBaud), KAV_OK) << link.lastError();
        EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    }
}

TEST_F(PtyTest, OpenFailuresMapToTheirResultCodes) {
    SerialLink second;
    EXPECT_EQ(second.open(server.slavePath(), kDefaultBaud), KAV_E_BUSY) << second.lastError();
    link.close();
    EXPECT_EQ(second.open(server.slavePath(), kDefaultBaud), KAV_OK) << second.lastError();

    SerialLink none;
    EXPECT_EQ(none.open("/dev/ttyNoSuchReader7", kDefaultBaud), KAV_E_NO_DEVICE);
    EXPECT_NE(none.lastError().find("/dev/ttyNoSuchReader7"), std::string::npos);
    EXPECT_EQ(none.open("/dev/null", kDefaultBaud), KAV_E_NO_DEVICE) << "not a serial device";
}

TEST(OpenFailure, ClassifiedByWhatTheFileSystemSays) {
    const DeviceFacts absent{};
    const DeviceFacts locked{true, true, "dialout", true};
    const DeviceFacts refused{true, false, "dialout", false};
    const DeviceFacts refusedButMember{true, false, "dialout", true};
    struct Case {
        QSerialPort::SerialPortError error;
        DeviceFacts facts;
        int code;
        const char *says;
    };
    const Case cases[] = {
        {QSerialPort::DeviceNotFoundError, absent, KAV_E_NO_DEVICE, "no such device"},
        {QSerialPort::PermissionError, absent, KAV_E_NO_DEVICE, "no such device"},
        {QSerialPort::PermissionError, refused, KAV_E_PERMISSION, "group dialout"},
        {QSerialPort::PermissionError, refusedButMember, KAV_E_PERMISSION, "log in again"},
        {QSerialPort::PermissionError, locked, KAV_E_BUSY, "in use"},
        {QSerialPort::UnsupportedOperationError, locked, KAV_E_NO_DEVICE, "not a serial device"},
        {QSerialPort::ResourceError, locked, KAV_E_IO, "cannot be opened"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        const OpenFailure f =
            classifyOpenFailure("/dev/ttyUSB0", c.error, "system says why", c.facts);
        EXPECT_EQ(f.code, c.code);
        EXPECT_NE(f.message.find(c.says), std::string::npos) << f.message;
        EXPECT_NE(f.message.find("system says why"), std::string::npos) << f.message;
    }
    EXPECT_FALSE(deviceFacts("/dev/ttyNoSuchReader7").exists);
    EXPECT_TRUE(deviceFacts("/dev/null").exists);
}

TEST(SerialLinkThreads, PortsProbedInParallelOnPlainThreads) {
    constexpr int kPorts = 3;
    std::vector<std::shared_ptr<virt::VirtualReader>> readers;
    std::vector<std::unique_ptr<virt::PtyServer>> servers;
    for (int i = 0; i < kPorts; ++i) {
        readers.push_back(std::make_shared<virt::VirtualReader>());
        readers.back()->setBaudRate(kBaudRates[static_cast<std::size_t>(i)].baud);
        servers.push_back(std::make_unique<virt::PtyServer>(readers.back()));
        ASSERT_TRUE(servers.back()->start());
    }
    // Each thread probes its port at every rate, as discovery would.
    std::vector<std::uint32_t> found(kPorts, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kPorts; ++i) {
        threads.emplace_back([&, i] {
            SerialLink link;
            if (link.open(servers[static_cast<std::size_t>(i)]->slavePath(), kDefaultBaud) !=
                KAV_OK)
                return;
            for (const BaudRate &rate : kBaudRates) {
                link.setBaudRate(rate.baud);
                Response r;
                if (transact(link, kSamStatus, {}, r, commandTimeout(kSamStatus, rate.baud)) ==
                    KAV_OK) {
                    found[static_cast<std::size_t>(i)] = rate.baud;
                    return;
                }
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (int i = 0; i < kPorts; ++i)
        EXPECT_EQ(found[static_cast<std::size_t>(i)], kBaudRates[static_cast<std::size_t>(i)].baud);
}

TEST(VirtualReaderTool, PrintsItsPathServesAndStopsCleanlyOnSigterm) {
    const std::string linkPath = "/tmp/kav_tool_test_" + std::to_string(::getpid());
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::execl(KAV_VIRTUAL_READER_TOOL, KAV_VIRTUAL_READER_TOOL, "--baud", "38400", "--link",
                linkPath.c_str(), "--fault", "noise", "--every", "2", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE *stream = ::fdopen(out[0], "r");
    char line[256] = {};
    ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
    const std::string path = std::string(line).substr(0, std::strlen(line) - 1);
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(std::filesystem::read_symlink(linkPath), path);

    {
        SerialLink link;
        ASSERT_EQ(link.open(linkPath, 38400), KAV_OK) << link.lastError();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkPath)));
    std::fclose(stream);
}

} // namespace
} // namespace kav
