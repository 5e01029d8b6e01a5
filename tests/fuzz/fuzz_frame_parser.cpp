// Fuzz target: FrameParser, as a command parser and as a response parser,
// on any byte stream cut into chunks of any size.
//
// Input: byte 0 picks the length bound and the largest chunk, byte 1 is the
// bound's value, byte 2 seeds the chunk sizes; the rest is the stream.
//
// Checks, for each frame kind:
//  - feed() keeps its contract (consumes no more than given; without an
//    event it consumed everything) and buffered() stays within the bound the
//    header promises: one frame of the largest size, one more waiting to be
//    rescanned, and less than one noise chunk;
//  - a Frame decodes, its length is within the bound, and encoding what it
//    decoded to gives the same bytes back; a bad frame does not decode and
//    says why (length outside the bound, or a wrong checksum);
//  - every byte of the stream is accounted for exactly once: it lies in a
//    Frame, a Noise event or the final drain(), or it was shown in a bad
//    frame. Noise and the drain never repeat a byte a bad frame showed, and
//    Frames and Noise come in stream order;
//  - the events and the drain do not depend on how the stream was cut.
#include "check.h"
#include "protocol/frame_parser.h"
#include "protocol/protocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace {

// The read answers a response may carry: a decoded one lies inside the
// data, has the protocol's sizes and encodes back to the same bytes; the
// fingerprint read's answer is taken exactly when it decodes.
void checkReadAnswers(const kav::proto::Response &r) {
    namespace proto = kav::proto;
    if (const auto read = proto::decodeReadAnswer(r.data)) {
        FUZZ_CHECK(read->text.size() == proto::kTextSize &&
                   read->photo.size() == proto::kPhotoSize);
        FUZZ_CHECK(proto::encodeReadAnswer(read->text, read->photo) == r.data);
    }
    const auto withFingerprint = proto::decodeFingerprintReadAnswer(r.data);
    if (withFingerprint) {
        const std::size_t size = withFingerprint->fingerprint.size();
        FUZZ_CHECK(size == 0 || size == 512 || size == proto::kFingerprintMaxSize);
        FUZZ_CHECK(withFingerprint->fingerprint.data() + size == r.data.data() + r.data.size());
        FUZZ_CHECK(proto::encodeFingerprintReadAnswer(withFingerprint->text, withFingerprint->photo,
                                                      withFingerprint->fingerprint) == r.data);
    }
    const bool answers = proto::answers(proto::kReadFingerprint, r);
    if (r.sw3 == proto::kSuccess)
        FUZZ_CHECK(answers == withFingerprint.has_value());
    else if (r.sw3 != proto::kFindSuccess)
        FUZZ_CHECK(answers == r.data.empty());
    if (r.sw3 == proto::kSuccess)
        FUZZ_CHECK(proto::answers(proto::kReadAddress, r) ==
                   (r.data.size() == proto::kAddressSize));
}

using kav::proto::FrameKind;
using kav::proto::FrameParser;
using kav::proto::ParseEvent;
using Bytes = std::vector<std::uint8_t>;
using Type = ParseEvent::Type;

constexpr std::size_t kHeaderBytes = 3;

struct Config {
    std::size_t maxLength = 0; // as given to the parser: 0 is the kind's default
    std::size_t maxChunk = 1;
    std::uint32_t seed = 1;
};

Config configFrom(std::span<const std::uint8_t> header) {
    Config c;
    const std::uint8_t mode = header[0];
    const std::uint8_t value = header[1];
    // Small bounds make the length checks and the buffer bound bite with
    // short inputs; 0 and the largest expressible one cover the edges.
    switch (mode & 0x03) {
    case 0:
        c.maxLength = 0;
        break;
    case 1:
        c.maxLength = value;
        break;
    case 2:
        c.maxLength = std::size_t{value} * 16;
        break;
    default:
        c.maxLength = 0xFFFF;
        break;
    }
    static constexpr std::size_t kChunks[] = {1, 2, 3, 5, 8, 64, 300, 1 << 16};
    c.maxChunk = kChunks[(mode >> 2) & 0x07];
    c.seed = 0x9E3779B9u ^ (std::uint32_t{header[2]} << 8) ^ mode;
    return c;
}

