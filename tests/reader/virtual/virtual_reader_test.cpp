#include "KavIDCardAPI.h"
#include "link/memory_link.h"
#include "protocol/transact.h"
#include "test_bytes.h"
#include "virtual/virtual_reader.h"

#include <gtest/gtest.h>

namespace kav::virt {
namespace {

using namespace std::chrono_literals;
using namespace kav::proto;
using test::Bytes;
using Clock = Link::Clock;

// One command over a MemoryLink, as the library would send it.
struct Outcome {
    int rc;
    Response r;
};
Outcome run(MemoryLink &link, Command c, Bytes data = {},
            std::chrono::milliseconds timeout = 50ms) {
    Outcome o{};
    o.rc = transact(link, c, data, o.r, timeout);
    return o;
}

struct VirtualReaderTest : testing::Test {
    std::shared_ptr<VirtualReader> reader = std::make_shared<VirtualReader>();
    MemoryLink link{reader};

    // Find, select and read; how long the read itself took.
    Clock::duration timedRead() {
        EXPECT_EQ(run(link, kFindCard, {}, 500ms).r.sw3, kFindSuccess);
        EXPECT_EQ(run(link, kSelectCard, {}, 500ms).r.sw3, kSuccess);
        const auto start = Clock::now();
        const Outcome read = run(link, kReadCard, {}, commandTimeout(kReadCard, kDefaultBaud));
        const auto took = Clock::now() - start;
        EXPECT_EQ(read.rc, KAV_OK);
        return took;
    }
};

TEST_F(VirtualReaderTest, AnswersEveryCommandAsAReaderWould) {
    enum Setup { Fresh, Found, Selected, NoCard };
    struct Case {
        const char *what;
        Setup setup;
        Command command;
        Bytes data;
        std::uint8_t sw3;
        std::size_t dataSize;
    };
    const Case cases[] = {
        {"reset", Fresh, kResetSam, {}, kSuccess, 0},
        {"status", Fresh, kSamStatus, {}, kSuccess, 0},
        {"SAM ID", Fresh, kSamId, {}, kSuccess, 16},
        {"find", Fresh, kFindCard, {}, kFindSuccess, 4},
        {"find, no card", NoCard, kFindCard, {}, kFindFailed, 0},
        {"select before find", Fresh, kSelectCard, {}, kSelectFailed, 0},
        {"select after find", Found, kSelectCard, {}, kSuccess, 8},
        {"select, no card", NoCard, kSelectCard, {}, kSelectFailed, 0},
        {"read without find and select", Fresh, kReadCard, {}, kReadFailed, 0},
        {"read after find only", Found, kReadCard, {}, kReadFailed, 0},
        {"read after find and select", Selected, kReadCard, {}, kSuccess, kReadDataSize},
        {"max RF 24", Fresh, kSetMaxRf, {24}, kSuccess, 0},
        {"max RF 255", Fresh, kSetMaxRf, {255}, kSuccess, 0},
        {"max RF 23", Fresh, kSetMaxRf, {23}, kCommandError, 0},
        {"max RF without its byte", Fresh, kSetMaxRf, {}, kLengthError, 0},
        {"max RF with two bytes", Fresh, kSetMaxRf, {80, 80}, kLengthError, 0},
        {"status with a data byte", Fresh, kSamStatus, {1}, kLengthError, 0},
        {"set baud, rate code 5", Fresh, setBaudCommand(5), {}, kCommandError, 0},
        {"unknown command", Fresh, {0x42, 0x00}, {}, kCommandError, 0},
        // The built-in card holds no fingerprint and no appended address.
        {"fingerprint read after find and select", Selected, {0x30, 0x10}, {}, kSuccess, 1286},
        {"fingerprint read after find only", Found, {0x30, 0x10}, {}, kReadFailed, 0},
        {"address read after find and select", Selected, {0x30, 0x03}, {}, kNoContent, 0},
        {"address read without find and select", Fresh, {0x30, 0x03}, {}, kReadFailed, 0},
        {"read with another PARA", Selected, {0x30, 0x02}, {}, kCommandError, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = std::make_shared<VirtualReader>();
        if (c.setup == NoCard)
            r->removeCard();
        MemoryLink l(r);
        if (c.setup == Found || c.setup == Selected) {
            ASSERT_EQ(run(l, kFindCard).r.sw3, kFindSuccess);
        }
        if (c.setup == Selected) {
            ASSERT_EQ(run(l, kSelectCard).r.sw3, kSuccess);
        }
        const Outcome o = run(l, c.command, c.data);
        ASSERT_EQ(o.rc, KAV_OK);
        EXPECT_EQ(o.r.sw3, c.sw3);
        EXPECT_EQ(o.r.data.size(), c.dataSize);
    }
}

TEST_F(VirtualReaderTest, ACardReadCarriesTheWholeCardAndNeedsAFreshFindAndSelect) {
    ASSERT_EQ(run(link, kFindCard).r.sw3, kFindSuccess);
    ASSERT_EQ(run(link, kSelectCard).r.sw3, kSuccess);
    const Bytes raw = [&] {
        const Bytes cmd = encodeCommand(kReadCard);
        return reader->receive(cmd, proto::kDefaultBaud).at(0).segments.at(0).bytes;
    }();
    ASSERT_EQ(raw.size(), 1295u);
    EXPECT_EQ(raw[5], 0x05);
    EXPECT_EQ(raw[6], 0x08);
    const auto r = decodeResponse(raw);
    ASSERT_TRUE(r);
    const Card card = defaultCard();
    EXPECT_EQ(Bytes(r->data.begin(), r->data.begin() + 4), (Bytes{0x01, 0x00, 0x04, 0x00}));
    EXPECT_TRUE(std::equal(card.text.begin(), card.text.end(), r->data.begin() + 4));
    EXPECT_TRUE(std::equal(card.photo.begin(), card.photo.end(), r->data.begin() + 260));
    EXPECT_EQ(run(link, kReadCard).r.sw3, kReadFailed) << "the read consumed the selection";
    const auto id = reader->samId();
    EXPECT_EQ(run(link, kSamId).r.data, Bytes(id.begin(), id.end()));
}

TEST_F(VirtualReaderTest, HostFramesThatFailTheirChecksGetTheSamsErrors) {
    Bytes badSum = encodeCommand(kSamStatus);
    badSum.back() ^= 0x01;
    struct Case {
        const char *what;
        Bytes frame;
        std::uint8_t sw3;
    };
    const Case cases[] = {
        {"bad checksum", badSum, kChecksumError},
        {"length too short", test::hex("AA AA AA 96 69 00 02 11 13"), kLengthError},
        {"absurd length", test::hex("AA AA AA 96 69 FF FF"), kLengthError},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Reply> replies = reader->receive(c.frame, kDefaultBaud);
        ASSERT_EQ(replies.size(), 1u);
        const auto r = decodeResponse(replies[0].segments.at(0).bytes);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->sw3, c.sw3);
    }
    // Two commands in one write, then one command a byte at a time.
    const Bytes two = test::cat({encodeCommand(kSamStatus), encodeCommand(kSamId)});
    EXPECT_EQ(reader->receive(two, kDefaultBaud).size(), 2u);
    std::size_t replies = 0;
    for (std::uint8_t b : encodeCommand(kSamStatus))
        replies += reader->receive(std::span(&b, 1), kDefaultBaud).size();
    EXPECT_EQ(replies, 1u);
}

TEST_F(VirtualReaderTest, SetBaudAnswersAtTheOldRateThenOnlyTheNewRateIsHeard) {
    for (const BaudRate &to : kBaudRates) {
        SCOPED_TRACE(to.baud);
        auto r = std::make_shared<VirtualReader>();
        MemoryLink l(r, kDefaultBaud);
        const Outcome o = run(l, setBaudCommand(to.code));
        ASSERT_EQ(o.rc, KAV_OK);
        EXPECT_EQ(o.r.sw3, kSuccess);
        EXPECT_EQ(r->baudRate(), to.baud);
        if (to.baud != kDefaultBaud) {
            EXPECT_EQ(run(l, kSamStatus, {}, 10ms).rc, KAV_E_TIMEOUT) << "still at the old rate";
        }
        ASSERT_EQ(l.setBaudRate(to.baud), KAV_OK);
        EXPECT_EQ(run(l, kSamStatus).r.sw3, kSuccess);
        r->powerCycle();
        EXPECT_EQ(r->baudRate(), kDefaultBaud) << "the rate does not survive power-off";
    }
}

TEST_F(VirtualReaderTest, EveryFaultShowsAsTheHostWouldSeeIt) {
    struct Case {
        Fault fault;
        Command command;
        int rc;
        std::uint8_t sw3;
    };
    const Case cases[] = {
        {Fault::NoCard, kFindCard, KAV_OK, kFindFailed},
        {Fault::SelfTestFailure, kSamId, KAV_OK, kSelfTestFailed},
        {Fault::NotAuthorised, kSamStatus, KAV_OK, kNotAuthorised},
        {Fault::ReadFailure, kReadCard, KAV_OK, kReadFailed},
        {Fault::BadChecksum, kSamStatus, KAV_E_BAD_FRAME, 0},
        {Fault::Truncated, kSamStatus, KAV_E_BAD_FRAME, 0},
        {Fault::Noise, kReadCard, KAV_OK, kSuccess},
        {Fault::Split, kReadCard, KAV_OK, kSuccess},
        {Fault::Delay, kSamStatus, KAV_E_TIMEOUT, 0},
        {Fault::Disconnect, kSamStatus, KAV_E_IO, 0},
        {Fault::DisconnectMidFrame, kReadCard, KAV_E_IO, 0},
    };
    ASSERT_EQ(std::size(cases), kFaultCount);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(faultName(c.fault)));
        EXPECT_EQ(faultFromName(faultName(c.fault)), c.fault);
        auto r = std::make_shared<VirtualReader>();
        r->setDelay(150ms);
        MemoryLink l(r);
        if (c.command == kReadCard) {
            ASSERT_EQ(run(l, kFindCard).r.sw3, kFindSuccess);
            ASSERT_EQ(run(l, kSelectCard).r.sw3, kSuccess);
        }
        r->setFault(c.fault);
        const Outcome o = run(l, c.command, {}, 80ms); // a split answer takes 40 ms
        EXPECT_EQ(o.rc, c.rc);
        if (o.rc == KAV_OK) {
            EXPECT_EQ(o.r.sw3, c.sw3);
        }
        if (c.rc == KAV_E_IO) {
            EXPECT_TRUE(l.broken());
            EXPECT_EQ(run(l, kSamStatus).rc, KAV_E_IO) << "stays down";
            continue;
        }
        r->clearFault(c.fault);
        ASSERT_TRUE(l.settle(Clock::now() + 1s)) << "a delayed answer lands";
        EXPECT_EQ(run(l, kSamStatus).r.sw3, kSuccess) << "cleared";
    }
}

