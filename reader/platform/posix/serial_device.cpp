// The serial device on POSIX: termios on a non-blocking descriptor, poll for
// every wait.
#include "link/serial_device.h"

#include "link/serial_link.h"
#include "link/wait.h"
#include "poll_read.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

namespace kav {
namespace {

// Termios names its rates by constants, not numbers: the translation,
// whichever rates the layers above allow.
std::optional<speed_t> termiosSpeed(std::uint32_t baud) {
    static constexpr struct {
        std::uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
                   {9600, B9600},   {19200, B19200},   {38400, B38400},
                   {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto &s : kSpeeds)
        if (s.baud == baud)
            return s.speed;
    return std::nullopt;
}

// Raw 8N1, no flow control of either kind, the modem lines ignored; reads
// return at once with what there is (poll does the waiting).
bool configure(int fd, std::uint32_t baud) {
    const std::optional<speed_t> speed = termiosSpeed(baud);
    termios t{};
    if (!speed) {
        errno = EINVAL;
        return false;
    }
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, *speed) == 0 && ::cfsetospeed(&t, *speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

DeviceFacts deviceFacts(const std::string &path) {
    DeviceFacts facts;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return facts;
    facts.exists = true;
    facts.accessible = ::access(path.c_str(), R_OK | W_OK) == 0;
    std::vector<char> buf(4096);
    group g{};
    group *found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        facts.group = found->gr_name;
    else
        facts.group = std::to_string(st.st_gid);
    facts.inGroup = ::getegid() == st.st_gid;
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(n));
        if (::getgroups(n, groups.data()) == n)
            facts.inGroup =
                facts.inGroup || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
    return facts;
}

namespace sys {

OpenFault openFault(int error) {
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return OpenFault::NoDevice;
    if (error == ENOTTY || error == EISDIR)
        return OpenFault::NotSerial;
    if (error == EACCES || error == EPERM)
        return OpenFault::Refused;
    // EBUSY: another holder made the tty exclusive; EWOULDBLOCK: another
    // holder has the lock.
    if (error == EBUSY || error == EWOULDBLOCK || error == EAGAIN)
        return OpenFault::Busy;
    return OpenFault::Other;
}

std::string SerialDevice::systemPath(const std::string &device) {
    // The lock must be the device's, not a symlink's.
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(device, ec);
    return ec ? device : resolved.string();
}

bool SerialDevice::failed(Fault fault, int code) {
    fault_ = fault;
    error_ = {code, code != 0 ? std::strerror(code) : ""};
    return false;
}

bool SerialDevice::open(const std::string &systemPath, std::uint32_t baud) {
    close();
    systemPath_ = systemPath;
    const auto refused = [this](int code, const std::string &message) {
        close();
        error_ = {code, message};
        return false;
    };
    // Non-blocking: a modem line that is down or a FIFO must not hold the
    // open; poll does all the waiting.
    const int fd = ::open(systemPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refused(errno, std::strerror(errno));
    handle_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return refused(errno, std::strerror(errno));
    if (!S_ISCHR(st.st_mode))
        return refused(ENOTTY, "not a character device");
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0) {
        const int error = errno;
        return refused(error == EINVAL ? ENOTTY : error, std::strerror(error));
    }
    // Exclusive through the lock alone: the kernel drops it with the last
    // descriptor, so a holder that is killed leaves nothing behind. The
    // tty's exclusive flag (TIOCEXCL) is not used: it outlives its setter
    // while anyone else holds the tty (a pty server does), and then keeps
    // out every later open but root's.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refused(errno, std::strerror(errno));
    if (!configure(fd, baud))
        return refused(errno, std::strerror(errno));
    return true;
}

void SerialDevice::close() {
    if (handle_ < 0)
        return;
    ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool SerialDevice::setRate(std::uint32_t baud) {
    if (configure(static_cast<int>(handle_), baud))
        return true;
    return failed(Fault::RateRefused, errno);
}

bool SerialDevice::gone() {
    pollfd p{static_cast<int>(handle_), 0, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0)
        return false;
    failed(Fault::HungUp, 0);
    return true;
}

bool SerialDevice::write(const std::uint8_t *bytes, std::size_t count, Clock::time_point deadline) {
    const int fd = static_cast<int>(handle_);
    switch (writeByDeadline<Clock>(
        fd, bytes, count, deadline, true,
        [fd](const std::uint8_t *from, std::size_t n) { return ::write(fd, from, n); })) {
    case WriteEnd::Done:
        return true;
    case WriteEnd::Stuck:
        return failed(Fault::WriteStuck, 0);
    case WriteEnd::HungUp:
        return failed(Fault::HungUp, 0);
    case WriteEnd::Failed:
        break;
    }
    return failed(Fault::WriteFailed, errno);
}

long SerialDevice::read(std::uint8_t *into, std::size_t max, Clock::time_point deadline) {
    const int fd = static_cast<int>(handle_);
    const auto broke = [this](Fault fault, int code) {
        failed(fault, code);
        return -1L;
    };
    const auto take = [&](short revents) {
        if ((revents & POLLNVAL) != 0)
            return broke(Fault::ReadFailed, EBADF);
        // What arrived before a hang-up is still the caller's: take it
        // first, and let the next read report the hang-up.
        const ssize_t n = ::read(fd, into, max);
        const int error = errno;
        if (n > 0)
            return static_cast<long>(n);
        if (n < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
            return broke(Fault::ReadFailed, error); // EIO: a pty's master closed
        if ((revents & (POLLHUP | POLLERR)) != 0)
            return broke(Fault::HungUp, 0);
        // Readable with nothing to read: a device that vanished can look
        // like this. Its node goes with it.
        struct stat st {};
        if (n == 0 && ::stat(systemPath_.c_str(), &st) != 0)
            return broke(Fault::Removed, 0);
        return 0L;
    };
    return readByDeadline<Clock>(fd, deadline, take,
                                 [&](int error) { return broke(Fault::ReadFailed, error); });
}

void SerialDevice::drain(std::size_t chunk) {
    const int fd = static_cast<int>(handle_);
    ::tcflush(fd, TCIFLUSH);
    // What a bridge had in flight lands after the flush; take that too, but
    // only a bounded amount, as a device may never stop sending.
    std::vector<std::uint8_t> scrap(chunk);
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::read(fd, scrap.data(), scrap.size());
        if (n <= 0)
            break;
    }
}

} // namespace sys
} // namespace kav
