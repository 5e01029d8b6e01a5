// The POSIX backend of SerialLink: termios on a file descriptor. Every
// system call of the link is here.
#include "link/serial_link.h"

#include "KavIDCardAPI.h"
#include "protocol/protocol.h"
#include "protocol/trace.h"

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

int msUntil(Link::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Link::Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

std::optional<speed_t> speedOf(std::uint32_t baud) {
    switch (baud) {
    case 115200:
        return B115200;
    case 57600:
        return B57600;
    case 38400:
        return B38400;
    case 19200:
        return B19200;
    case 9600:
        return B9600;
    default:
        return std::nullopt;
    }
}

// Raw 8N1 at `speed`, no flow control of either kind, the modem lines
// ignored; reads return at once with what there is (poll does the waiting).
bool configure(int fd, speed_t speed) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 &&
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

OpenFailure classifyOpenFailure(const std::string &path, int error,
                                const std::string &systemMessage, const DeviceFacts &facts) {
    const std::string why = " (" + systemMessage + ")";
    if (!facts.exists || error == ENOENT || error == ENODEV || error == ENXIO)
        return {KAV_E_NO_DEVICE, path + ": no such device" + why};
    if (error == ENOTTY || error == EISDIR)
        return {KAV_E_NO_DEVICE, path + ": not a serial device" + why};
    if (!facts.accessible || error == EACCES || error == EPERM) {
        std::string hint;
        if (!facts.accessible) {
            hint = "; the device belongs to group " + facts.group +
                   " and the user must be a member of it";
            if (facts.inGroup)
                hint += " (the user is: log in again for the membership to take effect)";
        }
        return {KAV_E_PERMISSION, path + ": permission denied" + why + hint};
    }
    // EBUSY: another holder made the tty exclusive; EWOULDBLOCK: another
    // holder has the lock.
    if (error == EBUSY || error == EWOULDBLOCK || error == EAGAIN)
        return {KAV_E_BUSY, path + ": in use by another program or port" + why};
    return {KAV_E_IO, path + ": cannot be opened" + why};
}

SerialLink::SerialLink() = default;

SerialLink::~SerialLink() {
    close();
}

int SerialLink::openFailure(int error, const std::string &systemMessage) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    const OpenFailure failure =
        classifyOpenFailure(device_, error, systemMessage, deviceFacts(systemPath_));
    lastError_ = failure.message;
    trace::line("open " + failure.message);
    return failure.code;
}

int SerialLink::open(const std::string &device, std::uint32_t baud) {
    close();
    device_ = device;
    lastError_.clear();
    const std::optional<speed_t> speed = speedOf(baud);
    if (!speed) {
        lastError_ = device + ": " + std::to_string(baud) + " is not one of the SAM's baud rates";
        return KAV_E_BAD_ARGUMENT;
    }
    baud_ = baud;
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(device, ec);
    systemPath_ = ec ? device : resolved.string();

    // Non-blocking: a modem line that is down or a FIFO must not hold the
    // open; poll does all the waiting.
    fd_ = ::open(systemPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        return openFailure(error, std::strerror(error));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        return openFailure(error, std::strerror(error));
    }
    if (!S_ISCHR(st.st_mode))
        return openFailure(ENOTTY, "not a character device");
    termios probe{};
    if (::tcgetattr(fd_, &probe) != 0) {
        const int error = errno;
        return openFailure(error == EINVAL ? ENOTTY : error, std::strerror(error));
    }
    // Exclusive through the lock alone: the kernel drops it with the last
    // descriptor, so a holder that is killed leaves nothing behind. The
    // tty's exclusive flag (TIOCEXCL) is not used: it outlives its setter
    // while anyone else holds the tty (a pty server does), and then keeps
    // out every later open but root's.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return openFailure(error, std::strerror(error));
    }
    if (!configure(fd_, *speed)) {
        const int error = errno;
        return openFailure(error, std::strerror(error));
    }
    trace::line("open " + device + (systemPath_ != device ? " (" + systemPath_ + ")" : "") +
                " at " + std::to_string(baud) + " baud 8N1");
    return KAV_OK;
}

