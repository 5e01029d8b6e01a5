// A stream parser for the SAM protocol's frames. It takes bytes in chunks of
// any size and yields, one at a time, complete frames and the faults it met
// on the way (skipped noise, a frame with a bad length or checksum).
//
// Safe on any byte sequence: every length is checked against a fixed bound
// before anything is buffered, and the state is bounded by one frame of the
// largest accepted size (plus one frame of bytes waiting to be rescanned).
#pragma once

#include "protocol/protocol.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kav::proto {

enum class FrameKind { Command, Response };

struct ParseEvent {
    enum class Type {
        Frame,       // bytes: a complete frame, length and checksum right
        BadChecksum, // bytes: the whole candidate frame
        BadLength,   // bytes: preamble and the length field that was refused
        Noise,       // bytes: skipped before a preamble (at most kNoiseChunk a event)
    };
    Type type = Type::Frame;
    std::vector<std::uint8_t> bytes;
};

class FrameParser {
  public:
    static constexpr std::size_t kNoiseChunk = 64;

    // maxLength bounds the length field; 0 picks the kind's default.
    explicit FrameParser(FrameKind kind, std::size_t maxLength = 0);

    // Consumes input until one event completes or the input runs out.
    // Returns the number of input bytes consumed; `event` is set when one
    // completed (it may complete from bytes held back for rescanning, with
    // nothing consumed). Without an event, all of `input` was consumed.
    std::size_t feed(std::span<const std::uint8_t> input, std::optional<ParseEvent> &event);

    // Feeds a whole chunk and returns every event it completed.
    std::vector<ParseEvent> feedAll(std::span<const std::uint8_t> input);

    // Everything held and not yet reported (noise, a partial frame, bytes
    // waiting for a rescan), in arrival order; the parser starts afresh.
    // For the trace when the input stops short.
    std::vector<std::uint8_t> drain();

    // Bytes held: noise not yet reported, the partial frame, the rescan queue.
    std::size_t buffered() const;

    // The size of the frame under way once its length field has been read
    // (0 before that, and between frames).
    std::size_t frameUnderWay() const { return expected_; }
    // Bytes of a frame begun (its preamble, or part of it, matched).
    std::size_t frameBytes() const { return frame_.size(); }

    // Forget everything held.
    void reset();

    FrameKind kind() const { return kind_; }
    std::size_t maxLength() const { return maxLength_; }

  private:
    // One byte through the state machine; may complete an event.
    void step(std::uint8_t byte, std::optional<ParseEvent> &event);
    void dropFirstAndRescan();
    void reject(ParseEvent::Type type, std::optional<ParseEvent> &event);
    void addNoise(std::uint8_t byte);
    void takeNoise(std::optional<ParseEvent> &event);

    FrameKind kind_;
    std::size_t minLength_;
    std::size_t maxLength_;
    std::size_t expected_ = 0; // total frame size once the length is known

    std::vector<std::uint8_t> frame_;  // candidate: preamble so far, then the frame
    std::vector<std::uint8_t> rescan_; // bytes to run through again before new input
    std::size_t rescanPos_ = 0;
    std::vector<std::uint8_t> noise_; // skipped bytes not yet reported

    // The first `quiet_` bytes of frame_ followed by the rescan queue were
    // already reported in a bad-frame event; skipping them again is not
    // reported a second time as noise.
    std::size_t quiet_ = 0;
};

} // namespace kav::proto
