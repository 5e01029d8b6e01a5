// Preloaded into a program whose start-up is being timed: when its first
// window has been exposed and painted, writes the monotonic clock in
// nanoseconds to standard output and ends the process at once.
#include "shown_probe.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

void report() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%lld\n",
                                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line, static_cast<size_t>(n));
    ::_exit(0);
}

} // namespace

KAV_SHOWN_PROBE(report)
