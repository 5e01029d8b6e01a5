// Kav_GetLastFailure: for each way a port's call fails, the text names
// what the result code cannot; a later success on that port clears it.
#include "KavIDCardAPI.h"
#include "network_server.h"
#include "test_pty.h"
#include "testing.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kCards = KAV_CARDS_DIR;

std::string lastFailure(int port) {
    char text[KAV_WARNING_TEXT_SIZE] = "unset";
    EXPECT_EQ(Kav_GetLastFailure(port, text, sizeof text), KAV_OK);
    return text;
}

void use(const std::string &devices) {
    setenv("KAVIDCARD_DEVICES", ("defaults=off," + devices).c_str(), 1);
    kav::testing::resetLibrary();
}

int readMsg(int port) {
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
    IDCardRecord record;
    Kav_StartFindIDCard(port, find, 0);
    Kav_SelectIDCard(port, select, 0);
    return Kav_ReadMsg(port, 0, &record);
}

// A port on 127.0.0.1 that nothing listens on any more.
std::uint16_t closedPort() {
    const test::ScriptedServer gone([](int, const std::atomic<bool> &) {});
    return gone.port();
}

} // namespace

TEST(LastFailure, SaysWhatTheResultCodeCannot) {
    const test::Pty pty;
    const std::string refusing = "tcp://127.0.0.1:" + std::to_string(closedPort());
    const test::BlackHole hole;
    const std::string unanswered = "rfc2217://127.0.0.1:" + std::to_string(hole.port());
    use("1=virtual,4=virtual:/no/such.json,5=virtual:" + kCards +
        "/unknown-type-y.json,7=/no/such/ttyX,8=" + refusing +
        ",10=tcp://no-such-host.invalid:4001,11=" + unanswered + ",1001=" + pty.slave() +
        ",1002=" + pty.slave());
    const struct {
        const char *what;
        int port;
        std::function<int()> call;
        int result;
        std::vector<std::string> says; // each somewhere in the text
    } cases[] = {
        {"a missing device",
         7,
         [] { return Kav_OpenPort(7); },
         KAV_E_NO_DEVICE,
         {"/no/such/ttyX", "No such file or directory"}},
        {"no device mapped", 9, [] { return Kav_OpenPort(9); }, KAV_E_NO_DEVICE, {"no device"}},
        {"a server that refuses",
         8,
         [] { return Kav_OpenPort(8); },
         KAV_E_REFUSED,
         {refusing, "Connection refused"}},
        {"a host name that does not resolve",
         10,
         [] { return Kav_OpenPort(10); },
         KAV_E_UNKNOWN_HOST,
         {"tcp://no-such-host.invalid:4001", "host"}},
        {"a server that never answers",
         11,
         [] { return Kav_OpenPort(11); },
         KAV_E_UNREACHABLE,
         {unanswered, "no connection in time"}},
        {"a virtual reader whose card file is missing",
         4,
         [] { return Kav_OpenPort(4) == KAV_OK ? Kav_StartFindIDCard(4, nullptr, 0) : -100; },
         0x80,
         {"card file /no/such.json", "No such file or directory"}},
        {"an unknown layout",
         5,
         [] { return Kav_OpenPort(5) == KAV_OK ? readMsg(5) : -100; },
         KAV_E_UNKNOWN_LAYOUT,
         {"U+0059 'Y'", "a layout this library does not know"}},
        {"the device held by another port",
         1002,
         [] { return Kav_OpenPort(1001) == KAV_OK ? Kav_OpenPort(1002) : -100; },
         KAV_E_BUSY,
         {pty.slave(), "port 1001 of this program has it open"}},
        {"nothing beyond the code",
         1,
         [] { return Kav_GetSAMStatus(1, 0); },
         KAV_E_NOT_OPEN,
         {Kav_ResultText(KAV_E_NOT_OPEN)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(lastFailure(c.port), "") << "no call made yet";
        EXPECT_EQ(c.call(), c.result);
        const std::string text = lastFailure(c.port);
        for (const std::string &part : c.says)
            EXPECT_NE(text.find(part), std::string::npos) << "missing: " << part << "\n" << text;
    }
    for (int port : {1, 4, 5, 1001, 1002})
        Kav_ClosePort(port);
}

TEST(LastFailure, StaysUntilThePortsNextSuccess) {
    use("1=virtual,2=virtual");
    ASSERT_EQ(Kav_GetSAMStatus(1, 0), KAV_E_NOT_OPEN);
    const std::string failed = lastFailure(1);
    ASSERT_NE(failed, "");

    // Calls that do not reach for the device, and other ports, leave it.
    KavCardData card{};
    card.size = sizeof card;
    unsigned retries = 0;
    const struct {
        const char *what;
        std::function<int()> call;
    } leaving[] = {
        {"the last card", [&] { return Kav_GetLastCard(1, &card); }},
        {"the retry count", [&] { return Kav_GetRetryCount(1, &retries); }},
        {"closing", [] { return Kav_ClosePort(1); }},
        {"another port's success", [] { return Kav_OpenPort(2); }},
    };
    for (const auto &c : leaving) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.call(), KAV_OK);
        EXPECT_EQ(lastFailure(1), failed);
    }
    // A buffer that cannot take it is refused and left alone.
    char small[4] = "ab";
    EXPECT_EQ(Kav_GetLastFailure(1, small, sizeof small), KAV_E_BAD_ARGUMENT);
    EXPECT_STREQ(small, "ab");
    EXPECT_EQ(Kav_GetLastFailure(1, nullptr, 10), KAV_E_BAD_ARGUMENT);

    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(lastFailure(1), "");
    // A new failure replaces nothing stale: its own text, not the first one.
    EXPECT_EQ(Kav_SetMaxRFByte(1, 0, 0), KAV_E_BAD_ARGUMENT);
    EXPECT_EQ(lastFailure(1), Kav_ResultText(KAV_E_BAD_ARGUMENT));
    Kav_ClosePort(1);
    Kav_ClosePort(2);
}

// File permissions do not bind root: run as an ordinary user (the
// unprivileged ctest entry), skipped otherwise.
TEST(LastFailureAccess, NamesTheDevicesGroup) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens any file";
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::string path = folder.filePath("ttyLocked").toStdString();
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const group *owner = getgrgid(info.st_gid);
    ASSERT_NE(owner, nullptr);

    use("7=" + path);
    EXPECT_EQ(Kav_OpenPort(7), KAV_E_PERMISSION);
    const std::string text = lastFailure(7);
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find(std::string("group ") + owner->gr_name), std::string::npos) << text;
}
