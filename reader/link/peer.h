// The far end of an in-memory link: takes the bytes the host sent and says
// what it sends back, and when. The virtual reader is one; the link needs
// nothing else of it, so links sit below the virtual reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace kav {

// What the peer sends for one host frame.
struct PeerReply {
    struct Segment {
        std::chrono::microseconds delay; // after the previous segment went out
        std::vector<std::uint8_t> bytes;
    };
    std::uint32_t baud = 0; // the rate the bytes go out at
    std::vector<Segment> segments;
    bool disconnect = false; // the link fails once the segments are out
};

class Peer {
  public:
    virtual ~Peer() = default;
    // Host bytes in (sent at `baud`), replies out.
    virtual std::vector<PeerReply> receive(std::span<const std::uint8_t> bytes,
                                           std::uint32_t baud) = 0;
    // Whether the transport must move bytes at the wire's speed.
    virtual bool pacesWire() const = 0;
};

} // namespace kav