TEST_F(VirtualReaderTest, FaultsHitEveryNthFrameAndCombine) {
    reader->setFault(Fault::BadChecksum, 3);
    std::vector<int> results;
    for (int i = 0; i < 6; ++i)
        results.push_back(run(link, kSamStatus).rc);
    EXPECT_EQ(results,
              (std::vector<int>{KAV_OK, KAV_OK, KAV_E_BAD_FRAME, KAV_OK, KAV_OK, KAV_E_BAD_FRAME}));
    reader->clearFaults();

    reader->setFault(Fault::NoCard, 2);
    reader->setFault(Fault::Noise);
    reader->setFault(Fault::Split);
    std::vector<int> finds;
    for (int i = 0; i < 4; ++i) {
        const Outcome o = run(link, kFindCard);
        ASSERT_EQ(o.rc, KAV_OK) << "noise and splitting are absorbed";
        finds.push_back(o.r.sw3);
    }
    EXPECT_EQ(finds, (std::vector<int>{kFindSuccess, kFindFailed, kFindSuccess, kFindFailed}));
}

TEST_F(VirtualReaderTest, PacedReadTakesTheTimeItsMaxRfSettingImplies) {
    EXPECT_GT(VirtualReader::cardReadTime(24), VirtualReader::cardReadTime(80));
    EXPECT_GT(VirtualReader::cardReadTime(80), VirtualReader::cardReadTime(255));
    EXPECT_LE(VirtualReader::cardReadTime(24), 1100ms) << "about a second at most";
    // The delay fault must outlast every command's wait, the fingerprint
    // read's at 9600 the longest.
    for (const CommandInfo &info : commandTable())
        EXPECT_LT(commandTimeout(info.command, 9600), VirtualReader::kDefaultDelay) << info.name;
    // The fingerprint read moves 1,024 more bytes over the radio, and the SAM
    // takes no longer than the command's table allows.
    EXPECT_GT(VirtualReader::cardReadTime(80, 2304), VirtualReader::cardReadTime(80));
    EXPECT_LE(VirtualReader::cardReadTime(24, 2304), findCommand(0x30, 0x10)->work);

    const std::uint8_t fast = 255;
    ASSERT_EQ(run(link, kSetMaxRf, {fast}).r.sw3, kSuccess);
    EXPECT_EQ(reader->maxRfBytes(), fast);
    reader->setPacing(VirtualReader::Pacing::WireAndWork);
    const auto took = timedRead();
    EXPECT_GE(took, VirtualReader::cardReadTime(fast) + wireTime(1295, kDefaultBaud) - 2ms);
    EXPECT_LT(took, VirtualReader::cardReadTime(fast) + 300ms);
}

// At the wire's speed alone a read takes the bytes' time and no more; the
// SAM's work comes only with realistic pacing.
TEST_F(VirtualReaderTest, WirePacingTakesTheBytesTimeButNoSamWork) {
    const auto wire = wireTime(encodeCommand(kReadCard).size() + 1295, kDefaultBaud);
    const struct {
        VirtualReader::Pacing pacing;
        std::chrono::microseconds least;
        std::chrono::microseconds below;
    } cases[] = {
        {VirtualReader::Pacing::Instant, 0ms, wire},
        {VirtualReader::Pacing::Wire, wire - 2ms,
         VirtualReader::cardReadTime(VirtualReader::kDefaultMaxRf)},
        {VirtualReader::Pacing::WireAndWork,
         VirtualReader::cardReadTime(VirtualReader::kDefaultMaxRf) + wire - 2ms,
         VirtualReader::cardReadTime(VirtualReader::kDefaultMaxRf) + wire + 300ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.pacing));
        reader->setPacing(c.pacing);
        const auto took = timedRead();
        EXPECT_GE(took, c.least);
        EXPECT_LT(took, c.below);
    }
}

} // namespace
} // namespace kav::virt
