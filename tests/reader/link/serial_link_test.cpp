#include "KavIDCardAPI.h"
#include "link/serial_link.h"
#include "process.h"
#include "protocol/transact.h"
#include "test_bytes.h"
#include "test_pty.h"
#include "virtual/pty_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

pid_t threadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Whether thread `tid` of this process is asleep in the kernel (as a read
// waiting in poll is), waiting for it until `limit`.
bool asleep(pid_t tid, Clock::time_point limit) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    while (Clock::now() < limit) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        // The state follows the command name, which is in parentheses.
        const std::size_t name = line.rfind(')');
        if (name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S')
            return true;
        std::this_thread::yield();
    }
    return false;
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

TEST_F(PtyTest, ASecondOpenOfTheSamePortIsBusyUntilTheFirstCloses) {
    SerialLink second;
    EXPECT_EQ(second.open(server.slavePath(), kDefaultBaud), KAV_E_BUSY) << second.lastError();
    EXPECT_NE(second.lastError().find("in use"), std::string::npos) << second.lastError();
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess) << "the holder is not disturbed";
    link.close();
    EXPECT_EQ(second.open(server.slavePath(), kDefaultBaud), KAV_OK) << second.lastError();
}

// Root passes file permissions, so what an ordinary user meets shows only
// to one: a child that became one opens the tty through a link. Its exit
// code is the open's result, negated.
int openAsOrdinaryUser(const std::string &path) {
    return ::test::inChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 100;
        SerialLink link;
        return -link.open(path, kDefaultBaud);
    });
}

// The lock dies with the process that held it, however that ends, while
// the pty server keeps the tty open; until then it keeps others out.
TEST_F(PtyTest, AHolderKilledMidRunLeavesTheTtyFreeForAnOrdinaryUser) {
    const std::string path = server.slavePath();
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    for (int sig : {SIGKILL, SIGTERM, SIGPIPE}) {
        SCOPED_TRACE(strsignal(sig));
        // The holder: a child that opens the tty when told, says its pid and
        // waits. Forked from this thread while the tty is quiet: a fork while
        // another thread allocates can leave the child stuck on the
        // allocator's lock (seen under AddressSanitizer).
        int go[2];
        int said[2];
        ASSERT_EQ(::pipe(go), 0);
        ASSERT_EQ(::pipe(said), 0);
        ::test::Child holder([&] {
            ::signal(SIGPIPE, SIG_DFL); // a host that ignores it is not the case here
            link.close();               // this copy would keep the test's lock alive
            char byte = 0;
            if (::read(go[0], &byte, 1) != 1)
                return 3;
            SerialLink mine;
            if (mine.open(path, kDefaultBaud) != KAV_OK)
                return 1;
            const pid_t pid = ::getpid();
            if (::write(said[1], &pid, sizeof pid) != sizeof pid)
                return 2;
            for (;;)
                ::pause();
        });
        link.close();
        ASSERT_EQ(::write(go[1], "g", 1), 1);
        pid_t pid = 0;
        pollfd p{said[0], POLLIN, 0};
        const bool ready =
            ::poll(&p, 1, 5000) == 1 && ::read(said[0], &pid, sizeof pid) == sizeof pid;
        if (ready) {
            EXPECT_EQ(openAsOrdinaryUser(path), -KAV_E_BUSY) << "refused while the holder lives";
            SerialLink second;
            EXPECT_EQ(second.open(path, kDefaultBaud), KAV_E_BUSY) << "and to root too";
            holder.signal(sig);
        }
        const int held = holder.wait();
        for (int fd : {go[0], go[1], said[0], said[1]})
            ::close(fd);
        ASSERT_TRUE(ready) << "the holder did not open the tty: exit " << held;
        EXPECT_EQ(held, 128 + sig);
        EXPECT_EQ(openAsOrdinaryUser(path), KAV_OK) << "free once the holder is gone";
    }
}

struct NotASerialDevice {
    const char *what;
    std::string path;
    int code;
    const char *says;
};

