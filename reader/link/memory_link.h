// A Link wired to an in-process Peer (the virtual reader): what the host
// writes goes to the peer at the link's current rate; the reader's answers become
// readable at the times it asks for (processing time, split pieces, delays
// past the timeout, the wire's speed when paced), and its disconnects make
// the link fail. For one thread at a time, like a serial port.
#pragma once

#include "link/peer.h"
#include "protocol/link.h"
#include "protocol/protocol.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace kav {

class MemoryLink final : public Link {
  public:
    explicit MemoryLink(std::shared_ptr<Peer> reader, std::uint32_t baud = proto::kDefaultBaud,
                        std::string name = "virtual");

    std::string name() const override { return name_; }
    int write(std::span<const std::uint8_t> bytes) override;
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override;
    int setBaudRate(std::uint32_t baud) override;
    void discardInput() override;

    // True once the reader disconnected.
    bool broken() override { return broken_; }

    std::uint32_t baudRate() const { return baud_; }

    // Waits until all the reader has sent so far has arrived, if that is by
    // `deadline`: false when it is not (a late answer can be let land before
    // the next command without guessing how long it takes).
    bool settle(Clock::time_point deadline);

  private:
    struct Arrival {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
        std::uint32_t baud = 0;
        bool disconnect = false;
    };

    std::shared_ptr<Peer> reader_;
    std::uint32_t baud_;
    std::string name_;
    std::deque<Arrival> queue_;
    Clock::time_point busyUntil_{}; // the reader's line is serial
    bool broken_ = false;
};

} // namespace kav
