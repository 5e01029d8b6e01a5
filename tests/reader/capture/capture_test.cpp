#include "capture/capture.h"
#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace kav::capture {
namespace {

using Kind = Record::Kind;

Capture sample() {
    Capture c;
    c.ports = {{"/dev/ttyUSB0", "115200 8N1"}, {"rfc2217://lab:4000", "9600 8N1"}};
    const auto find = proto::encodeCommand(proto::kFindCard);
    auto answer = proto::encodeResponse(0, 0, 0x9F, std::vector<std::uint8_t>(4, 0xFF));
    auto broken = answer;
    broken.back() ^= 0x5A;
    c.records = {
        {Kind::Event,
         0,
         1'700'000'000'000'000'001,
         Direction::ToReader,
         {},
         "open /dev/ttyUSB0",
         0},
        {Kind::Frame, 0, 1'700'000'000'100'000'002, Direction::ToReader, find, "find card", 0},
        {Kind::Noise,
         0,
         1'700'000'000'150'000'000,
         Direction::FromReader,
         {0x01, 0x02, 0x03},
         "noise, 3 bytes skipped",
         0},
        {Kind::Noise, 0, 1'700'000'000'160'000'000, Direction::FromReader, broken,
         "broken: bad checksum", 0},
        {Kind::Frame, 1, 1'700'000'000'200'000'003, Direction::FromReader, answer, "", 0},
        {Kind::Frame, 1, 1'700'000'000'300'000'000, Direction::FromReader, {}, "fingerprint", 2048},
        {Kind::Event,
         npos,
         1'700'000'001'000'000'000,
         Direction::FromReader,
         {},
         "Kav_ReadMsg(1, 0) = 1 (成功)",
         0},
    };
    return c;
}

std::vector<std::uint8_t> pcapng(const Capture &c) {
    std::ostringstream out;
    writePcapng(c, out);
    const std::string s = out.str();
    return {s.begin(), s.end()};
}

TEST(Capture, PcapngRoundTripKeepsEveryRecord) {
    const Capture c = sample();
    const Capture back = readPcapng(pcapng(c));
    ASSERT_EQ(back.ports.size(), c.ports.size());
    for (std::size_t i = 0; i < c.ports.size(); ++i) {
        EXPECT_EQ(back.ports[i].name, c.ports[i].name);
        EXPECT_EQ(back.ports[i].description, c.ports[i].description);
    }
    ASSERT_EQ(back.records.size(), c.records.size());
    for (std::size_t i = 0; i < c.records.size(); ++i) {
        SCOPED_TRACE(i);
        const Record &a = c.records[i], &b = back.records[i];
        EXPECT_EQ(b.kind, a.kind);
        EXPECT_EQ(b.port, a.port);
        EXPECT_EQ(b.timeNs, a.timeNs);
        EXPECT_EQ(b.text, a.text);
        EXPECT_EQ(b.withheld, a.withheld);
        if (a.kind != Kind::Event) {
            EXPECT_EQ(b.direction, a.direction);
            EXPECT_EQ(b.bytes, a.bytes);
        }
    }
}

// The layout other tools rely on: link types, nanosecond resolution,
// direction and error bits in epb_flags.
TEST(Capture, PcapngLayout) {
    const auto file = pcapng(sample());
    const auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, file.data() + at, 4);
        return v;
    };
    ASSERT_EQ(u32(0), 0x0A0D0D0Au);
    EXPECT_EQ(u32(8), 0x1A2B3C4Du);
    const std::string text(file.begin(), file.end());
    EXPECT_NE(text.find(writerName()), std::string::npos);
    std::vector<std::uint16_t> linkTypes;
    std::vector<std::uint32_t> flags;
    for (std::size_t at = 0; at < file.size(); at += u32(at + 4)) {
        if (u32(at) == 1) {
            linkTypes.push_back(static_cast<std::uint16_t>(u32(at + 8)));
            // if_tsresol 9 among the options.
            EXPECT_NE(text.substr(at, u32(at + 4)).find(std::string("\x09\x00\x01\x00\x09", 5)),
                      std::string::npos);
        } else if (u32(at) == 6) {
            const std::size_t end = at + u32(at + 4) - 4;
            const std::size_t opts = at + 28 + ((u32(at + 20) + 3) & ~3u);
            for (std::size_t o = opts; o + 4 <= end;) {
                const std::uint16_t code = file[o] | file[o + 1] << 8;
                const std::uint16_t len = file[o + 2] | file[o + 3] << 8;
                if (code == 2)
                    flags.push_back(u32(o + 4));
                if (code == 0)
                    break;
                o += 4 + ((len + 3u) & ~3u);
            }
        }
    }
    EXPECT_EQ(linkTypes, (std::vector<std::uint16_t>{147, 147, 148}));
    // out, noise (preamble error), broken frame (CRC error), in, in withheld.
    EXPECT_EQ(flags, (std::vector<std::uint32_t>{2, 1 | 1u << 30, 1 | 1u << 24, 1, 1}));
}

