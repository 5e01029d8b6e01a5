#include "KavIDCardAPI.h"
#include "protocol/transact.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kav::proto {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::cat;
using test::hex;

// A link that plays back a script of read results and records what the
// protocol did. When the script runs out it behaves like a quiet line:
// it waits until the deadline (at most `quietLimit`, so tests stay fast).
class ScriptedLink : public Link {
  public:
    struct Read {
        int rc;
        Bytes bytes;
    };
    std::deque<Read> script;
    int writeResult = KAV_OK;
    std::vector<std::string> calls;
    Bytes written;

    std::string name() const override { return "scripted"; }
    int write(std::span<const std::uint8_t> bytes) override {
        calls.push_back("write");
        written.assign(bytes.begin(), bytes.end());
        return writeResult;
    }
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override {
        calls.push_back("read");
        if (script.empty()) {
            std::this_thread::sleep_until(deadline);
            return KAV_E_TIMEOUT;
        }
        Read r = std::move(script.front());
        script.pop_front();
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
        return r.rc;
    }
    int setBaudRate(std::uint32_t) override { return KAV_OK; }
    void discardInput() override { calls.push_back("discard"); }
    bool broken() override { return false; }
};

const Bytes kIdData = hex("05000100 6B3E3201 39300000 D2029649");
const Bytes kIdAnswer = encodeResponse(0, 0, kSuccess, kIdData);

