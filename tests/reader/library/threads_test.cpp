// Calls from several threads and from inside the trace callback, discovery
// without threads, and a port whose card file is hostile.
#include "../utf8.h"
#include "KavIDCardAPI.h"
#include "process.h"
#include "test_files.h"
#include "testing.h"
#include "virtual/virtual_reader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kav::virt::Fault;
using namespace std::chrono_literals;

// Runs fn on a thread of its own; a call that never returns (a deadlock)
// ends the test program, as nothing else can run past the lock it holds.
void mustReturn(const std::function<void()> &fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([fn, done] {
        fn();
        done->set_value();
    }).detach();
    if (ended.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the call never returned";
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

class ThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KAVIDCARD_DEVICES", "defaults=off,1=virtual,2=virtual", 1);
        kav::testing::resetLibrary();
        ASSERT_FALSE(temp.path().empty());
        ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, folder.c_str()), KAV_OK);
    }
    void TearDown() override {
        Kav_SetTraceCallback(nullptr, nullptr);
        kav::testing::refuseThreads(false);
        for (int port : {1, 2})
            Kav_ClosePort(port);
    }
    test::TempFolder temp;
    const fs::path &folder = temp.path();
};

// A call made from inside the callback, once, on the first frame sent: the
// library's lock is held then.
struct Reentry {
    std::function<int()> call;
    std::optional<int> result;
    std::thread::id thread;
};

void KAV_CALL callOnce(const KavTraceEvent *event, void *context) {
    auto *r = static_cast<Reentry *>(context);
    if (r->result || event->kind != KAV_TRACE_TO_READER)
        return;
    r->thread = std::this_thread::get_id();
    r->result = r->call();
}

