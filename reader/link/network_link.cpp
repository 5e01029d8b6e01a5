// NetworkLink above the system's socket (link/socket.h): the port's name,
// the look-up's bound, the Telnet exchange with COM port control, the
// trace, and every text a failure reads as.
#include "link/network_link.h"

#include "KavIDCardAPI.h"
#include "link/socket.h"
#include "link/wait.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace kav {
namespace {

using Clock = Link::Clock;

// How often a wait looks at its stop condition.
constexpr std::chrono::milliseconds kStopCheck{10};
// Negotiation answers one connection sends at most: a server that keeps
// asking gets no more, and the exchange's deadline ends the rest.
constexpr unsigned kMaxReplies = 32;

// An IPv6 address in brackets, as in the port's name.
std::string hostText(const std::string &host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// A look-up that may outlive the wait for it: the resolver cannot be
// interrupted, so a name server that does not answer is left to its thread.
struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    sys::LookUp result;
};

// The addresses of host by deadline; tryAgain with nothing else when the
// time ran out (or stop said so).
sys::LookUp resolve(const std::string &host, std::uint16_t port, Clock::time_point deadline,
                    const std::function<bool()> &stop) {
    // An address needs no resolver.
    sys::LookUp numeric;
    numeric.run(host, port, true);
    if (!numeric.notAnAddress)
        return numeric;
    auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host, port] {
            sys::LookUp found;
            found.run(host, port, false);
            std::lock_guard lock(resolution->mutex);
            resolution->result = std::move(found);
            resolution->finished = true;
            resolution->done.notify_all();
        }).detach();
    } catch (const std::exception &) {
        sys::LookUp found; // no thread to spare: wait for the resolver
        found.run(host, port, false);
        return found;
    }
    std::unique_lock lock(resolution->mutex);
    while (!resolution->finished) {
        if (Clock::now() >= deadline || (stop && stop())) {
            sys::LookUp late;
            late.tryAgain = true;
            return late;
        }
        resolution->done.wait_until(lock, std::min(deadline, Clock::now() + kStopCheck));
    }
    return std::move(resolution->result);
}

const char *faultText(sys::SocketFault fault) {
    switch (fault) {
    case sys::SocketFault::ReadFailed:
        return "read failed";
    case sys::SocketFault::WriteFailed:
        return "write failed";
    case sys::SocketFault::WriteStuck:
        return "write did not complete: the server takes nothing";
    case sys::SocketFault::Closed:
        break;
    }
    return "the server closed the connection";
}

} // namespace

NetworkLink::NetworkLink(Mode mode, std::string host, std::uint16_t port, std::uint32_t tcpRate)
    : mode_(mode), host_(std::move(host)), port_(port),
      name_(std::string(mode == Mode::Rfc2217 ? "rfc2217://" : "tcp://") + hostText(host_) + ":" +
            std::to_string(port)),
      tcpRate_(tcpRate) {
    if (mode_ == Mode::Tcp)
        baud_ = tcpRate_;
}

NetworkLink::~NetworkLink() {
    close();
}

bool NetworkLink::isOpen() const {
    return socket_.isOpen();
}

void NetworkLink::close() {
    if (!socket_.isOpen())
        return;
    socket_.close();
    trace::line("close " + name_);
}

int NetworkLink::fail(const std::string &what, const std::string &why) {
    lastError_ = name_ + ": " + what;
    if (!why.empty())
        lastError_ += " (" + why + ")";
    trace::line(lastError_);
    socket_.close();
    return KAV_E_IO;
}

int NetworkLink::fail() {
    return fail(faultText(socket_.fault()), socket_.message());
}

int NetworkLink::open(std::uint32_t baud, Clock::time_point deadline,
                      const std::function<bool()> &stop) {
    close();
    lastError_.clear();
    parser_ = {};
    pending_.clear();
    comPort_ = comPortRefused_ = ackSeen_ = false;
    acked_ = 0;
    replies_ = 0;
    if (!proto::baudCode(baud)) {
        lastError_ = name_ + ": " + std::to_string(baud) + " is not one of the SAM's baud rates";
        return KAV_E_BAD_ARGUMENT;
    }
    if (mode_ == Mode::Tcp && baud != tcpRate_) {
        // The server's rate is its own; the link goes on at the one it has.
        trace::line(name_ + ": a raw TCP port cannot change the server's rate; taken as " +
                    std::to_string(tcpRate_) + " baud");
    }
    int result = connectSocket(deadline, stop);
    if (result != KAV_OK)
        return result;
    if (mode_ == Mode::Rfc2217) {
        result = negotiate(deadline, stop);
        if (result != KAV_OK)
            return result;
        result = setBaudRate(baud);
        if (result != KAV_OK)
            return result;
    }
    trace::line("open " + name_ + " at " + std::to_string(baud_) + " baud" +
                (mode_ == Mode::Tcp ? " (the server's rate)" : " 8N1"));
    return KAV_OK;
}

