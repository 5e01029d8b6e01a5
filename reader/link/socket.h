// What NetworkLink needs of the system: a name looked up, a TCP connection
// made within a bound, read with a deadline, written and closed. One
// implementation per system, in reader/platform/<system>/socket.cpp; the
// Telnet exchange, the texts and the trace are NetworkLink's; the look-up
// is the same call everywhere (link/addresses.cpp).
#pragma once

#include "protocol/link.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace kav::sys {

// The addresses a name stands for, as the system holds them.
class Addresses {
  public:
    Addresses() = default;
    ~Addresses();
    Addresses(Addresses &&other) noexcept { swap(other); }
    Addresses &operator=(Addresses &&other) noexcept {
        swap(other);
        return *this;
    }
    void swap(Addresses &other) noexcept { std::swap(list_, other.list_); }
    bool empty() const { return list_ == nullptr; }
    std::size_t size() const;
    // The system's address `index` (an addrinfo), or null.
    const void *at(std::size_t index) const;

  private:
    friend struct LookUp;
    void *list_ = nullptr;
};

// A look-up of a host's stream addresses. With `addressOnly` the host must
// be written as an address and no resolver is asked.
struct LookUp {
    bool ok = false;
    bool notAnAddress = false; // addressOnly, and the host is a name
    bool tryAgain = false;     // the resolver could not answer now
    std::string message;       // the resolver's words when not ok
    Addresses addresses;

    void run(const std::string &host, std::uint16_t port, bool addressOnly);
};

enum class ConnectFault { None, InProgress, NoSocket, Timeout, Refused, Failed };
enum class SocketFault { ReadFailed, WriteFailed, WriteStuck, Closed };

class Socket {
  public:
    using Clock = Link::Clock;

    Socket() = default;
    ~Socket() { close(); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Begins connecting to address `index` of `addresses`: InProgress, None
    // (connected at once), or why not (message() has the system's words).
    ConnectFault begin(const Addresses &addresses, std::size_t index);
    // Waits up to `ms` for the connection begun: None, InProgress (not
    // yet), or why it failed.
    ConnectFault finish(int ms);
    bool isOpen() const { return handle_ != -1; }
    void close();

    // Up to `max` bytes into `into`, waiting until `deadline` for the
    // first: how many, 0 when none came in time, -1 when the connection
    // broke (fault(), message()).
    long receive(std::uint8_t *into, std::size_t max, Clock::time_point deadline);
    // All of `bytes` by `deadline`, or false (fault(), message()).
    bool send(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline);
    // The far end closed the connection while it lay idle.
    bool closedByPeer();

    SocketFault fault() const { return fault_; }
    const std::string &message() const { return message_; }

  private:
    bool failed(SocketFault fault, int code);

    long long handle_ = -1;
    SocketFault fault_ = SocketFault::ReadFailed;
    std::string message_;
};

} // namespace kav::sys
