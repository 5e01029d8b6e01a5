// Looking a host up, the same call on every system (getaddrinfo); the
// headers and start-up are the system's (reader/platform/<system>/net.h).
#include "link/socket.h"

#include "net.h"

namespace kav::sys {

Addresses::~Addresses() {
    if (list_ != nullptr)
        ::freeaddrinfo(static_cast<addrinfo *>(list_));
}

std::size_t Addresses::size() const {
    std::size_t n = 0;
    for (const addrinfo *a = static_cast<const addrinfo *>(list_); a != nullptr; a = a->ai_next)
        ++n;
    return n;
}

const void *Addresses::at(std::size_t index) const {
    const addrinfo *a = static_cast<const addrinfo *>(list_);
    for (std::size_t i = 0; i < index && a != nullptr; ++i)
        a = a->ai_next;
    return a;
}

void LookUp::run(const std::string &host, std::uint16_t port, bool addressOnly) {
    startNetwork();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = (addressOnly ? AI_NUMERICHOST : 0) | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const int error = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    ok = error == 0;
    notAnAddress = addressOnly && error == EAI_NONAME;
    tryAgain = error == EAI_AGAIN;
    message = error != 0 ? lookUpMessage(error) : "";
    Addresses found;
    found.list_ = list;
    addresses.swap(found);
}

} // namespace kav::sys