int NetworkLink::connectSocket(Clock::time_point deadline, const std::function<bool()> &stop) {
    const auto failed = [this](int code, const std::string &why) {
        socket_.close();
        lastError_ = name_ + ": " + why;
        trace::line("open " + lastError_);
        return code;
    };
    const sys::LookUp found = resolve(host_, port_, deadline, stop);
    if (!found.ok && found.tryAgain && Clock::now() >= deadline)
        return failed(KAV_E_UNKNOWN_HOST, "the host name was not resolved in time");
    if (!found.ok || found.addresses.empty())
        return failed(KAV_E_UNKNOWN_HOST, "unknown host (" + found.message + ")");
    std::string lastWhy = "no address to connect to";
    int lastCode = KAV_E_UNKNOWN_HOST;
    for (std::size_t i = 0; i < found.addresses.size(); ++i) {
        sys::ConnectFault fault = socket_.begin(found.addresses, i);
        while (fault == sys::ConnectFault::InProgress && Clock::now() < deadline &&
               !(stop && stop()))
            fault = socket_.finish(
                std::min(msUntil<Clock>(deadline), static_cast<int>(kStopCheck.count())));
        if (fault == sys::ConnectFault::None)
            return KAV_OK;
        socket_.close();
        if (fault == sys::ConnectFault::InProgress || fault == sys::ConnectFault::Timeout) {
            return failed(KAV_E_UNREACHABLE, stop && stop() && Clock::now() < deadline
                                                 ? "not connected before the search ended"
                                                 : "no connection in time");
        }
        if (fault == sys::ConnectFault::NoSocket) {
            lastWhy = "no socket (" + socket_.message() + ")";
            lastCode = KAV_E_IO;
            continue;
        }
        lastWhy = "cannot connect (" + socket_.message() + ")";
        // Refused: the machine is there, nothing listens; any other fault
        // (no route, unreachable network) is the way there.
        lastCode = fault == sys::ConnectFault::Refused ? KAV_E_REFUSED : KAV_E_UNREACHABLE;
    }
    return failed(lastCode, lastWhy);
}

int NetworkLink::negotiate(Clock::time_point deadline, const std::function<bool()> &stop) {
    // 8-bit data both ways without Telnet's line conventions, and the COM
    // port option; then 8N1 without flow control, as on a local port.
    std::vector<std::uint8_t> offer;
    for (const auto &part : {telnet::negotiation(telnet::kWill, telnet::kBinary),
                             telnet::negotiation(telnet::kDo, telnet::kBinary),
                             telnet::negotiation(telnet::kWill, telnet::kSuppressGoAhead),
                             telnet::negotiation(telnet::kDo, telnet::kSuppressGoAhead),
                             telnet::negotiation(telnet::kWill, telnet::kComPort)})
        offer.insert(offer.end(), part.begin(), part.end());
    if (send(offer, deadline) != KAV_OK)
        return KAV_E_IO;
    while (!comPort_) {
        if (comPortRefused_) {
            close();
            lastError_ = name_ + ": the server does not offer COM port control (RFC 2217); "
                                 "use tcp:// for a raw port";
            trace::line("open " + lastError_);
            return KAV_E_NO_DEVICE;
        }
        if (Clock::now() >= deadline || (stop && stop())) {
            close();
            lastError_ = name_ + ": the server did not agree to COM port control in time";
            trace::line("open " + lastError_);
            return KAV_E_TIMEOUT;
        }
        std::vector<std::uint8_t> data;
        const int result = receive(data, std::min(deadline, Clock::now() + kStopCheck));
        pending_.insert(pending_.end(), data.begin(), data.end());
        if (result == KAV_E_IO)
            return result;
    }
    const std::uint8_t eightBits[] = {8}, noParity[] = {1}, oneStop[] = {1}, noFlow[] = {1};
    std::vector<std::uint8_t> line;
    for (const auto &part : {telnet::comPortCommand(telnet::kSetDataSize, eightBits),
                             telnet::comPortCommand(telnet::kSetParity, noParity),
                             telnet::comPortCommand(telnet::kSetStopSize, oneStop),
                             telnet::comPortCommand(telnet::kSetControl, noFlow)})
        line.insert(line.end(), part.begin(), part.end());
    return send(line, deadline) == KAV_OK ? KAV_OK : KAV_E_IO;
}