TEST(SerialLinkOpen, WhatIsNotASerialDeviceIsRefusedAtOnce) {
    const std::string dir = testing::TempDir() + "kav_serial_" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    const std::string file = dir + "/regular";
    const std::string fifo = dir + "/fifo";
    std::FILE *f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a tty", f);
    std::fclose(f);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const NotASerialDevice cases[] = {
        {"a regular file", file, KAV_E_NO_DEVICE, "not a serial device"},
        {"a FIFO", fifo, KAV_E_NO_DEVICE, "not a serial device"},
        {"a directory", dir, KAV_E_NO_DEVICE, "not a serial device"},
        {"a character device that is no tty", "/dev/null", KAV_E_NO_DEVICE, "not a serial device"},
        {"nothing", "/dev/ttyNoSuchReader7", KAV_E_NO_DEVICE, "no such device"},
    };
    for (const NotASerialDevice &c : cases) {
        SCOPED_TRACE(c.what);
        SerialLink link;
        const auto start = Clock::now();
        EXPECT_EQ(link.open(c.path, kDefaultBaud), c.code) << link.lastError();
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_FALSE(link.isOpen());
        EXPECT_NE(link.lastError().find(c.path), std::string::npos) << link.lastError();
        EXPECT_NE(link.lastError().find(c.says), std::string::npos) << link.lastError();
    }
    std::filesystem::remove_all(dir);
}

TEST_F(PtyTest, OnlyTheSamsRatesAreAccepted) {
    for (std::uint32_t baud : {0u, 300u, 4800u, 230400u, 115201u}) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(link.setBaudRate(baud), KAV_E_BAD_ARGUMENT);
        EXPECT_EQ(link.baudRate(), kDefaultBaud);
        SerialLink other;
        EXPECT_EQ(other.open(server.slavePath(), baud), KAV_E_BAD_ARGUMENT);
        EXPECT_FALSE(other.isOpen());
    }
    EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess) << "a refused rate leaves the link as it was";
    for (const BaudRate &rate : kBaudRates) {
        SCOPED_TRACE(rate.baud);
        EXPECT_EQ(link.setBaudRate(rate.baud), KAV_OK);
        EXPECT_EQ(link.baudRate(), rate.baud);
    }
}

