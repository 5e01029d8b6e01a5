#include "protocol/clock.h"

#include <ctime>

namespace kav::clock {

bool localTime(std::time_t t, std::tm &out) {
    return localtime_s(&out, &t) == 0;
}

} // namespace kav::clock
