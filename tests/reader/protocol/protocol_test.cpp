#include "protocol/protocol.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

namespace kav::proto {
namespace {

using test::Bytes;
using test::hex;

TEST(Encoding, FramesMatchTheReaderOnTheWire) {
    struct Case {
        const char *what;
        Bytes frame;
        Bytes expected;
    };
    const std::uint8_t count = 80;
    const Case cases[] = {
        {"find card", encodeCommand(kFindCard), hex("AA AA AA 96 69 00 03 20 01 22")},
        {"error answer", encodeResponse(0, 0, kReadFailed),
         hex("AA AA AA 96 69 00 04 00 00 41 45")},
        {"set baud 9600", encodeCommand(setBaudCommand(4)), hex("AA AA AA 96 69 00 03 60 04 67")},
        {"max RF 80", encodeCommand(kSetMaxRf, std::span(&count, 1)),
         hex("AA AA AA 96 69 00 04 61 FF 50 CA")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.frame, c.expected);
    }
}

TEST(Encoding, EveryCommandRoundTripsAndTheLengthCountsFromCmdToChk) {
    for (const CommandInfo &info : commandTable()) {
        SCOPED_TRACE(info.name);
        const Bytes data(info.dataSize, 0x5A);
        const Bytes frame = encodeCommand(info.command, data);
        ASSERT_EQ(frame.size(), kHeaderSize + kMinCommandLength + data.size());
        EXPECT_EQ((frame[5] << 8 | frame[6]), static_cast<int>(frame.size() - kHeaderSize));
        const auto decoded = decodeCommand(frame);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->cmd, info.command.cmd);
        EXPECT_EQ(decoded->para, info.command.para);
        EXPECT_EQ(decoded->data, data);
        // A response is not a command: its minimum length differs, but
        // both decoders must refuse a frame whose check fails.
        Bytes broken = frame;
        broken.back() ^= 0x01;
        EXPECT_FALSE(decodeCommand(broken));
    }
    const Bytes big(kMaxResponseData + 1, 0);
    EXPECT_TRUE(encodeResponse(0, 0, kSuccess, big).empty());
    EXPECT_EQ(encodeResponse(0, 0, kSuccess, std::span(big).first(kMaxResponseData)).size(),
              kHeaderSize + 0xFFFF);
}

TEST(BaudRates, LookupsBothWaysAgreeAndRefuseOthers) {
    const std::pair<std::uint32_t, std::uint8_t> wire[] = {
        {115200, 0}, {57600, 1}, {38400, 2}, {19200, 3}, {9600, 4}};
    for (auto [baud, code] : wire) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(baudCode(baud), code);
        EXPECT_EQ(baudFromCode(code), baud);
    }
    for (std::uint32_t baud : {0u, 4800u, 230400u, 115201u})
        EXPECT_FALSE(baudCode(baud)) << baud;
    for (unsigned code = 5; code <= 0xFF; ++code)
        EXPECT_FALSE(baudFromCode(static_cast<std::uint8_t>(code))) << code;
}

TEST(Timeouts, CoverTheSamsWorkAndTheWireAtEveryRate) {
    using std::chrono::milliseconds;
    for (const BaudRate &rate : kBaudRates) {
        SCOPED_TRACE(rate.baud);
        const milliseconds read = commandTimeout(kReadCard, rate.baud);
        const milliseconds status = commandTimeout(kSamStatus, rate.baud);
        // The whole 1295-byte answer must fit, after about a second of work.
        EXPECT_GT(read, milliseconds{1000} + wireTime(1295, rate.baud));
        EXPECT_LT(status, milliseconds{300}) << "discovery probes with it";
        EXPECT_GT(status, wireTime(21, rate.baud));
        // Outside the table: the most generous allowance.
        EXPECT_GE(commandTimeout({0x42, 0x00}, rate.baud), read);
    }
    EXPECT_EQ(wireTime(1295, 115200), milliseconds{113}); // 112.4 ms rounded up
}

} // namespace
} // namespace kav::proto
