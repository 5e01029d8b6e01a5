// Waits bounded by a deadline, as the system calls beneath the links take
// them.
#pragma once

#include <algorithm>
#include <chrono>

namespace kav {

// Whole milliseconds left until `deadline`, rounded up (a system's wait may
// end up to a millisecond early, and callers check their deadline again),
// and at most a minute.
template <class Clock> int msUntil(typename Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

} // namespace kav
