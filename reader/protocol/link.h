// The transport as the protocol sees it: send bytes, receive bytes until a
// deadline. A serial port, a pty and the in-memory virtual reader all fit
// behind it, so the protocol runs unchanged over each.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kav {

class Link {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Link() = default;

    // Names the link in the trace ("/dev/ttyUSB0", "virtual").
    virtual std::string name() const = 0;

    // Sends all of `bytes`: KAV_OK or KAV_E_IO.
    virtual int write(std::span<const std::uint8_t> bytes) = 0;

    // Appends what has arrived to `out`, waiting until at least one byte
    // came or `deadline` passed: KAV_OK (something appended),
    // KAV_E_TIMEOUT or KAV_E_IO.
    virtual int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) = 0;

    // Changes the host side's rate: KAV_OK, KAV_E_BAD_ARGUMENT or KAV_E_IO.
    virtual int setBaudRate(std::uint32_t baud) = 0;

    // Drops whatever has arrived and not been read (a late answer to an
    // earlier command must not pass for the next one's).
    virtual void discardInput() = 0;

    // How much later than over a local line an answer may come, and how
    // long a frame's bytes may pause midway, on this link: a network
    // port's server gathers bytes before it sends them on, and the network
    // adds its own delay. Zero for a local device.
    virtual std::chrono::milliseconds extraDelay() const { return std::chrono::milliseconds{0}; }

    // True once the link failed (a hang-up, the device removed, a write
    // error), including a hang-up that came while nobody was reading: every
    // call fails from then on, and only opening the device again helps.
    virtual bool broken() = 0;
};

} // namespace kav
