// The testing hooks: linked into the tests' static copy of the library,
// never into the shared library.
#include "testing.h"

#include "discovery.h"
#include "library.h"

#include <mutex>

namespace kav::testing {

std::shared_ptr<virt::VirtualReader> virtualReader(int port) {
    Library &library = Library::instance();
    std::lock_guard lock(library.mutex());
    return library.virtualReader(port);
}

std::vector<int> openPorts() {
    Library &library = Library::instance();
    std::lock_guard lock(library.mutex());
    return library.openPorts();
}

void refuseThreads(bool refuse) {
    discovery::refuseThreadsForTesting(refuse);
}

void resetLibrary() {
    // Never while another thread is inside a call: the tests reset between
    // cases, with every call returned.
    Library &library = Library::instance();
    std::lock_guard lock(library.mutex());
    library.reset();
}

} // namespace kav::testing
