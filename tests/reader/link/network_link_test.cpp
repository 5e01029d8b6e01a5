// The network link against servers written for the test (hostile or
// broken on request, on 127.0.0.1 only), and the Telnet parser alone.
#include "KavIDCardAPI.h"
#include "link/network_link.h"
#include "link/telnet.h"
#include "network_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using kav::NetworkLink;
namespace telnet = kav::telnet;

// ---- The parser ----------------------------------------------------------

TEST(TelnetParser, SplitsDataAndCommandsWhereverTheReadsCut) {
    using K = telnet::Event::Kind;
    const Bytes stream = {0x01, 0xFF, 0xFF, 0x02, // a doubled 0xFF
                          0xFF, 0xFD, 0x2C,       // DO COM-PORT
                          0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xF0, // SB
                          0xFF, 0xF1,                                                       // NOP
                          0x03};
    const Bytes data = {0x01, 0xFF, 0x02, 0x03};
    const std::vector<telnet::Event> events = {
        {K::Do, 0x2C, {}, false},
        {K::Sub, 0x2C, {0x65, 0x00, 0x00, 0xFF, 0x00}, false},
    };
    // Every cut of the stream into two reads gives the same.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        telnet::Parser parser;
        Bytes out;
        parser.feed(std::span(stream).first(cut), out);
        parser.feed(std::span(stream).subspan(cut), out);
        EXPECT_EQ(out, data);
        EXPECT_EQ(parser.takeEvents(), events);
    }
}