void NetworkLink::answer(const telnet::Event &event) {
    using Kind = telnet::Event::Kind;
    const auto reply = [this](std::uint8_t verb, std::uint8_t option) {
        if (replies_ >= kMaxReplies)
            return;
        ++replies_;
        const std::vector<std::uint8_t> bytes = telnet::negotiation(verb, option);
        send(bytes, Clock::now() + std::chrono::milliseconds{100});
    };
    const bool wanted = event.option == telnet::kBinary || event.option == telnet::kSuppressGoAhead;
    switch (event.kind) {
    case Kind::Do:
        if (event.option == telnet::kComPort)
            comPort_ = true;
        else if (!wanted)
            reply(telnet::kWont, event.option);
        break;
    case Kind::Dont:
        if (event.option == telnet::kComPort && !comPort_)
            comPortRefused_ = true;
        break;
    case Kind::Will:
        if (!wanted)
            reply(telnet::kDont, event.option);
        break;
    case Kind::Wont:
        break;
    case Kind::Sub:
        if (const std::optional<std::uint32_t> rate = telnet::baudRateAnswer(event)) {
            acked_ = *rate;
            ackSeen_ = true;
        }
        break;
    }
}

int NetworkLink::send(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    if (!isOpen())
        return fail("write on a closed link");
    return socket_.send(bytes.data(), bytes.size(), deadline) ? KAV_OK : fail();
}

int NetworkLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return fail("write on a closed link");
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    if (mode_ == Mode::Tcp)
        return send(bytes, limit);
    return send(telnet::escape(bytes), limit);
}

int NetworkLink::receive(std::vector<std::uint8_t> &data, Clock::time_point deadline) {
    if (!isOpen())
        return fail("read on a closed link");
    std::uint8_t chunk[kReadChunk];
    const long n = socket_.receive(chunk, sizeof chunk, deadline);
    if (n < 0)
        return fail();
    if (n == 0)
        return KAV_E_TIMEOUT;
    const std::span<const std::uint8_t> got(chunk, static_cast<std::size_t>(n));
    if (mode_ == Mode::Tcp) {
        data.insert(data.end(), got.begin(), got.end());
    } else {
        parser_.feed(got, data);
        for (const telnet::Event &event : parser_.takeEvents())
            answer(event);
    }
    return isOpen() ? KAV_OK : KAV_E_IO;
}

int NetworkLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (!pending_.empty()) {
        out.insert(out.end(), pending_.begin(), pending_.end());
        pending_.clear();
        return KAV_OK;
    }
    for (;;) {
        std::vector<std::uint8_t> data;
        const int result = receive(data, deadline);
        if (!data.empty()) {
            out.insert(out.end(), data.begin(), data.end());
            return KAV_OK;
        }
        if (result != KAV_OK)
            return result;
        // Only Telnet commands came: the wait goes on, to its deadline.
        if (Clock::now() >= deadline)
            return KAV_E_TIMEOUT;
    }
}

int NetworkLink::setBaudRate(std::uint32_t baud) {
    if (!proto::baudCode(baud))
        return KAV_E_BAD_ARGUMENT;
    if (mode_ == Mode::Tcp)
        return baud == tcpRate_ ? KAV_OK : KAV_E_NOT_SUPPORTED;
    if (!isOpen()) {
        baud_ = baud; // taken at the next open
        return KAV_OK;
    }
    if (ackSeen_ && acked_ == baud) {
        baud_ = baud;
        return KAV_OK;
    }
    ackSeen_ = false;
    const auto limit = Clock::now() + kRateAckTime;
    if (send(telnet::setBaudRate(baud), limit) != KAV_OK)
        return KAV_E_IO;
    while (!ackSeen_) {
        std::vector<std::uint8_t> stale; // bytes at the old rate: nobody's answer
        const int result = receive(stale, limit);
        if (result == KAV_E_IO)
            return result;
        if (result == KAV_E_TIMEOUT || (!ackSeen_ && Clock::now() >= limit))
            return fail("the server did not acknowledge " + std::to_string(baud) + " baud within " +
                        std::to_string(kRateAckTime.count()) + " ms");
    }
    if (acked_ != baud)
        return fail("the server answered " + std::to_string(baud) + " baud with " +
                    std::to_string(acked_));
    baud_ = baud;
    // What the server holds from before the change is garbage at the new
    // rate: it drops its buffer, this side its own.
    const std::uint8_t receiveBuffer[] = {1};
    if (send(telnet::comPortCommand(telnet::kPurgeData, receiveBuffer), limit) != KAV_OK)
        return KAV_E_IO;
    discardInput();
    trace::line(name_ + ": now at " + std::to_string(baud) + " baud");
    return KAV_OK;
}

void NetworkLink::discardInput() {
    pending_.clear();
    if (!isOpen())
        return;
    // Bounded: a server may never stop sending.
    for (int i = 0; i < 16 && isOpen(); ++i) {
        std::vector<std::uint8_t> scrap;
        if (receive(scrap, Clock::now()) != KAV_OK)
            break;
    }
}

bool NetworkLink::broken() {
    if (!isOpen())
        return true;
    // A connection the server closed while the link lay idle shows before
    // anything is sent, not as a lost answer.
    if (socket_.closedByPeer()) {
        fail("the server closed the connection");
        return true;
    }
    return false;
}

} // namespace kav
