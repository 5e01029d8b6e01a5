// The socket on Windows: Winsock, started once per process, non-blocking,
// waited on with select.
#include "link/socket.h"

#include "link/wait.h"

#include "net.h"

#include <algorithm>

namespace kav::sys {
namespace {

SOCKET socketOf(long long handle) {
    return static_cast<SOCKET>(handle);
}

// Waits up to `ms` for the socket to be readable (or writable): 1 ready, 0
// not yet, -1 failed (WSAGetLastError()).
int waitFor(SOCKET s, bool forWrite, int ms, bool *failedConnect = nullptr) {
    fd_set ready, broken;
    FD_ZERO(&ready);
    FD_ZERO(&broken);
    FD_SET(s, &ready);
    FD_SET(s, &broken);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    const int n =
        ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &broken, &wait);
    if (n == SOCKET_ERROR)
        return -1;
    if (failedConnect != nullptr)
        *failedConnect = FD_ISSET(s, &broken) != 0;
    return n > 0 ? 1 : 0;
}

std::string messageOf(int code) {
    return code != 0 ? win32::systemMessage(static_cast<DWORD>(code)) : "";
}

} // namespace

namespace {

ConnectFault faultOf(int error) {
    if (error == WSAETIMEDOUT)
        return ConnectFault::Timeout;
    return error == WSAECONNREFUSED || error == WSAEHOSTUNREACH || error == WSAENETUNREACH
               ? ConnectFault::Refused
               : ConnectFault::Failed;
}

} // namespace

ConnectFault Socket::begin(const Addresses &addresses, std::size_t index) {
    close();
    startNetwork();
    const addrinfo *a = static_cast<const addrinfo *>(addresses.at(index));
    if (a == nullptr)
        return ConnectFault::Failed;
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        message_ = messageOf(::WSAGetLastError());
        return ConnectFault::NoSocket;
    }
    handle_ = static_cast<long long>(s);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    // Frames are small and answers wait for them: no coalescing delay.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0)
        return ConnectFault::None;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        return ConnectFault::InProgress;
    message_ = messageOf(error);
    return faultOf(error);
}

ConnectFault Socket::finish(int ms) {
    const SOCKET s = socketOf(handle_);
    bool refused = false;
    const int ready = waitFor(s, true, ms, &refused);
    if (ready == 0)
        return ConnectFault::InProgress;
    int error = ready < 0 ? ::WSAGetLastError() : 0;
    // Writable: connected; in the exception set: refused, or as SO_ERROR says.
    if (ready > 0 && refused) {
        int size = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) != 0 ||
            error == 0)
            error = WSAECONNREFUSED;
    }
    if (error == 0)
        return ConnectFault::None;
    message_ = messageOf(error);
    return faultOf(error);
}

void Socket::close() {
    if (handle_ == -1)
        return;
    ::closesocket(socketOf(handle_));
    handle_ = -1;
}

bool Socket::failed(SocketFault fault, int code) {
    fault_ = fault;
    message_ = messageOf(code);
    return false;
}

long Socket::receive(std::uint8_t *into, std::size_t max, Clock::time_point deadline) {
    const SOCKET s = socketOf(handle_);
    const auto broke = [this](SocketFault fault, int code) {
        failed(fault, code);
        return -1L;
    };
    for (;;) {
        const int ready = waitFor(s, false, msUntil<Clock>(deadline));
        if (ready < 0)
            return broke(SocketFault::ReadFailed, ::WSAGetLastError());
        if (ready > 0) {
            const int n = ::recv(s, reinterpret_cast<char *>(into),
                                 static_cast<int>(std::min<std::size_t>(max, 1 << 20)), 0);
            if (n == 0)
                return broke(SocketFault::Closed, 0);
            if (n == SOCKET_ERROR) {
                const int error = ::WSAGetLastError();
                if (error == WSAECONNRESET || error == WSAECONNABORTED)
                    return broke(SocketFault::Closed, 0);
                if (error != WSAEWOULDBLOCK && error != WSAEINTR)
                    return broke(SocketFault::ReadFailed, error);
            }
            if (n > 0)
                return n;
        }
        if (Clock::now() >= deadline)
            return 0;
    }
}

bool Socket::send(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline) {
    const SOCKET s = socketOf(handle_);
    std::size_t done = 0;
    while (done < count) {
        const int n = ::send(s, reinterpret_cast<const char *>(bytes + done),
                             static_cast<int>(std::min<std::size_t>(count - done, 1 << 20)), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (n == SOCKET_ERROR && error != WSAEWOULDBLOCK && error != WSAEINTR)
            return failed(SocketFault::WriteFailed, error);
        const int ms = msUntil<Clock>(deadline);
        if (ms == 0)
            return failed(SocketFault::WriteStuck, 0);
        if (waitFor(s, true, ms) < 0)
            return failed(SocketFault::WriteFailed, ::WSAGetLastError());
    }
    return true;
}

bool Socket::closedByPeer() {
    // Readable with nothing to read: the far end closed.
    const SOCKET s = socketOf(handle_);
    if (waitFor(s, false, 0) <= 0)
        return false;
    char probe = 0;
    const int n = ::recv(s, &probe, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

} // namespace kav::sys
