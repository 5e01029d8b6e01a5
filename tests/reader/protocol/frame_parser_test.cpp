#include "protocol/frame_parser.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <random>

namespace kav::proto {
namespace {

using test::Bytes;
using test::cat;
using test::hex;
using Type = ParseEvent::Type;

Bytes readAnswer() {
    Bytes data{0x01, 0x00, 0x04, 0x00};
    for (int i = 0; i < 1280; ++i)
        data.push_back(static_cast<std::uint8_t>(i * 7)); // includes AA, 96 and 69
    return encodeResponse(0, 0, kSuccess, data);
}

const Bytes kStatusOk = encodeResponse(0, 0, kSuccess);
const Bytes kFindOk = encodeResponse(0, 0, kFindSuccess, Bytes(4, 0));
const Bytes kSamId = encodeResponse(0, 0, kSuccess, hex("05000100 6B3E3201 39300000 D2029649"));

std::vector<Type> types(const std::vector<ParseEvent> &events) {
    std::vector<Type> out;
    for (const ParseEvent &e : events)
        out.push_back(e.type);
    return out;
}

std::vector<Bytes> frames(const std::vector<ParseEvent> &events) {
    std::vector<Bytes> out;
    for (const ParseEvent &e : events) {
        if (e.type == Type::Frame)
            out.push_back(e.bytes);
    }
    return out;
}

TEST(FrameParser, OneFrameCutAtEveryByteBoundary) {
    ASSERT_EQ(readAnswer().size(), 1295u);
    for (const Bytes &frame : {kStatusOk, kSamId, readAnswer()}) {
        for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
            SCOPED_TRACE("size " + std::to_string(frame.size()) + " cut " + std::to_string(cut));
            FrameParser parser(FrameKind::Response);
            std::vector<ParseEvent> events = parser.feedAll(std::span(frame).first(cut));
            if (cut < frame.size()) {
                EXPECT_TRUE(events.empty());
            }
            for (ParseEvent &e : parser.feedAll(std::span(frame).subspan(cut)))
                events.push_back(std::move(e));
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].type, Type::Frame);
            EXPECT_EQ(events[0].bytes, frame);
            EXPECT_EQ(parser.buffered(), 0u);
        }
    }
}

TEST(FrameParser, MergedFramesComeOutInOrderWholeOrByteByByte) {
    const Bytes stream = cat({kStatusOk, kFindOk, readAnswer(), kSamId});
    const std::vector<Bytes> expected{kStatusOk, kFindOk, readAnswer(), kSamId};
    FrameParser whole(FrameKind::Response);
    EXPECT_EQ(frames(whole.feedAll(stream)), expected);

    FrameParser bytewise(FrameKind::Response);
    std::vector<ParseEvent> events;
    for (std::uint8_t b : stream) {
        for (ParseEvent &e : bytewise.feedAll(std::span(&b, 1)))
            events.push_back(std::move(e));
    }
    EXPECT_EQ(frames(events), expected);
    EXPECT_EQ(events.size(), expected.size());
}

TEST(FrameParser, NoiseBeforeThePreambleIsSkippedAndReported) {
    struct Case {
        const char *what;
        Bytes noise;
        std::vector<Type> events; // before and including the real frame
    };
    const Case cases[] = {
        {"plain", hex("00 11 22"), {Type::Noise, Type::Frame}},
        {"AA AA then other", hex("AA AA 13"), {Type::Noise, Type::Frame}},
        {"preamble breaking off", hex("AA AA AA 96 13"), {Type::Noise, Type::Frame}},
        {"one AA too many", hex("AA"), {Type::Noise, Type::Frame}},
        {"partial preamble right before", hex("AA AA AA 96"), {Type::Noise, Type::Frame}},
        {"fake preamble, absurd length",
         hex("AA AA AA 96 69 FF FF"),
         {Type::BadLength, Type::Frame}},
        {"fake preamble, length too short",
         hex("AA AA AA 96 69 00 03"),
         {Type::BadLength, Type::Frame}},
        {"fake preamble swallowing the frame",
         hex("AA AA AA 96 69 00 0C"),
         {Type::BadChecksum, Type::Frame}},
        {"noise then a fake preamble",
         hex("01 02 AA AA AA 96 69 00 00"),
         {Type::Noise, Type::BadLength, Type::Frame}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes stream = cat({c.noise, kFindOk, kStatusOk});
        FrameParser parser(FrameKind::Response);
        const std::vector<ParseEvent> events = parser.feedAll(stream);
        std::vector<Type> expected = c.events;
        expected.push_back(Type::Frame);
        EXPECT_EQ(types(events), expected);
        EXPECT_EQ(frames(events), (std::vector<Bytes>{kFindOk, kStatusOk}));
        if (events.front().type == Type::Noise) {
            EXPECT_EQ(events.front().bytes,
                      Bytes(c.noise.begin(), c.noise.begin() + static_cast<std::ptrdiff_t>(
                                                                   events.front().bytes.size())));
        }
        EXPECT_EQ(parser.buffered(), 0u);
    }
}

TEST(FrameParser, LongNoiseIsReportedInBoundedPiecesWithNothingLost) {
    const Bytes noise(1000, 0x55);
    FrameParser parser(FrameKind::Response);
    std::size_t reported = 0;
    for (const ParseEvent &e : parser.feedAll(cat({noise, kStatusOk}))) {
        if (e.type == Type::Noise) {
            EXPECT_LE(e.bytes.size(), FrameParser::kNoiseChunk);
            reported += e.bytes.size();
        }
    }
    EXPECT_EQ(reported, noise.size());
}

TEST(FrameParser, AnyCorruptedByteAfterTheLengthFailsTheChecksum) {
    for (std::size_t pos = kHeaderSize; pos < kSamId.size(); ++pos) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE("byte " + std::to_string(pos) + " xor " + std::to_string(flip));
            Bytes bad = kSamId;
            bad[pos] ^= flip;
            FrameParser parser(FrameKind::Response);
            const std::vector<ParseEvent> events = parser.feedAll(cat({bad, kStatusOk}));
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events.front().type, Type::BadChecksum);
            EXPECT_EQ(events.front().bytes, bad);
            EXPECT_EQ(frames(events), std::vector<Bytes>{kStatusOk})
                << "the next frame still parses";
        }
    }
}

