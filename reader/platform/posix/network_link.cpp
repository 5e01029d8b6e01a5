// The POSIX backend of NetworkLink: non-blocking sockets waited on with
// poll. Every system call of the network link is here.
#include "link/network_link.h"

#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace kav {
namespace {

using Clock = Link::Clock;

// How often a wait looks at its stop condition.
constexpr std::chrono::milliseconds kStopCheck{10};
// Negotiation answers one connection sends at most: a server that keeps
// asking gets no more, and the exchange's deadline ends the rest.
constexpr unsigned kMaxReplies = 32;

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

struct AddressList {
    addrinfo *list = nullptr;
    ~AddressList() {
        if (list != nullptr)
            ::freeaddrinfo(list);
    }
};

// A lookup that may outlive the wait for it: the resolver cannot be
// interrupted, so a name server that does not answer is left to its thread.
struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    AddressList addresses;
};

int lookUp(const std::string &host, std::uint16_t port, int flags, AddressList &out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    return ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &out.list);
}

// The addresses of host by deadline: 0, an EAI_* code, or EAI_AGAIN when
// the time ran out (or stop said so).
int resolve(const std::string &host, std::uint16_t port, Clock::time_point deadline,
            const std::function<bool()> &stop, AddressList &out) {
    // An address needs no resolver.
    const int numeric = lookUp(host, port, AI_NUMERICHOST, out);
    if (numeric != EAI_NONAME)
        return numeric;
    auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host, port] {
            AddressList found;
            const int error = lookUp(host, port, 0, found);
            std::lock_guard lock(resolution->mutex);
            resolution->error = error;
            std::swap(resolution->addresses.list, found.list);
            resolution->finished = true;
            resolution->done.notify_all();
        }).detach();
    } catch (const std::exception &) {
        return lookUp(host, port, 0, out); // no thread to spare: wait for the resolver
    }
    std::unique_lock lock(resolution->mutex);
    while (!resolution->finished) {
        if (Clock::now() >= deadline || (stop && stop()))
            return EAI_AGAIN;
        resolution->done.wait_until(lock, std::min(deadline, Clock::now() + kStopCheck));
    }
    std::swap(out.list, resolution->addresses.list);
    return resolution->error;
}

} // namespace

bool NetworkLink::supported() {
    return true;
}

NetworkLink::~NetworkLink() {
    close();
}

void NetworkLink::close() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    trace::line("close " + name_);
}

int NetworkLink::fail(const std::string &what, int error) {
    lastError_ = name_ + ": " + what;
    if (error != 0)
        lastError_ += std::string(" (") + std::strerror(error) + ")";
    trace::line(lastError_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return KAV_E_IO;
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
    if (mode_ == Mode::Tcp && baud != kTcpRate) {
        // The server's rate is its own; the link goes on at the one it has.
        trace::line(name_ + ": a raw TCP port cannot change the server's rate; taken as " +
                    std::to_string(kTcpRate) + " baud");
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
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        lastError_ = name_ + ": " + why;
        trace::line("open " + lastError_);
        return code;
    };
    AddressList addresses;
    const int resolved = resolve(host_, port_, deadline, stop, addresses);
    if (resolved == EAI_AGAIN && Clock::now() >= deadline)
        return failed(KAV_E_TIMEOUT, "the host name was not resolved in time");
    if (resolved != 0 || addresses.list == nullptr)
        return failed(KAV_E_NO_DEVICE,
                      std::string("unknown host (") + ::gai_strerror(resolved) + ")");

    std::string lastWhy = "no address to connect to";
    int lastCode = KAV_E_NO_DEVICE;
    for (const addrinfo *a = addresses.list; a != nullptr; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) {
            lastWhy = std::string("no socket (") + std::strerror(errno) + ")";
            lastCode = KAV_E_IO;
            continue;
        }
        // Frames are small and answers wait for them: no coalescing delay.
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        int error = 0;
        if (::connect(fd_, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                while (Clock::now() < deadline && !(stop && stop())) {
                    pollfd p{fd_, POLLOUT, 0};
                    const int wait =
                        std::min(msUntil(deadline), static_cast<int>(kStopCheck.count()));
                    const int ready = ::poll(&p, 1, wait);
                    if (ready < 0 && errno != EINTR) {
                        error = errno;
                        break;
                    }
                    if (ready > 0) {
                        socklen_t size = sizeof error;
                        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                            error = errno;
                        break;
                    }
                }
            }
        }
        if (error == 0)
            return KAV_OK;
        ::close(fd_);
        fd_ = -1;
        if (error == ETIMEDOUT) {
            return failed(KAV_E_TIMEOUT, stop && stop() && Clock::now() < deadline
                                             ? "not connected before the search ended"
                                             : "no connection in time");
        }
        lastWhy = std::string("cannot connect (") + std::strerror(error) + ")";
        lastCode = error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH
                       ? KAV_E_NO_DEVICE
                       : KAV_E_IO;
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
    if (fd_ < 0)
        return fail("write on a closed link");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return fail("write failed", errno);
        const int ms = msUntil(deadline);
        if (ms == 0)
            return fail("write did not complete: the server takes nothing");
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, ms) < 0 && errno != EINTR)
            return fail("write failed", errno);
    }
    return KAV_OK;
}

int NetworkLink::write(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0)
        return fail("write on a closed link");
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    if (mode_ == Mode::Tcp)
        return send(bytes, limit);
    return send(telnet::escape(bytes), limit);
}

int NetworkLink::receive(std::vector<std::uint8_t> &data, Clock::time_point deadline) {
    if (fd_ < 0)
        return fail("read on a closed link");
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, msUntil(deadline));
        if (ready < 0 && errno != EINTR)
            return fail("read failed", errno);
        if (ready > 0) {
            std::uint8_t chunk[kReadChunk];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n == 0)
                return fail("the server closed the connection");
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return fail("read failed", errno);
            if (n > 0) {
                // Acknowledge at once: a server that sends small writes
                // without TCP_NODELAY holds its next answer until the last
                // one is acknowledged, and a delayed acknowledgement would
                // cost each exchange some 40 ms.
                const int one = 1;
                ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
                const std::span<const std::uint8_t> got(chunk, static_cast<std::size_t>(n));
                if (mode_ == Mode::Tcp) {
                    data.insert(data.end(), got.begin(), got.end());
                } else {
                    parser_.feed(got, data);
                    for (const telnet::Event &event : parser_.takeEvents())
                        answer(event);
                }
                return fd_ >= 0 ? KAV_OK : KAV_E_IO;
            }
        }
        if (Clock::now() >= deadline)
            return KAV_E_TIMEOUT;
    }
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
        return baud == kTcpRate ? KAV_OK : KAV_E_NOT_SUPPORTED;
    if (fd_ < 0) {
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
    if (fd_ < 0)
        return;
    // Bounded: a server may never stop sending.
    for (int i = 0; i < 16 && fd_ >= 0; ++i) {
        std::vector<std::uint8_t> scrap;
        if (receive(scrap, Clock::now()) != KAV_OK)
            break;
    }
}

bool NetworkLink::broken() {
    if (fd_ < 0)
        return true;
    // A connection the server closed while the link lay idle shows before
    // anything is sent, not as a lost answer.
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) != 0) {
        fail("the server closed the connection");
        return true;
    }
    return false;
}

} // namespace kav