TEST(SerialLinkPeer, AHangUpFailsTheReadBeforeItsDeadline) {
    struct Case {
        const char *what;
        test::Bytes before; // what the peer sent before hanging up
        bool whileWaiting;  // hang up while read() waits, or before it
    };
    const Case cases[] = {
        {"silent peer hangs up while the read waits", {}, true},
        {"peer sends half a frame and hangs up", test::hex("AA AA AA 96 69 00"), false},
        {"peer sends half a frame, hangs up while the read waits", test::hex("AA AA AA"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ::test::Pty pty;
        ASSERT_FALSE(pty.slave().empty());
        SerialLink link;
        ASSERT_EQ(link.open(pty.slave(), kDefaultBaud), KAV_OK) << link.lastError();
        if (!c.before.empty()) {
            ASSERT_EQ(::write(pty.master(), c.before.data(), c.before.size()),
                      static_cast<ssize_t>(c.before.size()));
        }
        std::vector<std::uint8_t> got;
        const auto deadline = Clock::now() + 3s;
        if (!c.before.empty()) {
            ASSERT_EQ(link.read(got, deadline), KAV_OK);
            EXPECT_EQ(got, c.before) << "what came before the hang-up is delivered";
        }
        std::thread peer;
        std::atomic<bool> reading{false};
        bool sawWaiting = false;
        if (c.whileWaiting) {
            peer = std::thread([&, reader = threadId()] {
                while (!reading.load())
                    std::this_thread::yield();
                sawWaiting = asleep(reader, deadline - 2s);
                pty.hangUp();
            });
        } else {
            pty.hangUp();
        }
        reading.store(true);
        EXPECT_EQ(link.read(got, deadline), KAV_E_IO);
        EXPECT_LT(Clock::now(), deadline - 2s) << "failed promptly, not at the deadline";
        EXPECT_FALSE(link.isOpen());
        EXPECT_NE(link.lastError().find(pty.slave()), std::string::npos) << link.lastError();
        if (peer.joinable()) {
            peer.join();
            EXPECT_TRUE(sawWaiting) << "the hang-up came while the read waited";
        }
    }
}

TEST(SerialLinkPeer, APeerThatNeverStopsSendingYieldsBoundedChunksPromptly) {
    ::test::Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    SerialLink link;
    ASSERT_EQ(link.open(pty.slave(), kDefaultBaud), KAV_OK) << link.lastError();
    // Non-blocking, so the peer can always see the stop request.
    ASSERT_EQ(::fcntl(pty.master(), F_SETFL, O_NONBLOCK), 0);
    std::jthread peer([&](std::stop_token stop) {
        const std::vector<std::uint8_t> noise(8192, 0xAA);
        while (!stop.stop_requested()) {
            pollfd p{pty.master(), POLLOUT, 0};
            if (::poll(&p, 1, 50) > 0) [[maybe_unused]]
                const auto n = ::write(pty.master(), noise.data(), noise.size());
        }
    });
    std::size_t total = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> out(3, 0x55); // read() appends
        ASSERT_EQ(link.read(out, Clock::now() + 5s), KAV_OK);
        ASSERT_GT(out.size(), 3u);
        ASSERT_LE(out.size() - 3, SerialLink::kReadChunk);
        EXPECT_EQ(out[0], 0x55);
        total += out.size() - 3;
    }
    EXPECT_LT(Clock::now() - start, 2s) << "each read returned as soon as it had bytes";
    EXPECT_GT(total, SerialLink::kReadChunk) << "the stream really was endless";
    link.discardInput(); // bounded too, or this test would hang here
}

TEST(OpenFailure, ClassifiedByTheSystemErrorAndWhatTheFileSystemSays) {
    const DeviceFacts absent{};
    const DeviceFacts present{true, true, "dialout", true};
    const DeviceFacts refused{true, false, "dialout", false};
    const DeviceFacts refusedButMember{true, false, "dialout", true};
    struct Case {
        int error;
        DeviceFacts facts;
        int code;
        const char *says;
    };
    const Case cases[] = {
        {ENOENT, absent, KAV_E_NO_DEVICE, "no such device"},
        {EACCES, absent, KAV_E_NO_DEVICE, "no such device"},
        {ENXIO, present, KAV_E_NO_DEVICE, "no such device"},
        {ENODEV, present, KAV_E_NO_DEVICE, "no such device"},
        {ENOTTY, present, KAV_E_NO_DEVICE, "not a serial device"},
        {EISDIR, present, KAV_E_NO_DEVICE, "not a serial device"},
        {EACCES, refused, KAV_E_PERMISSION, "group dialout"},
        {EACCES, refusedButMember, KAV_E_PERMISSION, "log in again"},
        {EPERM, present, KAV_E_PERMISSION, "permission denied"},
        {EBUSY, present, KAV_E_BUSY, "in use"},
        {EWOULDBLOCK, present, KAV_E_BUSY, "in use"},
        {EIO, present, KAV_E_IO, "cannot be opened"},
        {EMFILE, present, KAV_E_IO, "cannot be opened"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.says) + " / " + std::strerror(c.error));
        const OpenFailure f =
            classifyOpenFailure("/dev/ttyUSB0", c.error, "system says why", c.facts);
        EXPECT_EQ(f.code, c.code);
        EXPECT_NE(f.message.find(c.says), std::string::npos) << f.message;
        EXPECT_NE(f.message.find("system says why"), std::string::npos) << f.message;
        // What to do about it is said only when the file system refused.
        const bool hinted = f.message.find("must be a member") != std::string::npos;
        EXPECT_EQ(hinted, c.code == KAV_E_PERMISSION && !c.facts.accessible) << f.message;
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
    ::test::Child tool(KAV_VIRTUAL_READER_TOOL,
                       {"--baud", "38400", "--link", linkPath, "--fault", "noise", "--every", "2"});
    const std::string path = tool.readLine();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(std::filesystem::read_symlink(linkPath), path);

    {
        SerialLink link;
        ASSERT_EQ(link.open(linkPath, 38400), KAV_OK) << link.lastError();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(run(link, kSamStatus).r.sw3, kSuccess);
    }
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkPath)));
}

} // namespace
} // namespace kav