// Every call but the two allowed ones returns at once from inside the
// callback, whether the callback runs inside the caller's own call or on a
// discovery thread the caller waits for.
TEST_F(ThreadsTest, CallsFromInsideTheCallbackReturnAtOnce) {
    unsigned char buffer[KAV_SAM_ID_SIZE] = {};
    unsigned baud = 0;
    IDCardRecord record{};
    char device[64] = {};
    int port = 0;
    const struct Case {
        const char *what;
        std::function<int()> call;
        int result;
    } cases[] = {
        {"Kav_FindReader", [] { return Kav_FindReader(); }, KAV_NO_PORT},
        {"Kav_OpenPort", [] { return Kav_OpenPort(2); }, KAV_E_IN_CALLBACK},
        {"Kav_ClosePort", [] { return Kav_ClosePort(1); }, KAV_E_IN_CALLBACK},
        {"Kav_GetCOMBaud", [&] { return Kav_GetCOMBaud(1, &baud); }, KAV_E_IN_CALLBACK},
        {"Kav_SetCOMBaud", [] { return Kav_SetCOMBaud(1, 115200, 57600); }, KAV_E_IN_CALLBACK},
        {"Kav_SetMaxRFByte", [] { return Kav_SetMaxRFByte(1, 80, 0); }, KAV_E_IN_CALLBACK},
        {"Kav_GetSAMStatus", [] { return Kav_GetSAMStatus(1, 0); }, KAV_E_IN_CALLBACK},
        {"Kav_ResetSAM", [] { return Kav_ResetSAM(1, 0); }, KAV_E_IN_CALLBACK},
        {"Kav_GetSAMID", [&] { return Kav_GetSAMID(1, buffer, 0); }, KAV_E_IN_CALLBACK},
        {"Kav_StartFindIDCard", [&] { return Kav_StartFindIDCard(1, buffer, 0); },
         KAV_E_IN_CALLBACK},
        {"Kav_SelectIDCard", [&] { return Kav_SelectIDCard(1, buffer, 0); }, KAV_E_IN_CALLBACK},
        {"Kav_ReadMsg", [&] { return Kav_ReadMsg(1, 0, &record); }, KAV_E_IN_CALLBACK},
        {"Kav_SetSexType", [] { return Kav_SetSexType(1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetNationType", [] { return Kav_SetNationType(1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetBornType", [] { return Kav_SetBornType(1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetUserLifeBType", [] { return Kav_SetUserLifeBType(1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetUserLifeEType", [] { return Kav_SetUserLifeEType(1, 1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetPhotoPath", [] { return Kav_SetPhotoPath(KAV_PHOTO_IN_ROOT, nullptr); },
         KAV_E_IN_CALLBACK},
        {"Kav_SetPhotoType", [] { return Kav_SetPhotoType(1); }, KAV_E_IN_CALLBACK},
        {"Kav_SetPhotoName", [] { return Kav_SetPhotoName(1); }, KAV_E_IN_CALLBACK},
        {"Kav_GetMappedPort",
         [&] { return Kav_GetMappedPort(0, &port, device, static_cast<int>(sizeof device)); },
         KAV_E_IN_CALLBACK},
        {"Kav_GetLastFailure",
         [&] { return Kav_GetLastFailure(1, device, static_cast<int>(sizeof device)); },
         KAV_E_IN_CALLBACK},
    };
    const struct Trigger {
        const char *what;
        bool onDiscoveryThread;
        int closeFirst; // a port to close before the callback is set
        std::function<void()> run;
    } triggers[] = {
        {"inside a call on this thread", false, 0, [] { Kav_GetSAMStatus(1, 0); }},
        {"on a discovery thread", true, 1, [] { Kav_FindReader(); }},
    };
    for (const Trigger &t : triggers) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + " " + t.what);
            ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
            Kav_ClosePort(t.closeFirst);
            Reentry reentry{c.call, std::nullopt, {}};
            std::thread::id caller;
            mustReturn([&] {
                caller = std::this_thread::get_id();
                Kav_SetTraceCallback(callOnce, &reentry);
                t.run();
                Kav_SetTraceCallback(nullptr, nullptr);
            });
            ASSERT_TRUE(reentry.result);
            EXPECT_EQ(*reentry.result, c.result);
            EXPECT_EQ(reentry.thread != caller, t.onDiscoveryThread);
            // Nothing was done from inside: no port opened or closed.
            EXPECT_EQ(kav::testing::openPorts(),
                      t.closeFirst == 1 ? std::vector<int>{} : std::vector<int>{1});
        }
    }
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK) << "the library works on";
}

struct Switcher {
    KavTraceCallback next = nullptr;
    void *nextContext = nullptr;
    int events = 0;
    int setResult = -1;
    std::string resultText;
};

void KAV_CALL switchAway(const KavTraceEvent *, void *context) {
    auto *s = static_cast<Switcher *>(context);
    ++s->events;
    s->resultText = Kav_ResultText(KAV_E_TIMEOUT);
    s->setResult = Kav_SetTraceCallback(s->next, s->nextContext);
}

void KAV_CALL count(const KavTraceEvent *, void *context) {
    ++static_cast<Switcher *>(context)->events;
}

TEST_F(ThreadsTest, TheCallbackRemovesOrReplacesItselfFromInside) {
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    Switcher removes;
    Switcher replaces;
    Switcher replacement;
    replaces.next = count;
    replaces.nextContext = &replacement;
    for (Switcher *s : {&removes, &replaces}) {
        mustReturn([&] {
            Kav_SetTraceCallback(switchAway, s);
            for (int i = 0; i < 3; ++i)
                Kav_GetSAMStatus(1, 0);
        });
        EXPECT_EQ(s->setResult, KAV_OK);
        EXPECT_EQ(s->events, 1) << "no event after it went";
        EXPECT_EQ(s->resultText, Kav_ResultText(KAV_E_TIMEOUT));
    }
    // Each status call gives two frames and the operation.
    EXPECT_GE(replacement.events, 3 * 3 - 1) << "the replacement got the rest";
    const int before = replacement.events;
    Kav_SetTraceCallback(nullptr, nullptr);
    Kav_GetSAMStatus(1, 0);
    EXPECT_EQ(replacement.events, before);
}

// Under a process limit no probe thread starts: every port is still
// probed, one after another, and the reader behind silent ones is found.
TEST_F(ThreadsTest, WithoutThreadsDiscoveryProbesEveryPortInTurn) {
    kav::testing::virtualReader(1)->setFault(Fault::Delay);
    kav::testing::virtualReader(2)->setBaudRate(38400);
    kav::testing::refuseThreads(true);
    EXPECT_EQ(Kav_FindReader(), 2);
    unsigned baud = 0;
    EXPECT_EQ(Kav_GetCOMBaud(2, &baud), KAV_OK);
    EXPECT_EQ(baud, 38400u);
}

// A reader whose probe begins after another reader answered (here: probed
// in turn after an open port that stays silent until the stop) is still
// heard, and the lower port wins as if both had been asked at once.
TEST_F(ThreadsTest, AProbeThatBeginsLateIsStillHeard) {
    setenv("KAVIDCARD_DEVICES", "defaults=off,1=virtual,2=virtual,3=virtual", 1);
    kav::testing::resetLibrary();
    ASSERT_EQ(Kav_OpenPort(2), KAV_OK);
    ASSERT_EQ(Kav_OpenPort(3), KAV_OK);
    kav::testing::virtualReader(3)->setFault(Fault::Delay);
    kav::testing::refuseThreads(true);
    EXPECT_EQ(Kav_FindReader(), 1);
    kav::testing::virtualReader(3)->clearFaults();
    Kav_ClosePort(3);
}

// The same under a real process limit, in a child of its own: as a user
// the limit binds (root is made nobody first), no thread can start.
TEST_F(ThreadsTest, UnderAProcessLimitDiscoveryStillFindsTheReader) {
    kav::testing::virtualReader(1)->setFault(Fault::Delay);
    const int found = test::inChild([] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 100;
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            return 101;
        std::thread probe;
        try {
            probe = std::thread([] {});
            probe.join();
            return 102; // the limit does not bind here
        } catch (const std::system_error &) {
        }
        return Kav_FindReader();
    });
    if (found == 102)
        GTEST_SKIP() << "the process limit does not stop threads here";
    EXPECT_EQ(found, 2);
}

// A card file the virtual reader cannot use leaves a reader without a card
// on its port, and the reader on the next port is found as ever.
TEST_F(ThreadsTest, AHostileCardFileSpoilsNeitherItsPortNorAnother) {
    const fs::path bad = folder / "bad.json";
    std::ofstream(bad) << R"({"comment": 1e400})";
    const std::string devices = "defaults=off,1=virtual:" + bad.string() + ",2=virtual";
    setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
    kav::testing::resetLibrary();
    std::vector<std::string> notes;
    std::mutex guard;
    struct Context {
        std::vector<std::string> *notes;
        std::mutex *guard;
    } context{&notes, &guard};
    Kav_SetTraceCallback(
        [](const KavTraceEvent *e, void *c) {
            auto *ctx = static_cast<Context *>(c);
            std::lock_guard lock(*ctx->guard);
            if (e->kind == KAV_TRACE_NOTE)
                ctx->notes->push_back(e->text);
        },
        &context);
    EXPECT_NE(Kav_FindReader(), KAV_NO_PORT);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    EXPECT_EQ(Kav_StartFindIDCard(1, find, 0), 0x80) << "a reader without a card";
    ASSERT_EQ(Kav_OpenPort(2), KAV_OK);
    EXPECT_EQ(Kav_StartFindIDCard(2, find, 0), KAV_OK);
    Kav_SetTraceCallback(nullptr, nullptr);
    bool said = false;
    for (const std::string &n : notes)
        said = said || (n.find("without a card") != std::string::npos &&
                        n.find("bad.json") != std::string::npos);
    EXPECT_TRUE(said) << "the trace says why port 1 has no card";
}

// Ten threads read, change settings and close ports under one another:
// each call gets a result it documents, and the library works on after.
TEST_F(ThreadsTest, ATenThreadStormLeavesTheLibraryWorking) {
    std::atomic<int> unexpected{0};
    const std::set<int> readResults = {KAV_OK, KAV_E_NOT_OPEN, 0x41, 0x80, 0x81, KAV_E_PHOTO_WRITE};
    auto reads = [&](int port) {
        IDCardRecord record{};
        unsigned char buffer[KAV_SELECT_BUFFER_SIZE] = {};
        for (int i = 0; i < 20; ++i) {
            Kav_OpenPort(port);
            Kav_StartFindIDCard(port, buffer, 0);
            Kav_SelectIDCard(port, buffer, 0);
            if (readResults.count(Kav_ReadMsg(port, 0, &record)) == 0)
                ++unexpected;
        }
    };
    auto settings = [&] {
        for (int i = 0; i < 200; ++i) {
            if (Kav_SetSexType(i % 2) != KAV_OK || Kav_SetPhotoType(i % 3) != KAV_OK ||
                Kav_SetPhotoName(i % 2 == 0 ? KAV_PHOTO_NAME_TMP : KAV_PHOTO_NAME_ID) != KAV_OK)
                ++unexpected;
        }
    };
    auto closes = [&] {
        for (int i = 0; i < 200; ++i)
            Kav_ClosePort(1 + i % 2);
    };
    auto callbacks = [&] {
        for (int i = 0; i < 200; ++i)
            Kav_SetTraceCallback(i % 2 == 0 ? +[](const KavTraceEvent *, void *) {} : nullptr,
                                 nullptr);
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(reads, 1 + i % 2);
    threads.emplace_back(settings);
    threads.emplace_back(settings);
    threads.emplace_back(closes);
    threads.emplace_back(closes);
    threads.emplace_back(callbacks);
    threads.emplace_back([] {
        for (int i = 0; i < 5; ++i)
            Kav_FindReader();
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(unexpected, 0);
    Kav_SetTraceCallback(nullptr, nullptr);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    IDCardRecord record{};
    unsigned char buffer[KAV_SELECT_BUFFER_SIZE] = {};
    EXPECT_EQ(Kav_StartFindIDCard(1, buffer, 0), KAV_OK);
    EXPECT_EQ(Kav_SelectIDCard(1, buffer, 0), KAV_OK);
    EXPECT_EQ(Kav_ReadMsg(1, 0, &record), KAV_OK);
}

// Device names from the environment reach the trace as UTF-8, whatever
// bytes they hold.
TEST_F(ThreadsTest, TraceTextsFromTheEnvironmentAreUtf8) {
    std::vector<std::string> texts;
    Kav_SetTraceCallback(
        [](const KavTraceEvent *e, void *c) {
            static_cast<std::vector<std::string> *>(c)->push_back(e->text);
        },
        &texts);
    setenv("KAVIDCARD_DEVICES", "defaults=off,\xff\xc3(=virtual,3=virtual:/no/\xe9t\xe9.json", 1);
    kav::testing::resetLibrary();
    Kav_OpenPort(3);
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    Kav_StartFindIDCard(3, find, 0);
    Kav_ClosePort(3);
    Kav_SetTraceCallback(nullptr, nullptr);
    std::string all;
    for (const std::string &t : texts)
        all += t + "\n";
    EXPECT_NE(all.find("\\xFF\\xC3("), std::string::npos) << all;
    EXPECT_NE(all.find("/no/\\xE9t\\xE9.json"), std::string::npos) << all;
    for (const std::string &t : texts)
        EXPECT_TRUE(test::isUtf8(t)) << t;
}

} // namespace