void SerialLink::close() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    trace::line("close " + device_);
}

bool SerialLink::isOpen() const {
    return fd_ >= 0;
}

bool SerialLink::broken() {
    if (fd_ < 0)
        return true;
    // A hang-up while the link lay idle (the device unplugged, the pty's
    // far end closed) shows before anything is sent, not as a lost answer.
    pollfd p{fd_, 0, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        fail("the device hung up");
        return true;
    }
    return false;
}

int SerialLink::fail(const std::string &what, int error) {
    lastError_ = device_ + ": " + what;
    if (error != 0)
        lastError_ += std::string(" (") + std::strerror(error) + ")";
    trace::line(lastError_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return KAV_E_IO;
}

int SerialLink::write(std::span<const std::uint8_t> bytes) {
    if (!isOpen())
        return fail("write on a closed link");
    // The bytes' wire time and then some: a port that takes longer is stuck
    // (flow control that never lets go, a bridge that stopped).
    const auto limit =
        Clock::now() + proto::wireTime(bytes.size(), baud_) + std::chrono::milliseconds{500};
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return fail("write failed", errno);
        // The output buffer is full: wait for room, no longer than allowed.
        for (;;) {
            const int ms = msUntil(limit);
            if (ms == 0)
                return fail("write did not complete");
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, ms);
            if (ready < 0 && errno != EINTR)
                return fail("write failed", errno);
            if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return fail("the device hung up");
            if (ready > 0)
                break;
        }
    }
    return KAV_OK;
}

int SerialLink::read(std::vector<std::uint8_t> &out, Clock::time_point deadline) {
    if (!isOpen())
        return fail("read on a closed link");
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, msUntil(deadline));
        if (ready < 0 && errno != EINTR)
            return fail("read failed", errno);
        if (ready > 0) {
            if ((p.revents & POLLNVAL) != 0)
                return fail("read failed", EBADF);
            // What arrived before a hang-up is still the caller's: take it
            // first, and let the next read report the hang-up.
            const std::size_t had = out.size();
            out.resize(had + kReadChunk);
            const ssize_t n = ::read(fd_, out.data() + had, kReadChunk);
            const int error = errno;
            out.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n > 0)
                return KAV_OK;
            if (n < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
                return fail("read failed", error); // EIO on a pty whose master closed
            if ((p.revents & (POLLHUP | POLLERR)) != 0)
                return fail("the device hung up");
            // Readable with nothing to read: a device that vanished can
            // look like this. Its node goes with it.
            struct stat st {};
            if (n == 0 && ::stat(systemPath_.c_str(), &st) != 0)
                return fail("device removed");
        }
        if (Clock::now() >= deadline)
            return KAV_E_TIMEOUT;
        if (ready > 0) {
            // Guard against a spin on a device that keeps saying readable
            // and gives nothing.
            pollfd none{-1, 0, 0};
            ::poll(&none, 1, 1);
        }
    }
}

int SerialLink::setBaudRate(std::uint32_t baud) {
    const std::optional<speed_t> speed = speedOf(baud);
    if (!speed)
        return KAV_E_BAD_ARGUMENT;
    if (!isOpen()) {
        baud_ = baud; // taken at the next open
        return KAV_OK;
    }
    if (!configure(fd_, *speed))
        return fail("cannot set " + std::to_string(baud) + " baud", errno);
    baud_ = baud;
    trace::line(device_ + ": now at " + std::to_string(baud) + " baud");
    return KAV_OK;
}

void SerialLink::discardInput() {
    if (!isOpen())
        return;
    ::tcflush(fd_, TCIFLUSH);
    // What a bridge had in flight lands after the flush; take that too, but
    // only a bounded amount, as a device may never stop sending.
    std::uint8_t scrap[kReadChunk];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::read(fd_, scrap, sizeof scrap);
        if (n <= 0)
            break;
    }
}

} // namespace kav
