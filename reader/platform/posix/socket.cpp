// The socket on POSIX: non-blocking, waited on with poll.
#include "link/socket.h"

#include "link/wait.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kav::sys {

Addresses::~Addresses() {
    if (list_ != nullptr)
        ::freeaddrinfo(static_cast<addrinfo *>(list_));
}

void LookUp::run(const std::string &host, std::uint16_t port, bool addressOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = (addressOnly ? AI_NUMERICHOST : 0) | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const int error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    ok = error == 0;
    notAnAddress = addressOnly && error == EAI_NONAME;
    tryAgain = error == EAI_AGAIN;
    message = error != 0 ? ::gai_strerror(error) : "";
    Addresses found;
    found.list_ = list;
    addresses.swap(found);
}

ConnectFault Socket::connect(const Addresses &addresses, Clock::time_point deadline,
                             const std::function<bool()> &stop,
                             std::chrono::milliseconds stopCheck) {
    close();
    ConnectFault last = ConnectFault::Refused;
    message_ = "no address to connect to";
    for (const addrinfo *a = static_cast<const addrinfo *>(addresses.list_); a != nullptr;
         a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            message_ = std::strerror(errno);
            last = ConnectFault::NoSocket;
            continue;
        }
        handle_ = fd;
        // Frames are small and answers wait for them: no coalescing delay.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                while (Clock::now() < deadline && !(stop && stop())) {
                    pollfd p{fd, POLLOUT, 0};
                    const int wait = std::min(msUntil<Clock>(deadline),
                                              static_cast<int>(stopCheck.count()));
                    const int ready = ::poll(&p, 1, wait);
                    if (ready < 0 && errno != EINTR) {
                        error = errno;
                        break;
                    }
                    if (ready > 0) {
                        socklen_t size = sizeof error;
                        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                            error = errno;
                        break;
                    }
                }
            }
        }
        if (error == 0)
            return ConnectFault::None;
        close();
        if (error == ETIMEDOUT)
            return ConnectFault::Timeout;
        message_ = std::strerror(error);
        last = error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH
                   ? ConnectFault::Refused
                   : ConnectFault::Failed;
    }
    return last;
}

void Socket::close() {
    if (handle_ < 0)
        return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool Socket::failed(SocketFault fault, int code) {
    fault_ = fault;
    message_ = code != 0 ? std::strerror(code) : "";
    return false;
}

long Socket::receive(std::uint8_t *into, std::size_t max, Clock::time_point deadline) {
    const int fd = static_cast<int>(handle_);
    const auto broke = [this](SocketFault fault, int code) {
        failed(fault, code);
        return -1L;
    };
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msUntil<Clock>(deadline));
        if (ready < 0 && errno != EINTR)
            return broke(SocketFault::ReadFailed, errno);
        if (ready > 0) {
            const ssize_t n = ::recv(fd, into, max, 0);
            if (n == 0)
                return broke(SocketFault::Closed, 0);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return broke(SocketFault::ReadFailed, errno);
            if (n > 0) {
                // Acknowledge at once: a server that sends small writes
                // without TCP_NODELAY holds its next answer until the last
                // one is acknowledged, and a delayed acknowledgement would
                // cost each exchange some 40 ms.
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
                return static_cast<long>(n);
            }
        }
        if (Clock::now() >= deadline)
            return 0;
    }
}

bool Socket::send(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline) {
    const int fd = static_cast<int>(handle_);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::send(fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failed(SocketFault::WriteFailed, errno);
        const int ms = msUntil<Clock>(deadline);
        if (ms == 0)
            return failed(SocketFault::WriteStuck, 0);
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, ms) < 0 && errno != EINTR)
            return failed(SocketFault::WriteFailed, errno);
    }
    return true;
}

bool Socket::closedByPeer() {
    pollfd p{static_cast<int>(handle_), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 &&
           (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) != 0;
}

} // namespace kav::sys
