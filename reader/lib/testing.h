// Hooks for the library's own end-to-end tests and tools: reach the virtual
// reader behind a port, and start over. Not part of the C interface.
#pragma once

#include "KavIDCardAPI.h"

#include <memory>
#include <vector>

namespace kav {
namespace virt {
class VirtualReader;
}

namespace testing {

// The virtual reader a port is mapped to (created on first use); null when
// the port is not mapped to one.
KAV_EXPORT std::shared_ptr<virt::VirtualReader> virtualReader(int port);

// The ports open right now, ascending.
KAV_EXPORT std::vector<int> openPorts();

// Closes every port and forgets rates, virtual readers and settings, then
// reads KAVIDCARD_DEVICES again.
KAV_EXPORT void resetLibrary();

} // namespace testing
} // namespace kav
