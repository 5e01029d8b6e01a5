// The socket on Windows: Winsock, started once per process, non-blocking,
// waited on with select.
#include "link/socket.h"

#include "link/wait.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "../win32/win32_text.h"

#include <algorithm>
#include <mutex>

namespace kav::sys {
namespace {

// Never cleaned up: a library cannot know when its host's last socket is
// done, and the system frees it all with the process.
void startWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

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
    const int n = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &broken,
                           &wait);
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

Addresses::~Addresses() {
    if (list_ != nullptr)
        ::freeaddrinfo(static_cast<addrinfo *>(list_));
}

void LookUp::run(const std::string &host, std::uint16_t port, bool addressOnly) {
    startWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = (addressOnly ? AI_NUMERICHOST : 0) | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const int error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    ok = error == 0;
    notAnAddress = addressOnly && error == EAI_NONAME;
    tryAgain = error == EAI_AGAIN;
    message = messageOf(error);
    Addresses found;
    found.list_ = list;
    addresses.swap(found);
}

ConnectFault Socket::connect(const Addresses &addresses, Clock::time_point deadline,
                             const std::function<bool()> &stop,
                             std::chrono::milliseconds stopCheck) {
    close();
    startWinsock();
    ConnectFault last = ConnectFault::Refused;
    message_ = "no address to connect to";
    for (const addrinfo *a = static_cast<const addrinfo *>(addresses.list_); a != nullptr;
         a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            message_ = messageOf(::WSAGetLastError());
            last = ConnectFault::NoSocket;
            continue;
        }
        handle_ = static_cast<long long>(s);
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        // Frames are small and answers wait for them: no coalescing delay.
        const BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
                     sizeof one);
        int error = 0;
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == SOCKET_ERROR) {
            error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                error = WSAETIMEDOUT;
                while (Clock::now() < deadline && !(stop && stop())) {
                    const int wait = std::min(msUntil<Clock>(deadline),
                                              static_cast<int>(stopCheck.count()));
                    bool refused = false;
                    const int ready = waitFor(s, true, wait, &refused);
                    if (ready < 0) {
                        error = ::WSAGetLastError();
                        break;
                    }
                    if (ready > 0) {
                        // Writable: connected; in the exception set: refused.
                        error = 0;
                        if (refused) {
                            int size = sizeof error;
                            if (::getsockopt(s, SOL_SOCKET, SO_ERROR,
                                             reinterpret_cast<char *>(&error), &size) != 0 ||
                                error == 0)
                                error = WSAECONNREFUSED;
                        }
                        break;
                    }
                }
            }
        }
        if (error == 0)
            return ConnectFault::None;
        close();
        if (error == WSAETIMEDOUT)
            return ConnectFault::Timeout;
        message_ = messageOf(error);
        last = error == WSAECONNREFUSED || error == WSAEHOSTUNREACH || error == WSAENETUNREACH
                   ? ConnectFault::Refused
                   : ConnectFault::Failed;
    }
    return last;
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
