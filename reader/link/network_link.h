// A Link to a serial port on another machine, through a serial-port server
// (ser2net and its kind): "rfc2217" speaks Telnet with COM port control
// (RFC 2217), so the server's rate follows the SAM's; "tcp" is the raw byte
// stream of a port whose rate the server fixes.
//
// Like the serial link: blocking with bounded waits, no event loop, one
// object used by one thread at a time. Connecting, negotiating and every
// rate change end by their deadlines whatever the server does (an address
// that never answers, endless negotiation, a rate never acknowledged).
#pragma once

#include "link/socket.h"
#include "link/telnet.h"
#include "protocol/link.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kav {

class NetworkLink final : public Link {
  public:
    enum class Mode { Rfc2217, Tcp };

    // How long opening a network port may take at most: resolving, the
    // connection and the Telnet negotiation together. Far below the
    // system's own TCP timeout, far above a connection on a bench's network.
    static constexpr std::chrono::milliseconds kOpenTime{2000};
    // How long the server has to acknowledge a rate change.
    static constexpr std::chrono::milliseconds kRateAckTime{500};
    // The rate a raw TCP port is taken to run at unless its name says
    // otherwise: the SAM's default, which the server must be set to.
    static constexpr std::uint32_t kTcpRate = 115200;
    // What the server's gathering of bytes and the network add to an
    // answer's time and to a pause inside a frame (ser2net by default waits
    // up to 20 ms for more bytes before it sends).
    static constexpr std::chrono::milliseconds kExtraDelay{100};

    // `tcpRate`: the rate a raw TCP port's server runs at (kTcpRate unless
    // the port's name says ?baud=); ignored for rfc2217.
    NetworkLink(Mode mode, std::string host, std::uint16_t port, std::uint32_t tcpRate = kTcpRate);
    ~NetworkLink() override;
    NetworkLink(const NetworkLink &) = delete;
    NetworkLink &operator=(const NetworkLink &) = delete;

    // Connects by `deadline`, or earlier when `stop` says so (discovery's
    // search has ended), and for rfc2217 negotiates COM port control and
    // sets `baud`: KAV_OK, KAV_E_UNKNOWN_HOST (the name does not resolve in
    // time), KAV_E_REFUSED (nothing listens), KAV_E_UNREACHABLE (no
    // connection in time, no route), KAV_E_NO_DEVICE (the server does not do
    // RFC 2217), KAV_E_TIMEOUT (no negotiation in time), KAV_E_BAD_ARGUMENT
    // or KAV_E_IO. lastError() says why.
    int open(std::uint32_t baud, Clock::time_point deadline,
             const std::function<bool()> &stop = {});
    void close();
    bool isOpen() const;
    const std::string &lastError() const { return lastError_; }
    std::uint32_t baudRate() const { return baud_; }
    Mode mode() const { return mode_; }

    // "rfc2217://host:port", "tcp://[::1]:4001": the device in the trace.
    std::string name() const override { return name_; }
    int write(std::span<const std::uint8_t> bytes) override;
    int read(std::vector<std::uint8_t> &out, Clock::time_point deadline) override;
    // rfc2217: SET-BAUDRATE, waits for the server's acknowledgement, then
    // purges what the server and this side hold (bytes at the old rate).
    // tcp: KAV_OK for the server's rate, KAV_E_NOT_SUPPORTED for any other.
    int setBaudRate(std::uint32_t baud) override;
    void discardInput() override;
    bool broken() override;
    std::chrono::milliseconds extraDelay() const override { return kExtraDelay; }

    static constexpr std::size_t kReadChunk = 4096;

  private:
    // The link broke: trace, close, KAV_E_IO. `why` is the system's message
    // or empty.
    int fail(const std::string &what, const std::string &why = {});
    // The socket says what broke it.
    int fail();
    int connectSocket(Clock::time_point deadline, const std::function<bool()> &stop);
    int negotiate(Clock::time_point deadline, const std::function<bool()> &stop);
    // Sends raw bytes (already escaped) by `deadline`.
    int send(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
    // Waits up to `deadline` for bytes, feeds them through the Telnet parser
    // (raw for tcp) and answers negotiation: KAV_OK when anything arrived,
    // KAV_E_TIMEOUT or KAV_E_IO.
    int receive(std::vector<std::uint8_t> &data, Clock::time_point deadline);
    void answer(const telnet::Event &event);

    Mode mode_;
    std::string host_;
    std::uint16_t port_;
    std::string name_;
    sys::Socket socket_;
    std::uint32_t tcpRate_ = kTcpRate;
    std::uint32_t baud_ = 115200;
    std::string lastError_;
    telnet::Parser parser_;
    std::vector<std::uint8_t> pending_; // data received while waiting for something else
    bool comPort_ = false;              // the server agreed to COM port control
    bool comPortRefused_ = false;
    std::uint32_t acked_ = 0; // the last rate the server acknowledged
    bool ackSeen_ = false;
    unsigned replies_ = 0; // negotiation answers sent on this connection
};

} // namespace kav