TEST(Transact, OutcomeForEachWayTheAnswerCanArrive) {
    Bytes badChecksum = kIdAnswer;
    badChecksum.back() ^= 0x01;
    const Bytes half(kIdAnswer.begin(), kIdAnswer.begin() + 12);
    const Bytes rest(kIdAnswer.begin() + 12, kIdAnswer.end());
    struct Case {
        const char *what;
        std::vector<ScriptedLink::Read> reads;
        int rc;
        std::uint8_t sw3;
    };
    const Case cases[] = {
        {"whole", {{KAV_OK, kIdAnswer}}, KAV_OK, kSuccess},
        {"in pieces", {{KAV_OK, hex("AA AA")}, {KAV_OK, half}, {KAV_OK, rest}}, KAV_OK, kSuccess},
        {"after noise", {{KAV_OK, hex("00 AA AA 13")}, {KAV_OK, kIdAnswer}}, KAV_OK, kSuccess},
        {"status other than success",
         {{KAV_OK, encodeResponse(0, 0, kNotAuthorised)}},
         KAV_OK,
         kNotAuthorised},
        {"fake preamble then the answer",
         {{KAV_OK, cat({hex("AA AA AA 96 69 FF FF"), kIdAnswer})}},
         KAV_OK,
         kSuccess},
        {"bad frame, then a good one while bytes keep coming",
         {{KAV_OK, badChecksum}, {KAV_OK, kIdAnswer}},
         KAV_OK,
         kSuccess},
        {"nothing", {}, KAV_E_TIMEOUT, 0},
        // Some systems' waits end early: the time is up only by the clock.
        {"a wait that ends before the deadline, then the answer",
         {{KAV_E_TIMEOUT, {}}, {KAV_OK, kIdAnswer}},
         KAV_OK,
         kSuccess},
        {"half a frame", {{KAV_OK, half}}, KAV_E_BAD_FRAME, 0},
        {"noise only", {{KAV_OK, hex("01 02 03")}}, KAV_E_TIMEOUT, 0},
        {"bad checksum", {{KAV_OK, badChecksum}}, KAV_E_BAD_FRAME, 0},
        {"bad length", {{KAV_OK, hex("AA AA AA 96 69 00 01")}}, KAV_E_BAD_FRAME, 0},
        {"a late answer to find, then the answer",
         {{KAV_OK, cat({encodeResponse(0, 0, kFindSuccess, hex("00 00 00 00")), kIdAnswer})}},
         KAV_OK,
         kSuccess},
        {"only another command's answer",
         {{KAV_OK, encodeResponse(0, 0, kFindSuccess, hex("00 00 00 00"))}},
         KAV_E_BAD_REPLY,
         0},
        {"success with too few data bytes",
         {{KAV_OK, encodeResponse(0, 0, kSuccess, hex("05 00 01 00"))}},
         KAV_E_BAD_REPLY,
         0},
        {"a refusal carrying data",
         {{KAV_OK, encodeResponse(0, 0, kReadFailed, kIdData)}},
         KAV_E_BAD_REPLY,
         0},
        {"link fails", {{KAV_E_IO, {}}}, KAV_E_IO, 0},
        {"link fails mid-frame", {{KAV_OK, half}, {KAV_E_IO, {}}}, KAV_E_IO, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLink link;
        link.script.assign(c.reads.begin(), c.reads.end());
        Response out;
        out.sw3 = 0;
        // Long enough for a loaded machine (the answers come at once);
        // the cases that time out wait it out.
        const int rc = transact(link, kSamId, {}, out, 200ms);
        EXPECT_EQ(rc, c.rc);
        if (rc == KAV_OK) {
            EXPECT_EQ(out.sw3, c.sw3);
            if (c.sw3 == kSuccess) {
                EXPECT_EQ(out.data, kIdData);
            }
        }
        ASSERT_GE(link.calls.size(), 2u);
        EXPECT_EQ(link.calls[0], "discard") << "stale input goes before the command";
        EXPECT_EQ(link.calls[1], "write");
        EXPECT_EQ(link.written, encodeCommand(kSamId));
    }
}

TEST(Transact, WriteFailureAndUnframeableDataNeverRead) {
    ScriptedLink failing;
    failing.writeResult = KAV_E_IO;
    failing.script.push_back({KAV_OK, kIdAnswer});
    Response out;
    EXPECT_EQ(transact(failing, kSamId, {}, out, 20ms), KAV_E_IO);
    EXPECT_EQ(std::count(failing.calls.begin(), failing.calls.end(), "read"), 0);

    ScriptedLink link;
    const Bytes huge(kMaxCommandData + 1, 0);
    EXPECT_EQ(transact(link, kSetMaxRf, huge, out, 20ms), KAV_E_BAD_ARGUMENT);
    EXPECT_TRUE(link.calls.empty());
}

TEST(Transact, TimeoutsAreHonouredAndABadFrameDoesNotWaitOutTheFullTimeout) {
    using Clock = Link::Clock;
    ScriptedLink quiet;
    Response out;
    auto start = Clock::now();
    EXPECT_EQ(transact(quiet, kSamStatus, {}, out, 30ms), KAV_E_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_LT(Clock::now() - start, 500ms);

    ScriptedLink bad;
    Bytes badFrame = encodeResponse(0, 0, kSuccess);
    badFrame.back() ^= 0xFF;
    bad.script.push_back({KAV_OK, badFrame});
    start = Clock::now();
    EXPECT_EQ(transact(bad, kReadCard, {}, out, 2000ms), KAV_E_BAD_FRAME);
    EXPECT_LT(Clock::now() - start, kSettleGap + 400ms);

    // Noise with a preamble and an impossible length, then the SAM works a
    // while before answering: the answer must still be taken.
    struct SlowAnswer : ScriptedLink {
        int reads = 0;
        int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override {
            if (++reads == 1) {
                const Bytes noise = hex("AA AA AA 96 69 FF FF");
                out.insert(out.end(), noise.begin(), noise.end());
                return KAV_OK;
            }
            if (Clock::now() + 150ms > deadline) {
                std::this_thread::sleep_until(deadline);
                return KAV_E_TIMEOUT;
            }
            std::this_thread::sleep_for(150ms);
            const Bytes answer = encodeResponse(0, 0, kSuccess, encodeReadAnswer({}, {}));
            out.insert(out.end(), answer.begin(), answer.end());
            return KAV_OK;
        }
    } slow;
    EXPECT_EQ(transact(slow, kReadCard, {}, out, 1000ms), KAV_OK);
}

// A device that never stops sending: every kind of stream ends the command
// by its deadline, and the trace stays small however much came.
TEST(Transact, EndlessStreamsEndByTheDeadlineWithABoundedTrace) {
    using Clock = Link::Clock;
    struct Streaming : ScriptedLink {
        Bytes unit;
        std::size_t sent = 0;
        int read(std::vector<std::uint8_t> &out, Clock::time_point) override {
            for (int i = 0; i < 64; ++i)
                out.insert(out.end(), unit.begin(), unit.end());
            sent += 64 * unit.size();
            return KAV_OK;
        }
    };
    Bytes badChecksum = kIdAnswer;
    badChecksum.back() ^= 0x01;
    struct Case {
        const char *what;
        Bytes unit;
        int rc;
    };
    const Case cases[] = {
        {"a preamble and a length, over and over", hex("AA AA AA 96 69 10 00"), KAV_E_BAD_FRAME},
        {"noise", hex("00 11 22 33 44 55 66 77"), KAV_E_TIMEOUT},
        {"frames that fail their checksum", badChecksum, KAV_E_BAD_FRAME},
        {"answers to another command", encodeResponse(0, 0, kFindSuccess, hex("00 00 00 00")),
         KAV_E_BAD_REPLY},
    };
    const char *path = std::getenv("KAVIDCARD_TRACE");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ec;
        const auto before = path != nullptr ? std::filesystem::file_size(path, ec) : 0;
        Streaming link;
        link.unit = c.unit;
        Response out;
        const auto start = Clock::now();
        EXPECT_EQ(transact(link, kSamId, {}, out, 100ms), c.rc);
        EXPECT_LT(Clock::now() - start, 100ms + kSettleGap + 200ms);
        EXPECT_GT(link.sent, 2'000u) << "the stream must have run on";
        if (path != nullptr) {
            const auto after = std::filesystem::file_size(path, ec);
            EXPECT_LT(after - before, 8'000u) << "the trace dumped the stream";
        }
    }
}

TEST(Transact, TraceShowsFramesBothWaysWithTheirMeaning) {
    const char *path = std::getenv("KAVIDCARD_TRACE");
    if (path == nullptr || *path == '\0')
        GTEST_SKIP() << "KAVIDCARD_TRACE is not set";
    ScriptedLink link;
    link.script.push_back({KAV_OK, cat({hex("01 02"), encodeResponse(0, 0, kSuccess)})});
    Response out;
    ASSERT_EQ(transact(link, kSamStatus, {}, out, 20ms), KAV_OK);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string trace = text.str();
    EXPECT_NE(trace.find("scripted >> AA AA AA 96 69 00 03 11 FF ED  [SAM status]"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("scripted << 01 02  [noise, 2 bytes skipped]"), std::string::npos);
    EXPECT_NE(trace.find("[SAM status: status 0x90 success]"), std::string::npos);
}

} // namespace
} // namespace kav::proto
