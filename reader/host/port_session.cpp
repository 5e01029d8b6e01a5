#include "port_session.h"

#include "KavIDCardAPI.h"

namespace kav::host {

PortSession::PortSession(int port) : port_(port), openResult_(Kav_OpenPort(port)) {}

PortSession::~PortSession() {
    Kav_ClosePort(port_);
}

bool PortSession::isOpen() const {
    return openResult_ == KAV_OK;
}

} // namespace kav::host
