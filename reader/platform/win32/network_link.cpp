// Network ports are not yet available on Windows: the link refuses to open
// with KAV_E_NOT_SUPPORTED and says so, rather than failing as if the server
// were down.
#include "link/network_link.h"

#include "KavIDCardAPI.h"
#include "protocol/trace.h"

namespace kav {

bool NetworkLink::supported() {
    return false;
}

NetworkLink::~NetworkLink() = default;

void NetworkLink::close() {}

int NetworkLink::open(std::uint32_t, Clock::time_point, const std::function<bool()> &) {
    lastError_ = name_ + ": network ports are not supported by the Windows build of the library";
    trace::line("open " + lastError_);
    return KAV_E_NOT_SUPPORTED;
}

int NetworkLink::write(std::span<const std::uint8_t>) {
    return KAV_E_IO;
}

int NetworkLink::read(std::vector<std::uint8_t> &, Clock::time_point) {
    return KAV_E_IO;
}

int NetworkLink::setBaudRate(std::uint32_t baud) {
    if (mode_ == Mode::Tcp && baud != kTcpRate)
        return KAV_E_NOT_SUPPORTED;
    baud_ = baud;
    return KAV_OK;
}

void NetworkLink::discardInput() {}

bool NetworkLink::broken() {
    return true;
}

} // namespace kav
