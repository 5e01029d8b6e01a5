// The one read loop and the one write loop of this folder's serial device
// and socket: poll, through interruptions, until a deadline.
#pragma once

#include "link/wait.h"

#include <poll.h>

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kav::sys {

// Polls `fd` for input until `deadline`, calling `take(revents)` each time
// it is readable: take returns the bytes it read (> 0), -1 when the
// descriptor is broken, or 0 for nothing after all (the wait goes on). A
// failed poll is `pollFailed(errno)`. 0 when the deadline passed.
template <class Clock, class Take, class Failed>
long readByDeadline(int fd, typename Clock::time_point deadline, Take take, Failed pollFailed) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, msUntil<Clock>(deadline));
        if (ready < 0 && errno != EINTR)
            return pollFailed(errno);
        if (ready > 0) {
            if (const long n = take(p.revents); n != 0)
                return n;
        }
        if (Clock::now() >= deadline)
            return 0;
        if (ready > 0) {
            // Guard against a spin on a descriptor that keeps saying
            // readable and gives nothing.
            pollfd none{-1, 0, 0};
            ::poll(&none, 1, 1);
        }
    }
}

enum class WriteEnd { Done, Failed, Stuck, HungUp };

// Writes all `count` bytes with `put(bytes, n)` (write or send), waiting
// for room with poll until `deadline`. Failed leaves errno set. With
// `hangUpEnds` a hang-up seen while waiting ends it; else the next put
// tells what broke.
template <class Clock, class Put>
WriteEnd writeByDeadline(int fd, const std::uint8_t *bytes, std::size_t count,
                         typename Clock::time_point deadline, bool hangUpEnds, Put put) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = put(bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return WriteEnd::Failed;
        // No room: wait for some, no longer than allowed.
        const int ms = msUntil<Clock>(deadline);
        if (ms == 0)
            return WriteEnd::Stuck;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, ms);
        if (ready < 0 && errno != EINTR)
            return WriteEnd::Failed;
        if (hangUpEnds && ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return WriteEnd::HungUp;
    }
    return WriteEnd::Done;
}

} // namespace kav::sys
