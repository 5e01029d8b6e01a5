// Fuzz target: the Telnet parser of network ports, on any byte stream a
// server may send, cut into chunks of any size.
//
// Input: byte 0 seeds the chunk sizes; the rest is the stream.
//
// Checks:
//  - the data and the events do not depend on how the stream was cut (an
//    IAC, a doubled 0xFF or a subnegotiation may be split anywhere);
//  - no more data comes out than went in, and a stream without 0xFF is all
//    data, byte for byte;
//  - the events kept and their payloads stay within the parser's bounds,
//    however long the negotiation or the subnegotiation;
//  - escaping data and parsing it again gives the data back.
#include "check.h"
#include "link/telnet.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace telnet = kav::telnet;

struct Parsed {
    Bytes data;
    std::vector<telnet::Event> events;
    std::size_t dropped = 0;
};

Parsed parse(std::span<const std::uint8_t> stream, std::uint32_t seed) {
    telnet::Parser parser;
    Parsed out;
    std::uint32_t state = seed | 1;
    std::size_t at = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t n = seed == 0 ? stream.size() : 1 + (state >> 16) % 17;
        const std::size_t take = std::min(n, stream.size() - at);
        parser.feed(stream.subspan(at, take), out.data);
        for (telnet::Event &e : parser.takeEvents()) {
            FUZZ_CHECK(e.payload.size() <= telnet::Parser::kMaxPayload);
            out.events.push_back(std::move(e));
        }
        at += take;
    }
    out.dropped = parser.droppedEvents();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    if (size < 1)
        return 0;
    const std::span<const std::uint8_t> stream(bytes + 1, size - 1);
    const Parsed whole = parse(stream, 0);
    const Parsed cut = parse(stream, bytes[0]);
    FUZZ_CHECK(whole.data == cut.data);
    // Events past the bound are dropped, so a parser whose events are
    // taken more often keeps more of them; the ones both kept agree.
    FUZZ_CHECK(whole.events.size() + whole.dropped == cut.events.size() + cut.dropped);
    const Parsed &fewer = whole.events.size() <= cut.events.size() ? whole : cut;
    const Parsed &more = whole.events.size() <= cut.events.size() ? cut : whole;
    FUZZ_CHECK(std::equal(fewer.events.begin(), fewer.events.end(), more.events.begin()));
    FUZZ_CHECK(whole.data.size() <= stream.size());
    if (std::find(stream.begin(), stream.end(), telnet::kIac) == stream.end()) {
        FUZZ_CHECK(whole.data == Bytes(stream.begin(), stream.end()));
        FUZZ_CHECK(whole.events.empty());
    }
    // Events are kept between takes only up to the bound: one parser fed
    // the whole stream without taking them holds no more.
    telnet::Parser holding;
    Bytes ignored;
    holding.feed(stream, ignored);
    FUZZ_CHECK(holding.takeEvents().size() <= telnet::Parser::kMaxEvents);

    const Bytes escaped = telnet::escape(stream);
    const Parsed back = parse(escaped, bytes[0]);
    FUZZ_CHECK(back.data == Bytes(stream.begin(), stream.end()));
    FUZZ_CHECK(back.events.empty());
    return 0;
}
