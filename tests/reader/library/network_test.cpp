// Readers on network ports: through ser2net itself in front of the virtual
// reader's pty, discovery beside addresses that never answer, and calls on
// different ports at work at the same time.
#include "KavIDCardAPI.h"
#include "network_server.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"
#include "test_pty.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class NetworkPorts : public ::testing::Test {
  protected:
    void use(const std::string &devices) {
        ::setenv("KAVIDCARD_DEVICES", ("defaults=off," + devices).c_str(), 1);
        kav::testing::resetLibrary();
        ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, folder.path().c_str()), KAV_OK);
    }
    void TearDown() override {
        for (int port : kav::testing::openPorts())
            Kav_ClosePort(port);
    }
    test::TempFolder folder;
};

int readCard(int port, IDCardRecord &record) {
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
    Kav_StartFindIDCard(port, find, 0);
    Kav_SelectIDCard(port, select, 0);
    return Kav_ReadMsg(port, 0, &record);
}

TEST_F(NetworkPorts, ThroughSer2netACardIsReadAndTheRateFollowsTheSam) {
    KAV_REQUIRE_SER2NET();
    test::ToolReader tool;
    test::Ser2net server(tool.path());
    ASSERT_TRUE(server.running());
    // Discovery probes the network port beside a local one that stays
    // silent. (A local reader that answers would win whenever ser2net is
    // slower than discovery's grace, as under emulation.)
    const test::Pty silent;
    use("1=" + server.url() + ",2=" + silent.slave());
    EXPECT_EQ(Kav_FindReader(), 1);

    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    IDCardRecord record{};
    ASSERT_EQ(readCard(1, record), KAV_OK);
    EXPECT_STRNE(record.idNumber, "");

    // The virtual reader models a rate mismatch: the SAM answers at 57600
    // only if ser2net set its pty to 57600 when told through RFC 2217.
    ASSERT_EQ(Kav_SetCOMBaud(1, 115200, 57600), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    unsigned baud = 0;
    EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
    EXPECT_EQ(baud, 57600u);
    EXPECT_EQ(readCard(1, record), KAV_OK);
    Kav_ClosePort(1);

    // A library that never saw the change finds the SAM's rate by asking.
    use("1=" + server.url());
    EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
    EXPECT_EQ(baud, 57600u);
    EXPECT_EQ(Kav_SetCOMBaud(1, 57600, 115200), KAV_OK);
}

TEST_F(NetworkPorts, APortRecoversWhenSer2netComesBack) {
    KAV_REQUIRE_SER2NET();
    test::ToolReader tool;
    test::Ser2net server(tool.path());
    ASSERT_TRUE(server.running());
    use("1=" + server.url());
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    ASSERT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);

    server.stop();
    const int away = Kav_GetSAMStatus(1, 0);
    EXPECT_TRUE(away == KAV_E_IO || away == KAV_E_REFUSED || away == KAV_E_TIMEOUT) << away;
    ASSERT_TRUE(server.start());
    // No close and open by the host: the next call connects again.
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    IDCardRecord record{};
    EXPECT_EQ(readCard(1, record), KAV_OK);
}

TEST_F(NetworkPorts, ARawTcpPortRefusesARateChangeBeforeTheSamHearsOfIt) {
    KAV_REQUIRE_SER2NET();
    test::ToolReader tool;
    test::Ser2net server(tool.path(), test::Ser2net::Mode::Tcp);
    ASSERT_TRUE(server.running());
    use("1=" + server.url());
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(Kav_SetCOMBaud(1, 115200, 57600), KAV_E_NOT_SUPPORTED);
    // Had the SAM been told, it would now be at 57600 and deaf at 115200.
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
    unsigned baud = 0;
    EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
    EXPECT_EQ(baud, 115200u);
}

TEST_F(NetworkPorts, DiscoveryFindsTheReaderBesideAddressesThatNeverAnswer) {
    const test::BlackHole hole;
    std::string devices;
    for (int port = 1; port <= 4; ++port)
        devices +=
            std::to_string(port) + "=rfc2217://127.0.0.1:" + std::to_string(hole.port()) + ",";
    use(devices + "5=tcp://127.0.0.1:" + std::to_string(hole.port()) + ",6=virtual");
    EXPECT_EQ(Kav_FindReader(), 6);
    // A black-holed port opens to a failure, within its time.
    EXPECT_EQ(Kav_OpenPort(2), KAV_E_UNREACHABLE);
}

// With one lock over every call, calls on port 2 would wait for port 1's
// open to give up; with a lock per port they run meanwhile.
TEST_F(NetworkPorts, CallsOnOnePortRunWhileAnotherPortWaitsOnItsServer) {
    // Takes the connection, then never says a word: port 1's open waits
    // for the negotiation to its time limit.
    test::ScriptedServer silent([](int fd, const std::atomic<bool> &stopping) {
        while (!stopping.load())
            test::receiveSome(fd, 20ms);
    });
    use("1=rfc2217://127.0.0.1:" + std::to_string(silent.port()) + ",2=virtual");
    std::atomic<bool> firstDone{false};
    auto first = std::async(std::launch::async, [&] {
        const int r = Kav_OpenPort(1);
        firstDone = true;
        return r;
    });
    // Port 1 is inside its open once the server has its connection.
    ASSERT_TRUE(test::waitUntil([&] { return silent.connections() == 1; }));
    ASSERT_EQ(Kav_OpenPort(2), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(2, 0), KAV_OK);
    unsigned char id[KAV_SAM_ID_SIZE] = {};
    EXPECT_EQ(Kav_GetSAMID(2, id, 0), KAV_OK);
    EXPECT_EQ(Kav_SetPhotoType(KAV_PHOTO_JPEG), KAV_OK);
    EXPECT_FALSE(firstDone.load()) << "port 2's calls waited for port 1";
    EXPECT_EQ(first.get(), KAV_E_TIMEOUT);
}

} // namespace
