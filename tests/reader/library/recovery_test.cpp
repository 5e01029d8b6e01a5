// A reader that goes away and comes back on the same path, as a replugged
// adapter does: the port the host opened serves again, with no close and
// open of its own, and fails at once while the reader is away.
#include "KavIDCardAPI.h"
#include "process.h"
#include "reader_tool.h"
#include "test_files.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The library with these devices, writing photos into `folder`.
void useDevices(const test::Vars &vars, const test::TempFolder &folder) {
    for (const auto &[name, value] : vars)
        ::setenv(name.c_str(), value.c_str(), 1);
    kav::testing::resetLibrary();
    ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, folder.path().c_str()), KAV_OK);
}

int readSequence(int port) {
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
    if (const int r = Kav_StartFindIDCard(port, find, 0); r != KAV_OK)
        return r;
    if (const int r = Kav_SelectIDCard(port, select, 0); r != KAV_OK)
        return r;
    IDCardRecord record{};
    return Kav_ReadMsg(port, 0, &record);
}

// What a call on a port whose reader is away may say: it is gone, at once.
bool away(int result) {
    return result == KAV_E_IO || result == KAV_E_NO_DEVICE;
}

enum class Away { Killed, Stopped, HungUpMidRead };
enum class Next { Status, Open, Find, Read };

TEST(ReaderComesBack, TheOpenPortServesAgainWithoutACloseByTheHost) {
    const struct Case {
        const char *what;
        Away how;
        Next next; // the first call once the reader is back
    } cases[] = {
        {"killed, then a status", Away::Killed, Next::Status},
        {"stopped, then an open", Away::Stopped, Next::Open},
        {"killed, then a search and the baud query", Away::Killed, Next::Find},
        {"hung up halfway through the read answer, then a read", Away::HungUpMidRead, Next::Read},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The fourth answer is the read's: the open's probe, find, select, read.
        test::ToolReader tool(
            c.how == Away::HungUpMidRead
                ? std::vector<std::string>{"--fault", "disconnect-mid-frame", "--every", "4"}
                : std::vector<std::string>{});
        ASSERT_TRUE(tool.running());
        const test::TempFolder folder;
        useDevices(tool.devices(), folder);
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);

        if (c.how == Away::HungUpMidRead) {
            EXPECT_EQ(readSequence(1), KAV_E_IO);
            // The reader's pty comes back by itself a moment later. The
            // open sends nothing to a port that is open, so waiting on it
            // leaves the fault's count alone.
            ASSERT_TRUE(test::waitUntil([] {
                const int opened = Kav_OpenPort(1);
                EXPECT_TRUE(opened == KAV_OK || away(opened)) << opened;
                return opened == KAV_OK;
            }));
        } else {
            ASSERT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
            tool.stop(c.how == Away::Killed ? SIGKILL : SIGTERM);
            EXPECT_PRED1(away, Kav_GetSAMStatus(1, 0));
            EXPECT_PRED1(away, Kav_OpenPort(1)) << "an open of a port whose reader is away";
            unsigned baud = 0;
            EXPECT_PRED1(away, Kav_GetCOMBaud(1, &baud));
            EXPECT_EQ(Kav_FindReader(), KAV_NO_PORT);
            tool.start();
            ASSERT_TRUE(tool.running());
        }

        switch (c.next) {
        case Next::Status:
            EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
            break;
        case Next::Open:
            EXPECT_EQ(Kav_OpenPort(1), KAV_OK);
            EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
            break;
        case Next::Find: {
            EXPECT_EQ(Kav_FindReader(), 1);
            unsigned baud = 0;
            EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
            EXPECT_EQ(baud, 115200u);
            break;
        }
        case Next::Read:
            EXPECT_EQ(readSequence(1), KAV_OK);
            break;
        }
        EXPECT_EQ(kav::testing::openPorts(), std::vector<int>{1}) << "the port stayed open";
        Kav_ClosePort(1);
    }
}

// A reader that comes back after its link failed, with its SAM at 57600
// before: unplugged it restarts at 115200, hung up it keeps its rate. The
// first call once it is back succeeds either way, and the port goes on at
// the rate the SAM answers at.
TEST(ReaderComesBack, AtWhateverRateItsSamCameBackAt) {
    const struct Case {
        const char *what;
        Away how;
        bool callWhileAway; // the library saw the device gone
        unsigned backAt;
    } cases[] = {
        {"unplugged, calls made while it was away", Away::Killed, true, 115200},
        {"unplugged and back between two calls", Away::Killed, false, 115200},
        {"hung up halfway through an answer, the SAM powered on", Away::HungUpMidRead, false,
         57600},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The sixth answer: the open's probe, the rate query, the change,
        // then find, select, read.
        test::ToolReader tool(
            c.how == Away::HungUpMidRead
                ? std::vector<std::string>{"--fault", "disconnect-mid-frame", "--every", "6"}
                : std::vector<std::string>{});
        ASSERT_TRUE(tool.running());
        const test::TempFolder folder;
        useDevices(tool.devices(), folder);
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        unsigned baud = 0;
        ASSERT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
        ASSERT_EQ(Kav_SetCOMBaud(1, baud, 57600), KAV_OK);

        if (c.how == Away::HungUpMidRead) {
            EXPECT_EQ(readSequence(1), KAV_E_IO);
            ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(tool.path()); }));
        } else {
            tool.stop(SIGKILL);
            if (c.callWhileAway) {
                EXPECT_PRED1(away, Kav_GetSAMStatus(1, 0));
                EXPECT_PRED1(away, Kav_GetSAMStatus(1, 0));
            }
            tool.start();
            ASSERT_TRUE(tool.running());
        }
        EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
        baud = 0;
        EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
        EXPECT_EQ(baud, c.backAt);
        Kav_ClosePort(1);
    }
}

} // namespace