TEST(TelnetParser, HostileStreamsCostNoMemory) {
    struct Case {
        const char *what;
        Bytes stream;
        Bytes data;
        std::size_t events;
    } const cases[] = {
        {"a subnegotiation without end keeps its first bytes only",
         [] {
             Bytes b = {0xFF, 0xFA, 0x2C};
             b.insert(b.end(), 10'000, 0x41);
             return b;
         }(),
         {},
         0},
        {"a broken subnegotiation gives the stream back",
         {0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xFD, 0x01, 0x07},
         {0x07},
         1},
        {"endless negotiation is counted, not kept",
         [] {
             Bytes b;
             for (int i = 0; i < 1000; ++i)
                 b.insert(b.end(), {0xFF, 0xFB, 0x01});
             return b;
         }(),
         {},
         telnet::Parser::kMaxEvents},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        telnet::Parser parser;
        Bytes out;
        parser.feed(c.stream, out);
        EXPECT_EQ(out, c.data);
        const std::vector<telnet::Event> events = parser.takeEvents();
        EXPECT_EQ(events.size(), c.events);
        for (const telnet::Event &e : events)
            EXPECT_LE(e.payload.size(), telnet::Parser::kMaxPayload);
    }
}

TEST(TelnetParser, OutgoingDataDoublesEveryIac) {
    EXPECT_EQ(telnet::escape(Bytes{0xAA, 0xFF, 0x11, 0xFF, 0xFF}),
              (Bytes{0xAA, 0xFF, 0xFF, 0x11, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(telnet::setBaudRate(0x0000E100),
              (Bytes{0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0xE1, 0x00, 0xFF, 0xF0}));
}

// ---- A server of the test's own -------------------------------------------

// How the scripted RFC 2217 server misbehaves.
struct Script {
    bool agree = true; // DO COM-PORT; false: DONT
    bool answerNegotiation = true;
    bool endlessNegotiation = false; // asks for options forever instead
    bool ackRates = true;
    bool endlessSubnegotiation = false; // begins its answer to a rate and never ends it
    Bytes after;                        // sent once a rate is acknowledged, in pieces
    std::chrono::milliseconds gap{0};   // between the pieces
    std::size_t cutAt = 0;              // where `after` is cut in two
    bool closeAfterAck = false;
};

// Collects what the client sent as data (un-doubled) for the test to see.
struct Seen {
    std::mutex mutex;
    Bytes data;
};

void serveScript(int fd, const std::atomic<bool> &stopping, const Script &script, Seen &seen) {
    telnet::Parser parser;
    bool agreed = false;
    while (!stopping.load()) {
        if (script.endlessNegotiation) {
            if (!test::sendAll(fd, {0xFF, 0xFD, 0x01, 0xFF, 0xFB, 0x05}))
                return;
            std::this_thread::sleep_for(1ms);
            continue;
        }
        const Bytes got = test::receiveSome(fd, 20ms);
        Bytes data;
        parser.feed(got, data);
        {
            std::lock_guard lock(seen.mutex);
            seen.data.insert(seen.data.end(), data.begin(), data.end());
        }
        for (const telnet::Event &e : parser.takeEvents()) {
            if (e.kind == telnet::Event::Kind::Will && e.option == telnet::kComPort &&
                script.answerNegotiation && !agreed) {
                agreed = true;
                test::sendAll(fd, telnet::negotiation(script.agree ? telnet::kDo : telnet::kDont,
                                                      telnet::kComPort));
            }
            if (e.kind != telnet::Event::Kind::Sub || e.payload.empty() ||
                e.payload[0] != telnet::kSetBaudRate)
                continue;
            if (script.endlessSubnegotiation) {
                test::sendAll(fd, {0xFF, 0xFA, 0x2C, 0x65});
                while (!stopping.load() && test::sendAll(fd, Bytes(256, 0x41)))
                    std::this_thread::sleep_for(1ms);
                return;
            }
            if (!script.ackRates)
                continue;
            Bytes value(e.payload.begin() + 1, e.payload.end());
            test::sendAll(
                fd, telnet::comPortCommand(telnet::kSetBaudRate + telnet::kServerOffset, value));
            if (script.closeAfterAck) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            if (!script.after.empty()) {
                const std::size_t cut = std::min(script.cutAt, script.after.size());
                test::sendAll(fd, Bytes(script.after.begin(), script.after.begin() + cut));
                std::this_thread::sleep_for(script.gap);
                test::sendAll(fd, Bytes(script.after.begin() + cut, script.after.end()));
            }
        }
    }
}

// Runs fn, which must end by itself: a hang fails the test rather than
// stalling the suite.
template <typename Fn> auto mustEnd(Fn fn) {
    auto result = std::async(std::launch::async, fn);
    if (result.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "never returned";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return result.get();
}

int openAt(NetworkLink &link, std::chrono::milliseconds limit = 2000ms) {
    return mustEnd([&] { return link.open(115200, NetworkLink::Clock::now() + limit); });
}

TEST(NetworkLink, AHostileServerEndsEveryOpenByItsDeadline) {
    struct Case {
        const char *what;
        Script script;
        int result;
        const char *said;
    };
    Script endless, refuses, silent, neverAcks, endlessSub;
    endless.endlessNegotiation = true;
    refuses.agree = false;
    silent.answerNegotiation = false;
    neverAcks.ackRates = false;
    endlessSub.endlessSubnegotiation = true;
    const Case cases[] = {
        {"endless negotiation", endless, KAV_E_TIMEOUT, "did not agree"},
        {"COM port control refused", refuses, KAV_E_NO_DEVICE, "use tcp://"},
        {"no answer to the negotiation", silent, KAV_E_TIMEOUT, "did not agree"},
        {"a rate never acknowledged", neverAcks, KAV_E_IO, "did not acknowledge"},
        {"an answer to the rate that never ends", endlessSub, KAV_E_IO, "did not acknowledge"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen;
        test::ScriptedServer server([&](int fd, const std::atomic<bool> &stopping) {
            serveScript(fd, stopping, c.script, seen);
        });
        NetworkLink link(NetworkLink::Mode::Rfc2217, "127.0.0.1", server.port());
        EXPECT_EQ(openAt(link, 1000ms), c.result);
        EXPECT_FALSE(link.isOpen());
        EXPECT_NE(link.lastError().find(c.said), std::string::npos) << link.lastError();
    }
}

TEST(NetworkLink, DataIsUndoubledAcrossReadsAndDoubledOnTheWay) {
    Script script;
    // A doubled 0xFF cut between its two bytes, with a pause between.
    script.after = {0xAA, 0xFF, 0xFF, 0x01, 0xFF, 0xFF};
    script.cutAt = 2;
    script.gap = 50ms;
    Seen seen;
    test::ScriptedServer server([&](int fd, const std::atomic<bool> &stopping) {
        serveScript(fd, stopping, script, seen);
    });
    NetworkLink link(NetworkLink::Mode::Rfc2217, "127.0.0.1", server.port());
    ASSERT_EQ(openAt(link), KAV_OK);
    EXPECT_EQ(link.name(), "rfc2217://127.0.0.1:" + std::to_string(server.port()));
    // What came before the open's purge may be gone; the read gives the
    // rest, the 0xFF cut from its double one byte.
    Bytes got;
    while (link.read(got, NetworkLink::Clock::now() + 300ms) == KAV_OK) {
    }
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(Bytes(got.end() - 3, got.end()), (Bytes{0xFF, 0x01, 0xFF}));

    const Bytes frame = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};
    ASSERT_EQ(link.write(frame), KAV_OK);
    EXPECT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(seen.mutex);
        return seen.data == frame;
    }));
}

TEST(NetworkLink, AClosedConnectionIsABrokenLink) {
    Script script;
    script.closeAfterAck = true;
    Seen seen;
    test::ScriptedServer server([&](int fd, const std::atomic<bool> &stopping) {
        serveScript(fd, stopping, script, seen);
    });
    NetworkLink link(NetworkLink::Mode::Rfc2217, "127.0.0.1", server.port());
    ASSERT_EQ(openAt(link), KAV_OK);
    EXPECT_TRUE(test::waitUntil([&] { return link.broken(); }));
    Bytes got;
    EXPECT_EQ(link.read(got, NetworkLink::Clock::now() + 100ms), KAV_E_IO);
}

TEST(NetworkLink, ConnectingEndsByItsDeadlineOrWhenTold) {
    const test::BlackHole hole;
    const std::uint16_t nobody = test::freePort();
    struct Case {
        const char *what;
        std::uint16_t port;
        std::function<bool()> stop;
        int result;
        const char *said;
    } const cases[] = {
        {"an address that never answers",
         hole.port(),
         {},
         KAV_E_UNREACHABLE,
         "no connection in time"},
        {"the search ended", hole.port(), [] { return true; }, KAV_E_UNREACHABLE, "search ended"},
        {"nobody listening", nobody, {}, KAV_E_REFUSED, "cannot connect"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (NetworkLink::Mode mode : {NetworkLink::Mode::Rfc2217, NetworkLink::Mode::Tcp}) {
            NetworkLink link(mode, "127.0.0.1", c.port);
            EXPECT_EQ(mustEnd([&] {
                          return link.open(115200, NetworkLink::Clock::now() + 300ms, c.stop);
                      }),
                      c.result);
            EXPECT_NE(link.lastError().find(c.said), std::string::npos) << link.lastError();
        }
    }
    NetworkLink unknown(NetworkLink::Mode::Tcp, "no-such-host.invalid", 1);
    EXPECT_EQ(mustEnd([&] { return unknown.open(115200, NetworkLink::Clock::now() + 300ms); }),
              KAV_E_UNKNOWN_HOST);
}

TEST(NetworkLink, ARawTcpPortKeepsTheServersRate) {
    Seen seen;
    test::ScriptedServer server([&](int fd, const std::atomic<bool> &stopping) {
        while (!stopping.load()) {
            const Bytes got = test::receiveSome(fd, 20ms);
            std::lock_guard lock(seen.mutex);
            seen.data.insert(seen.data.end(), got.begin(), got.end());
        }
    });
    NetworkLink link(NetworkLink::Mode::Tcp, "127.0.0.1", server.port());
    ASSERT_EQ(openAt(link), KAV_OK);
    EXPECT_EQ(link.setBaudRate(57600), KAV_E_NOT_SUPPORTED);
    EXPECT_EQ(link.setBaudRate(115200), KAV_OK);
    // A server whose port runs at a rate of its own, named by ?baud=.
    NetworkLink named(NetworkLink::Mode::Tcp, "127.0.0.1", server.port(), 57600);
    EXPECT_EQ(named.baudRate(), 57600u);
    EXPECT_EQ(named.setBaudRate(115200), KAV_E_NOT_SUPPORTED);
    EXPECT_EQ(named.setBaudRate(57600), KAV_OK);
    // Raw bytes: a 0xFF goes as it is, and nothing else went before it.
    ASSERT_EQ(link.write(Bytes{0x11, 0xFF}), KAV_OK);
    EXPECT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(seen.mutex);
        return seen.data == Bytes{0x11, 0xFF};
    }));
}

} // namespace
