// What a network port is, whatever the system: its name, and the rate a raw
// TCP port is taken to run at. The sockets are in reader/platform/<system>/.
#include "link/network_link.h"

#include <utility>

namespace kav {
namespace {

// An IPv6 address in brackets, as in the port's name.
std::string hostText(const std::string &host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

} // namespace

NetworkLink::NetworkLink(Mode mode, std::string host, std::uint16_t port)
    : mode_(mode), host_(std::move(host)), port_(port),
      name_(std::string(mode == Mode::Rfc2217 ? "rfc2217://" : "tcp://") + hostText(host_) + ":" +
            std::to_string(port)) {
    if (mode_ == Mode::Tcp)
        baud_ = kTcpRate;
}

} // namespace kav