std::uint32_t nextRandom(std::uint32_t &state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

std::size_t lengthField(const Bytes &frame) {
    return (std::size_t{frame[5]} << 8) | frame[6];
}

struct Run {
    std::vector<ParseEvent> events;
    Bytes drained;
};

// Follows the parser through one stream and checks every event against the
// stream's positions as they happen.
class Checker {
  public:
    Checker(std::span<const std::uint8_t> stream, const FrameParser &parser)
        : stream_(stream), parser_(parser), covered_(stream.size(), 0),
          minLength_(parser.kind() == FrameKind::Command ? kav::proto::kMinCommandLength
                                                         : kav::proto::kMinResponseLength) {}

    void consumed(std::size_t n) {
        consumed_ += n;
        FUZZ_CHECK(consumed_ <= stream_.size());
        const std::size_t bound =
            FrameParser::kNoiseChunk + 2 * (kav::proto::kHeaderSize + parser_.maxLength());
        FUZZ_CHECK(parser_.buffered() <= bound);
        FUZZ_CHECK(parser_.buffered() <= consumed_);
    }

    void event(const ParseEvent &e) {
        // Whatever the parser still holds is the stream's unreported tail:
        // the event's own bytes end right before it (a bad frame's first
        // byte is dropped, the rest waits to be rescanned).
        const std::size_t held = consumed_ - parser_.buffered();
        switch (e.type) {
        case Type::Frame:
            checkFrame(e.bytes);
            reported(held - std::min(held, e.bytes.size()), e.bytes, false);
            break;
        case Type::Noise:
            FUZZ_CHECK(!e.bytes.empty());
            FUZZ_CHECK(e.bytes.size() <= FrameParser::kNoiseChunk);
            reported(held - std::min(held, e.bytes.size()), e.bytes, true);
            break;
        case Type::BadLength:
        case Type::BadChecksum:
            checkBadFrame(e);
            FUZZ_CHECK(held >= 1);
            shownInBadFrame(held - 1, e.bytes);
            break;
        }
    }

    void drained(const Bytes &bytes) {
        FUZZ_CHECK(consumed_ == stream_.size());
        FUZZ_CHECK(parser_.buffered() == 0);
        FUZZ_CHECK(bytes.size() <= stream_.size());
        // Nothing may be left unaccounted for after the drain.
        reported(stream_.size() - bytes.size(), bytes, true);
        FUZZ_CHECK(reported_ == stream_.size());
    }

  private:
    void checkFrame(const Bytes &frame) {
        FUZZ_CHECK(frame.size() >= kav::proto::kHeaderSize + minLength_);
        const std::size_t length = lengthField(frame);
        FUZZ_CHECK(length >= minLength_ && length <= parser_.maxLength());
        FUZZ_CHECK(frame.size() == kav::proto::kHeaderSize + length);
        if (parser_.kind() == FrameKind::Command) {
            const auto c = kav::proto::decodeCommand(frame);
            FUZZ_CHECK(c.has_value());
            FUZZ_CHECK(kav::proto::encodeCommand(c->cmd, c->para, c->data) == frame);
            (void)kav::proto::commandName(c->cmd, c->para);
        } else {
            const auto r = kav::proto::decodeResponse(frame);
            FUZZ_CHECK(r.has_value());
            FUZZ_CHECK(kav::proto::encodeResponse(r->sw1, r->sw2, r->sw3, r->data) == frame);
            FUZZ_CHECK(!kav::proto::describeResponse(*r).empty());
            checkReadAnswers(*r);
        }
    }

    void checkBadFrame(const ParseEvent &e) {
        const Bytes &b = e.bytes;
        FUZZ_CHECK(b.size() >= kav::proto::kHeaderSize);
        FUZZ_CHECK(
            std::equal(kav::proto::kPreamble.begin(), kav::proto::kPreamble.end(), b.begin()));
        const std::size_t length = lengthField(b);
        const bool inBound = length >= minLength_ && length <= parser_.maxLength();
        if (e.type == Type::BadLength) {
            FUZZ_CHECK(b.size() == kav::proto::kHeaderSize);
            FUZZ_CHECK(!inBound);
        } else {
            FUZZ_CHECK(inBound);
            FUZZ_CHECK(b.size() == kav::proto::kHeaderSize + length);
            const bool decodes = parser_.kind() == FrameKind::Command
                                     ? kav::proto::decodeCommand(b).has_value()
                                     : kav::proto::decodeResponse(b).has_value();
            FUZZ_CHECK(!decodes);
        }
    }

    // Bytes reported as a Frame, Noise or the drain, starting at `start`:
    // they follow what was reported before, with only bytes a bad frame
    // showed in between.
    void reported(std::size_t start, const Bytes &bytes, bool neverShown) {
        FUZZ_CHECK(start >= reported_);
        FUZZ_CHECK(start + bytes.size() <= consumed_);
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(),
                              stream_.begin() + static_cast<std::ptrdiff_t>(start)));
        for (std::size_t i = reported_; i < start; ++i)
            FUZZ_CHECK(covered_[i] != 0); // skipped without being shown anywhere
        if (neverShown) {
            for (std::size_t i = start; i < start + bytes.size(); ++i)
                FUZZ_CHECK(covered_[i] == 0); // shown twice
        }
        reported_ = start + bytes.size();
    }

    void shownInBadFrame(std::size_t start, const Bytes &bytes) {
        FUZZ_CHECK(start >= reported_);
        FUZZ_CHECK(start + bytes.size() <= consumed_);
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(),
                              stream_.begin() + static_cast<std::ptrdiff_t>(start)));
        for (std::size_t i = reported_; i < start; ++i)
            FUZZ_CHECK(covered_[i] != 0);
        std::fill(covered_.begin() + static_cast<std::ptrdiff_t>(start),
                  covered_.begin() + static_cast<std::ptrdiff_t>(start + bytes.size()), 1);
    }

    std::span<const std::uint8_t> stream_;
    const FrameParser &parser_;
    std::vector<std::uint8_t> covered_; // shown in a bad frame
    std::size_t minLength_;
    std::size_t consumed_ = 0;
    std::size_t reported_ = 0; // everything before is reported or shown
};

