#include "protocol/frame_parser.h"

#include <algorithm>

namespace kav::proto {

FrameParser::FrameParser(FrameKind kind, std::size_t maxLength)
    : kind_(kind), minLength_(kind == FrameKind::Command ? kMinCommandLength : kMinResponseLength),
      maxLength_(maxLength != 0
                     ? maxLength
                     : (kind == FrameKind::Command ? kMaxCommandLength : kMaxResponseLength)) {
    // The length field cannot say more than 0xFFFF; a smaller minimum than
    // the frame kind's would let CHK overlap the header.
    maxLength_ = std::clamp<std::size_t>(maxLength_, minLength_, 0xFFFF);
}

std::size_t FrameParser::feed(std::span<const std::uint8_t> input,
                              std::optional<ParseEvent> &event) {
    event.reset();
    std::size_t used = 0;
    for (;;) {
        // Bytes held back by a rejection come before any further input.
        while (rescanPos_ < rescan_.size()) {
            step(rescan_[rescanPos_++], event);
            if (rescanPos_ == rescan_.size()) {
                rescan_.clear();
                rescanPos_ = 0;
            }
            if (event)
                return used;
        }
        if (used == input.size())
            return used;
        step(input[used++], event);
        if (event)
            return used;
    }
}

std::vector<ParseEvent> FrameParser::feedAll(std::span<const std::uint8_t> input) {
    std::vector<ParseEvent> events;
    std::optional<ParseEvent> event;
    for (;;) {
        const std::size_t used = feed(input, event);
        input = input.subspan(used);
        if (!event)
            return events;
        events.push_back(std::move(*event));
    }
}

void FrameParser::step(std::uint8_t byte, std::optional<ParseEvent> &event) {
    frame_.push_back(byte);
    const std::size_t n = frame_.size();

    if (n <= kPreambleSize) {
        if (byte == kPreamble[n - 1]) {
            if (n == kPreambleSize)
                takeNoise(event); // report what was skipped before this frame
            return;
        }
        // Not a preamble from frame_[0]; a later byte of the candidate may
        // still start one ("AA AA AA AA 96 69").
        dropFirstAndRescan();
        if (noise_.size() >= kNoiseChunk)
            takeNoise(event);
        return;
    }

    if (n < kHeaderSize)
        return; // the length's first byte
    if (n == kHeaderSize) {
        const std::size_t length = (std::size_t{frame_[5]} << 8) | frame_[6];
        if (length < minLength_ || length > maxLength_) {
            reject(ParseEvent::Type::BadLength, event);
            return;
        }
        expected_ = kHeaderSize + length;
        frame_.reserve(expected_); // bounded by maxLength_
        return;
    }

    if (n < expected_)
        return;

    const std::uint8_t sum =
        checksum(std::span(frame_).subspan(kPreambleSize, n - kPreambleSize - 1));
    if (sum != frame_.back()) {
        reject(ParseEvent::Type::BadChecksum, event);
        return;
    }
    quiet_ = quiet_ > n ? quiet_ - n : 0;
    event = ParseEvent{ParseEvent::Type::Frame, std::move(frame_)};
    frame_.clear();
    expected_ = 0;
}

void FrameParser::dropFirstAndRescan() {
    if (quiet_ > 0)
        --quiet_;
    else
        addNoise(frame_.front());
    const std::size_t back = frame_.size() - 1;
    if (back > 0 && rescanPos_ >= back) {
        // The candidate came from the rescan queue: step back over it.
        rescanPos_ -= back;
        std::copy(frame_.begin() + 1, frame_.end(),
                  rescan_.begin() + static_cast<std::ptrdiff_t>(rescanPos_));
    } else if (back > 0) {
        // Keep arrival order: the candidate's tail goes before what was
        // already waiting.
        std::vector<std::uint8_t> next(frame_.begin() + 1, frame_.end());
        next.insert(next.end(), rescan_.begin() + static_cast<std::ptrdiff_t>(rescanPos_),
                    rescan_.end());
        rescan_ = std::move(next);
        rescanPos_ = 0;
    }
    frame_.clear();
    expected_ = 0;
}

void FrameParser::reject(ParseEvent::Type type, std::optional<ParseEvent> &event) {
    // A preamble-looking sequence inside noise can claim a length that
    // swallows the real frame behind it: report the candidate, then look
    // for a preamble again from its second byte on.
    event = ParseEvent{type, frame_};
    quiet_ = std::max(quiet_, frame_.size());
    dropFirstAndRescan();
}

void FrameParser::addNoise(std::uint8_t byte) {
    noise_.push_back(byte);
}

void FrameParser::takeNoise(std::optional<ParseEvent> &event) {
    if (noise_.empty())
        return;
    event = ParseEvent{ParseEvent::Type::Noise, std::move(noise_)};
    noise_.clear();
}

std::vector<std::uint8_t> FrameParser::drain() {
    std::vector<std::uint8_t> out = std::move(noise_);
    // Quiet bytes were shown in an earlier event; only the rest is news.
    std::vector<std::uint8_t> held = frame_;
    held.insert(held.end(), rescan_.begin() + static_cast<std::ptrdiff_t>(rescanPos_),
                rescan_.end());
    const std::size_t skip = std::min(quiet_, held.size());
    out.insert(out.end(), held.begin() + static_cast<std::ptrdiff_t>(skip), held.end());
    reset();
    return out;
}

std::size_t FrameParser::buffered() const {
    return noise_.size() + frame_.size() + (rescan_.size() - rescanPos_);
}

void FrameParser::reset() {
    frame_.clear();
    rescan_.clear();
    rescanPos_ = 0;
    noise_.clear();
    expected_ = 0;
    quiet_ = 0;
}

} // namespace kav::proto
