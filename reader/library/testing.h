// Hooks for the library's own tests and benchmarks: reach the virtual
// reader behind a port, and start over. Not part of the C interface: they
// live in the static copy of the library that tests link, not in the
// shared library.
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
std::shared_ptr<virt::VirtualReader> virtualReader(int port);

// The ports open right now, ascending.
std::vector<int> openPorts();

// Makes discovery's probe threads fail to start, as under a process limit
// (true), or start again (false).
void refuseThreads(bool refuse);

// Closes every port and forgets rates, virtual readers and settings, then
// reads KAVIDCARD_DEVICES again.
void resetLibrary();

} // namespace testing
} // namespace kav
