// The socket on POSIX: non-blocking, waited on with poll.
#include "link/socket.h"

#include "link/wait.h"
#include "poll_read.h"

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

namespace {

ConnectFault faultOf(int error) {
    if (error == ETIMEDOUT)
        return ConnectFault::Timeout;
    return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH
               ? ConnectFault::Refused
               : ConnectFault::Failed;
}

} // namespace

ConnectFault Socket::begin(const Addresses &addresses, std::size_t index) {
    close();
    const addrinfo *a = static_cast<const addrinfo *>(addresses.at(index));
    if (a == nullptr)
        return ConnectFault::Failed;
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
        message_ = std::strerror(errno);
        return ConnectFault::NoSocket;
    }
    handle_ = fd;
    // Frames are small and answers wait for them: no coalescing delay.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0)
        return ConnectFault::None;
    if (errno == EINPROGRESS)
        return ConnectFault::InProgress;
    message_ = std::strerror(errno);
    return faultOf(errno);
}

ConnectFault Socket::finish(int ms) {
    const int fd = static_cast<int>(handle_);
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, ms);
    int error = 0;
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return ConnectFault::InProgress;
    if (ready < 0) {
        error = errno;
    } else {
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if (error == 0)
        return ConnectFault::None;
    message_ = std::strerror(error);
    return faultOf(error);
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
    const auto take = [&](short) {
        const ssize_t n = ::recv(fd, into, max, 0);
        if (n == 0)
            return broke(SocketFault::Closed, 0);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return broke(SocketFault::ReadFailed, errno);
        if (n < 0)
            return 0L;
        // Acknowledge at once: a server that sends small writes without
        // TCP_NODELAY holds its next answer until the last one is
        // acknowledged, and a delayed acknowledgement would cost each
        // exchange some 40 ms.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        return static_cast<long>(n);
    };
    return readByDeadline<Clock>(fd, deadline, take,
                                 [&](int error) { return broke(SocketFault::ReadFailed, error); });
}

bool Socket::send(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline) {
    const int fd = static_cast<int>(handle_);
    switch (writeByDeadline<Clock>(fd, bytes, count, deadline, false,
                                   [fd](const std::uint8_t *from, std::size_t n) {
                                       return ::send(fd, from, n, MSG_NOSIGNAL);
                                   })) {
    case WriteEnd::Done:
        return true;
    case WriteEnd::Stuck:
        return failed(SocketFault::WriteStuck, 0);
    case WriteEnd::HungUp:
    case WriteEnd::Failed:
        break;
    }
    return failed(SocketFault::WriteFailed, errno);
}

bool Socket::closedByPeer() {
    pollfd p{static_cast<int>(handle_), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) != 0;
}

} // namespace kav::sys
