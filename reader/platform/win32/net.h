// The system's socket headers and start-up, for reader/link/addresses.cpp
// and socket.cpp.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "../win32/win32_text.h"

#include <mutex>
#include <string>

namespace kav::sys {

// Winsock, once per process. Never cleaned up: a library cannot know when
// its host's last socket is done, and the system frees it all with the
// process.
inline void startNetwork() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

inline std::string lookUpMessage(int error) {
    return win32::systemMessage(static_cast<DWORD>(error));
}

} // namespace kav::sys
