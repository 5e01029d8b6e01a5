// The system's socket headers and start-up, for reader/link/addresses.cpp.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <string>

namespace kav::sys {

inline void startNetwork() {}

inline std::string lookUpMessage(int error) {
    return ::gai_strerror(error);
}

} // namespace kav::sys
