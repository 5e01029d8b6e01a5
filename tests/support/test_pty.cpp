#include "test_pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace test {

Pty::Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        hangUp();
        return;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slave_ = name;
}

Pty::~Pty() {
    hangUp();
}

void Pty::holdSlave() {
    if (held_ < 0 && !slave_.empty())
        held_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void Pty::hangUp() {
    for (int *fd : {&held_, &master_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

} // namespace test