TEST(Capture, BigEndianSectionReads) {
    // The same file with every field of the header, interface and packet
    // swapped, as a big-endian writer makes it.
    std::vector<std::uint8_t> f;
    const auto be32 = [&](std::uint32_t v) {
        for (int i = 3; i >= 0; --i)
            f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    be32(0x0A0D0D0A), be32(28), be32(0x1A2B3C4D), be32(0x00010000), be32(~0u), be32(~0u), be32(28);
    be32(1), be32(20), be32(147 << 16), be32(0), be32(20); // µs resolution by default
    be32(6), be32(36), be32(0), be32(0), be32(1'500'000), be32(3), be32(3), be32(0xAABBCC00),
        be32(36);
    const Capture c = readPcapng(f);
    ASSERT_EQ(c.records.size(), 1u);
    EXPECT_EQ(c.records[0].timeNs, 1'500'000'000);
    EXPECT_EQ(c.records[0].bytes, (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC}));
}

struct Hostile {
    const char *what;
    std::size_t at;       // where to patch
    std::uint32_t value;  // little-endian 32 bits written there
    std::size_t cut;      // file cut to this size (0: whole)
    std::uint64_t offset; // the offset the error must name
};

TEST(Capture, HostileFilesAreRefusedNamingTheOffset) {
    const auto good = pcapng(sample());
    std::uint32_t shb;
    std::memcpy(&shb, good.data() + 4, 4);
    const std::size_t idb = shb;
    std::uint32_t idbLength;
    std::memcpy(&idbLength, good.data() + idb + 4, 4);
    // The first enhanced packet block.
    std::size_t epb = idb;
    for (std::uint32_t type = 0, length = 0;; epb += length) {
        std::memcpy(&type, good.data() + epb, 4);
        std::memcpy(&length, good.data() + epb + 4, 4);
        if (type == 6)
            break;
    }
    const Hostile cases[] = {
        {"wrong byte-order magic", 8, 0x12345678, 0, 8},
        {"block length past the file", idb + 4, 0x7FFFFFF0, 0, idb + 4},
        {"block length not a multiple of 4", idb + 4, idbLength + 2, 0, idb + 4},
        {"block length below 12", idb + 4, 8, 0, idb + 4},
        {"truncated block", 0, 0, epb + 10, epb},
        {"truncated file", 0, 0, 20, 0},
        {"2 GiB packet length", epb + 20, 0x80000000u, 0, epb + 20},
        {"original length below captured", epb + 24, 0, 0, epb + 24},
        {"interface a billion", epb + 8, 1'000'000'000, 0, epb + 8},
        {"interface one past those described", epb + 8, 3, 0, epb + 8},
        {"2 GiB original length", epb + 24, 0x80000000u, 0, epb + 24},
        {"trailing length differs", epb + 4 + 0, 0, 0, 0}, // patched below
    };
    for (const Hostile &h : cases) {
        SCOPED_TRACE(h.what);
        auto file = good;
        std::uint64_t expected = h.offset;
        if (std::string_view(h.what) == "trailing length differs") {
            std::uint32_t len;
            std::memcpy(&len, file.data() + epb + 4, 4);
            file[epb + len - 4] ^= 0x10;
            expected = epb + len - 4;
        } else if (h.cut != 0) {
            file.resize(h.cut);
        } else {
            std::memcpy(file.data() + h.at, &h.value, 4);
        }
        try {
            readPcapng(file);
            ADD_FAILURE() << "accepted";
        } catch (const CaptureError &e) {
            EXPECT_EQ(e.offset, expected) << e.what();
            EXPECT_NE(std::string(e.what()).find(std::to_string(expected)), std::string::npos);
        }
    }
}

TEST(Capture, TooManyInterfacesRefusedInBoundedMemory) {
    // A section of 100000 interface blocks: refused at the first past the
    // bound, long before the rest is read.
    std::vector<std::uint8_t> f = pcapng(Capture{});
    const std::size_t header = f.size();
    const std::uint32_t idb[] = {1, 20, 147, 0, 20};
    for (int i = 0; i < 100000; ++i)
        f.insert(f.end(), reinterpret_cast<const std::uint8_t *>(idb),
                 reinterpret_cast<const std::uint8_t *>(idb) + sizeof idb);
    try {
        readPcapng(f);
        FAIL() << "accepted";
    } catch (const CaptureError &e) {
        EXPECT_EQ(e.offset, header + 4096 * 20u) << e.what();
    }
}

TEST(Capture, TextTraceReadsFramesNoiseAndEvents) {
    const auto find = proto::encodeCommand(proto::kFindCard);
    const auto answer = proto::encodeResponse(0, 0, 0x9F, std::vector<std::uint8_t>(4, 0xFF));
    std::string hexFind, hexAnswer;
    for (auto b : find)
        hexFind += (hexFind.empty() ? "" : " ") + std::string(1, "0123456789ABCDEF"[b >> 4]) +
                   "0123456789ABCDEF"[b & 15];
    for (auto b : answer)
        hexAnswer += (hexAnswer.empty() ? "" : " ") + std::string(1, "0123456789ABCDEF"[b >> 4]) +
                     "0123456789ABCDEF"[b & 15];
    const std::string trace =
        "2026-12-07 10:12:31.000 trace of the reader library 1.0.0.1, process 7\n"
        "2026-12-07 10:12:31.005 open /dev/ttyUSB0 at 115200 baud, 8N1\n"
        "2026-12-07 10:12:31.010 /dev/ttyUSB0 >> " +
        hexFind +
        "  [find card]\n"
        "2026-12-07 10:12:31.020 /dev/ttyUSB0 << AA AA AA 96 69 00 05 00  [bad checksum]\n"
        "2026-12-07 10:12:31.030 /dev/ttyUSB0 << (12 bytes of noise skipped)\n"
        "2026-12-07 10:12:31.040 /dev/ttyUSB0 << " +
        hexAnswer +
        "  [find card: status 0x9F]\n"
        "2026-12-07 10:12:31.050 /dev/ttyUSB0 << (2300 bytes withheld)  [fingerprint]\n"
        "2026-12-07 10:12:31.999 Kav_FindCard(1) = 159 (card found)\n";
    const Capture c = readTextTrace(trace);
    ASSERT_EQ(c.ports.size(), 1u);
    EXPECT_EQ(c.ports[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(c.ports[0].description, "115200 8N1");
    struct Expect {
        Kind kind;
        std::size_t port;
        Direction direction;
        std::size_t bytes, withheld;
        std::int64_t ms;
    };
    const Expect expect[] = {
        {Kind::Event, npos, Direction::FromReader, 0, 0, 0},
        {Kind::Event, 0, Direction::FromReader, 0, 0, 5},
        {Kind::Frame, 0, Direction::ToReader, find.size(), 0, 10},
        {Kind::Noise, 0, Direction::FromReader, 8, 0, 20},
        {Kind::Noise, 0, Direction::FromReader, 0, 12, 30},
        {Kind::Frame, 0, Direction::FromReader, answer.size(), 0, 40},
        {Kind::Frame, 0, Direction::FromReader, 0, 2300, 50},
        {Kind::Event, npos, Direction::FromReader, 0, 0, 999},
    };
    ASSERT_EQ(c.records.size(), std::size(expect));
    for (std::size_t i = 0; i < std::size(expect); ++i) {
        SCOPED_TRACE(i);
        const Record &r = c.records[i];
        EXPECT_EQ(r.kind, expect[i].kind);
        EXPECT_EQ(r.port, expect[i].port);
        if (r.kind != Kind::Event) {
            EXPECT_EQ(r.direction, expect[i].direction);
        }
        EXPECT_EQ(r.bytes.size(), expect[i].bytes);
        EXPECT_EQ(r.withheld, expect[i].withheld);
        EXPECT_EQ((r.timeNs - c.records[0].timeNs) / 1'000'000, expect[i].ms);
    }
    EXPECT_EQ(c.records[2].bytes, find);
    EXPECT_EQ(c.records[2].text, "find card");
    EXPECT_EQ(c.records[7].text, "Kav_FindCard(1) = 159 (card found)");
}

// Lines a trace never holds: kept as events at the last good time, so a
// damaged trace still converts and nothing overflows.
TEST(Capture, TextTraceOddLinesBecomeEvents) {
    const std::string lines[] = {
        "9999-12-31 23:59:59.999 far in the future",
        "2026-12-07 10:12:31.010 /dev/ttyUSB0 >> ZZ ZZ",
        "2026-12-07 10:12:31.010 /dev/ttyUSB0 << (99999999999 bytes of noise skipped)",
        "cut off by a full disk",
    };
    for (const std::string &odd : lines) {
        SCOPED_TRACE(odd);
        const Capture c =
            readTextTrace("2026-12-07 10:12:31.000 trace of the reader library\n" + odd + "\n");
        ASSERT_EQ(c.records.size(), 2u);
        EXPECT_EQ(c.records[1].kind, Kind::Event);
        EXPECT_GE(c.records[1].timeNs, c.records[0].timeNs);
        EXPECT_LE(c.records[1].timeNs - c.records[0].timeNs, 10'000'000);
    }
}

TEST(Capture, NeitherKindIsRefused) {
    EXPECT_THROW(readTextTrace("hello\n"), CaptureError);
    EXPECT_THROW(readCapture("/nonexistent/capture.pcapng"), CaptureError);
}

} // namespace
} // namespace kav::capture
