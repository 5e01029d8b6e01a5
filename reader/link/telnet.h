// The Telnet layer of a network serial port (RFC 854 framing, RFC 2217 COM
// port control): a stream parser that takes what a server sends in pieces
// of any size and splits it into the serial data and the Telnet commands,
// and the encoders for what the client sends. No system calls, so the
// fuzzers and the tests drive it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kav::telnet {

inline constexpr std::uint8_t kIac = 0xFF;
inline constexpr std::uint8_t kDont = 0xFE;
inline constexpr std::uint8_t kDo = 0xFD;
inline constexpr std::uint8_t kWont = 0xFC;
inline constexpr std::uint8_t kWill = 0xFB;
inline constexpr std::uint8_t kSb = 0xFA;
inline constexpr std::uint8_t kSe = 0xF0;

inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// COM port control commands from the client; the server answers with the
// same number plus 100.
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

struct Event {
    enum class Kind { Will, Wont, Do, Dont, Sub };
    Kind kind = Kind::Sub;
    std::uint8_t option = 0;
    std::vector<std::uint8_t> payload; // a subnegotiation's bytes after the option, un-doubled
    bool truncated = false;            // the payload was longer than kMaxPayload

    bool operator==(const Event &) const = default;
};

// Splits a server's stream. Keeps its state between feeds, so an IAC, a
// doubled 0xFF or a subnegotiation may be cut anywhere by the reads.
class Parser {
  public:
    // A subnegotiation keeps this many bytes at most: a server that never
    // ends one costs no memory (the deadline of the exchange ends it).
    static constexpr std::size_t kMaxPayload = 64;
    // Events kept between takeEvents() calls at most; more are dropped and
    // counted, so an endless negotiation cannot grow the list.
    static constexpr std::size_t kMaxEvents = 64;

    // Appends the serial data in `bytes` to `data`; Telnet commands become
    // events.
    void feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t> &data);
    std::vector<Event> takeEvents();
    std::size_t droppedEvents() const { return dropped_; }

  private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    void push(Event event);

    State state_ = State::Data;
    std::uint8_t command_ = 0;
    Event sub_;
    bool subHasOption_ = false;
    std::vector<Event> events_;
    std::size_t dropped_ = 0;
};

// Serial data for the wire: every 0xFF doubled.
std::vector<std::uint8_t> escape(std::span<const std::uint8_t> data);
// IAC <verb> <option>.
std::vector<std::uint8_t> negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB COM-PORT-OPTION <command> <value, 0xFF doubled> IAC SE.
std::vector<std::uint8_t> comPortCommand(std::uint8_t command, std::span<const std::uint8_t> value);
std::vector<std::uint8_t> setBaudRate(std::uint32_t baud);

// A server's COM port answer to SET-BAUDRATE: the rate it took.
std::optional<std::uint32_t> baudRateAnswer(const Event &event);

} // namespace kav::telnet