Run feedInChunks(FrameKind kind, const Config &config, std::span<const std::uint8_t> stream) {
    FrameParser parser(kind, config.maxLength);
    Checker checker(stream, parser);
    Run run;
    std::uint32_t random = config.seed;
    std::span<const std::uint8_t> rest = stream;
    std::optional<ParseEvent> event;
    while (!rest.empty()) {
        // Empty chunks included: they must only release what is held.
        const std::size_t want = nextRandom(random) % (config.maxChunk + 1);
        std::span<const std::uint8_t> chunk = rest.first(std::min(want, rest.size()));
        rest = rest.subspan(chunk.size());
        for (;;) {
            const std::size_t used = parser.feed(chunk, event);
            FUZZ_CHECK(used <= chunk.size());
            checker.consumed(used);
            chunk = chunk.subspan(used);
            if (!event) {
                FUZZ_CHECK(chunk.empty());
                break;
            }
            checker.event(*event);
            run.events.push_back(std::move(*event));
        }
    }
    run.drained = parser.drain();
    checker.drained(run.drained);
    // The parser starts afresh: a whole frame after the drain comes out alone.
    const Bytes probe = kind == FrameKind::Command
                            ? kav::proto::encodeCommand(kav::proto::kFindCard)
                            : kav::proto::encodeResponse(0, 0, kav::proto::kSuccess);
    const std::vector<ParseEvent> after = parser.feedAll(probe);
    FUZZ_CHECK(after.size() == 1 && after[0].type == Type::Frame && after[0].bytes == probe);
    return run;
}

Run feedWhole(FrameKind kind, const Config &config, std::span<const std::uint8_t> stream) {
    FrameParser parser(kind, config.maxLength);
    Run run;
    run.events = parser.feedAll(stream);
    FUZZ_CHECK(parser.buffered() <= stream.size());
    run.drained = parser.drain();
    return run;
}

bool sameEvents(const Run &a, const Run &b) {
    if (a.events.size() != b.events.size() || a.drained != b.drained)
        return false;
    for (std::size_t i = 0; i < a.events.size(); ++i) {
        if (a.events[i].type != b.events[i].type || a.events[i].bytes != b.events[i].bytes)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < kHeaderBytes)
        return 0;
    const std::span<const std::uint8_t> input(data, size);
    const Config config = configFrom(input.first(kHeaderBytes));
    const std::span<const std::uint8_t> stream = input.subspan(kHeaderBytes);

    for (FrameKind kind : {FrameKind::Command, FrameKind::Response}) {
        const Run chunked = feedInChunks(kind, config, stream);
        const Run whole = feedWhole(kind, config, stream);
        FUZZ_CHECK(sameEvents(chunked, whole));
    }
    return 0;
}