TEST(FrameParser, LengthBoundsPerFrameKind) {
    struct Case {
        FrameKind kind;
        unsigned length;
        bool accepted;
    };
    const Case cases[] = {
        {FrameKind::Response, 0, false},
        {FrameKind::Response, 3, false},
        {FrameKind::Response, 4, true},
        {FrameKind::Response, kMaxResponseLength, true},
        {FrameKind::Response, kMaxResponseLength + 1, false},
        {FrameKind::Response, 0xFFFF, false},
        {FrameKind::Command, 2, false},
        {FrameKind::Command, 3, true},
        {FrameKind::Command, kMaxCommandLength, true},
        {FrameKind::Command, kMaxCommandLength + 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((c.kind == FrameKind::Command ? "command length " : "response length ") +
                     std::to_string(c.length));
        FrameParser parser(c.kind);
        Bytes header = cat({Bytes(kPreamble.begin(), kPreamble.end()),
                            {static_cast<std::uint8_t>(c.length >> 8),
                             static_cast<std::uint8_t>(c.length & 0xFF)}});
        const std::vector<ParseEvent> events = parser.feedAll(header);
        if (c.accepted) {
            EXPECT_TRUE(events.empty()); // waiting for the body
            EXPECT_EQ(parser.buffered(), header.size());
        } else {
            ASSERT_EQ(types(events), std::vector<Type>{Type::BadLength});
            EXPECT_EQ(events[0].bytes, header);
        }
    }
}

TEST(FrameParser, RandomStreamsNeverLoseARealFrameAndStayBounded) {
    // Noise drawn from the preamble's own bytes makes fake preambles and
    // lengths of every kind; the real frames must still all come out.
    const std::uint8_t alphabet[] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x04, 0x05, 0x90, 0x13};
    const std::size_t bound = 2 * (kHeaderSize + kMaxResponseLength) + FrameParser::kNoiseChunk;
    std::mt19937 rng(20240607);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Bytes stream;
        std::vector<Bytes> sent;
        for (int i = 0; i < 6; ++i) {
            const std::size_t noise = rng() % 40;
            for (std::size_t k = 0; k < noise; ++k)
                stream.push_back(alphabet[rng() % std::size(alphabet)]);
            const Bytes &frame = (i % 3 == 0) ? kSamId : (i % 3 == 1 ? kFindOk : kStatusOk);
            stream.insert(stream.end(), frame.begin(), frame.end());
            sent.push_back(frame);
        }
        FrameParser parser(FrameKind::Response);
        std::vector<Bytes> got;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng() % 50, stream.size() - at);
            for (const Bytes &f : frames(parser.feedAll(std::span(stream).subspan(at, n))))
                got.push_back(f);
            ASSERT_LE(parser.buffered(), bound);
            at += n;
        }
        // A fake preamble may still hold the tail; what is left is drained.
        for (const Bytes &f : frames(parser.feedAll(Bytes(kMaxResponseLength + 16, 0x00))))
            got.push_back(f);
        EXPECT_EQ(got, sent);
    }
}

} // namespace
} // namespace kav::proto
