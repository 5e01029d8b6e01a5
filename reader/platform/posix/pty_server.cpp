#include "virtual/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

// Can the master see the client's rate?
//
// On Linux, yes: termios ioctls on a pty master act on the slave
// (tty_mode_ioctl redirects them to the linked tty), so tcgetattr() on the
// master returns the speed the client last set on the slave. The server
// reads it for every chunk it receives and hands it to the reader, which
// ignores bytes sent at a rate other than the SAM's: discovery at the wrong
// rate times out over the pty as it would on a wire. start() checks this
// once (seesClientRate()); where it does not hold, every chunk is taken to
// be at the SAM's rate and a mismatch cannot be modelled.
//
// What the pty cannot model: the bytes themselves are never garbled by a
// rate mismatch (they are dropped whole), there are no parity or framing
// errors, no modem lines, and it moves bytes instantly unless the reader
// is paced (then the server spaces them at the wire's speed).

namespace kav::virt {
namespace {

using std::chrono::microseconds;

struct SpeedRow {
    speed_t code;
    std::uint32_t baud;
};
constexpr SpeedRow kSpeeds[] = {
    {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

std::uint32_t baudOf(speed_t code) {
    for (const SpeedRow &row : kSpeeds) {
        if (row.code == code)
            return row.baud;
    }
    return 0;
}

speed_t codeOf(std::uint32_t baud) {
    for (const SpeedRow &row : kSpeeds) {
        if (row.baud == baud)
            return row.code;
    }
    return B115200;
}

std::string systemError(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Paced output goes out in chunks this size, spaced by their wire time.
constexpr std::size_t kPaceChunk = 16;

} // namespace

PtyServer::PtyServer(std::shared_ptr<VirtualReader> reader)
    : PtyServer(reader, [reader] { return reader->baudRate(); }) {}

PtyServer::PtyServer(std::shared_ptr<Peer> peer, std::function<std::uint32_t()> rate)
    : reader_(std::move(peer)), rate_(std::move(rate)) {}

PtyServer::~PtyServer() {
    stop();
}

void PtyServer::setLinkPath(std::string path) {
    linkPath_ = std::move(path);
}

void PtyServer::setReopenHandler(std::function<void(const std::string &)> handler) {
    onReopen_ = std::move(handler);
}

std::string PtyServer::slavePath() const {
    std::lock_guard lock(pathMutex_);
    return slavePath_;
}

bool PtyServer::openPty(std::string *error) {
    auto failWith = [&](const char *what) {
        if (error != nullptr)
            *error = systemError(what);
        closePty();
        return false;
    };
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return failWith("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return failWith("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        return failWith("ptsname");
    // Holding the slave open keeps the master from seeing a hang-up between
    // clients; its settings are the line's defaults: raw, the SAM's rate.
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0)
        return failWith("open slave");
    termios t{};
    if (::tcgetattr(slaveHold_, &t) != 0)
        return failWith("tcgetattr");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    const speed_t probe = B38400;
    ::cfsetispeed(&t, probe);
    ::cfsetospeed(&t, probe);
    if (::tcsetattr(slaveHold_, TCSANOW, &t) != 0)
        return failWith("tcsetattr");
    termios seen{};
    seesClientRate_ = ::tcgetattr(master_, &seen) == 0 && ::cfgetospeed(&seen) == probe;
    const speed_t initial = codeOf(rate_());
    ::cfsetispeed(&t, initial);
    ::cfsetospeed(&t, initial);
    ::tcsetattr(slaveHold_, TCSANOW, &t);

    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return failWith("fcntl");
    {
        std::lock_guard lock(pathMutex_);
        slavePath_ = name;
    }
    updateLink();
    return true;
}

void PtyServer::closePty() {
    if (slaveHold_ >= 0)
        ::close(slaveHold_);
    if (master_ >= 0)
        ::close(master_);
    slaveHold_ = master_ = -1;
}

void PtyServer::removeLink() {
    if (linkPath_.empty())
        return;
    namespace fs = std::filesystem;
    std::error_code ec;
    // Our own earlier link, never a file someone else put there.
    if (fs::is_symlink(fs::symlink_status(linkPath_, ec)))
        fs::remove(linkPath_, ec);
}

void PtyServer::updateLink() {
    if (linkPath_.empty())
        return;
    removeLink();
    std::error_code ec;
    std::filesystem::create_symlink(slavePath(), linkPath_, ec);
}

bool PtyServer::start(std::string *error) {
    if (running_)
        return true;
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        if (error != nullptr)
            *error = systemError("eventfd");
        return false;
    }
    if (!openPty(error)) {
        ::close(wake_);
        wake_ = -1;
        return false;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void PtyServer::stop() {
    if (!running_)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
    thread_.join();
    running_ = false;
    closePty();
    ::close(wake_);
    wake_ = -1;
    removeLink();
}

std::uint32_t PtyServer::clientRate() const {
    termios t{};
    if (!seesClientRate_ || ::tcgetattr(master_, &t) != 0)
        return rate_();
    return baudOf(::cfgetospeed(&t));
}

void PtyServer::schedule(std::vector<Reply> replies, Clock::time_point received) {
    const bool paced = reader_->pacesWire();
    Clock::time_point t = std::max(received, busyUntil_);
    for (Reply &reply : replies) {
        for (Reply::Segment &segment : reply.segments) {
            t += segment.delay;
            if (!paced) {
                if (!segment.bytes.empty())
                    queue_.push_back({t, std::move(segment.bytes), false});
                continue;
            }
            for (std::size_t i = 0; i < segment.bytes.size(); i += kPaceChunk) {
                const std::size_t n = std::min(kPaceChunk, segment.bytes.size() - i);
                t += proto::wireTimeUs(n, reply.baud);
                queue_.push_back({t,
                                  std::vector<std::uint8_t>(
                                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                      segment.bytes.begin() + static_cast<std::ptrdiff_t>(i + n)),
                                  false});
            }
        }
        if (reply.disconnect)
            queue_.push_back({t, {}, true});
    }
    busyUntil_ = t;
}

bool PtyServer::flushDue(Clock::time_point now) {
    while (!queue_.empty() && queue_.front().at <= now) {
        Output &out = queue_.front();
        if (out.disconnect)
            return false;
        const ssize_t n = ::write(master_, out.bytes.data(), out.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return true; // the client is not reading; try again later
            queue_.clear();  // nobody to deliver to
            return true;
        }
        out.bytes.erase(out.bytes.begin(), out.bytes.begin() + n);
        if (!out.bytes.empty())
            return true;
        queue_.pop_front();
    }
    return true;
}

void PtyServer::run() {
    std::vector<std::uint8_t> buffer(4096);
    Clock::time_point reopenAt{};
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (master_ < 0 && now >= reopenAt) {
            if (openPty(nullptr)) {
                if (onReopen_)
                    onReopen_(slavePath());
            } else {
                reopenAt = now + kReopenDelay;
            }
        }
        if (master_ >= 0 && !flushDue(now)) {
            // The reader went away: the client's next read or write fails.
            queue_.clear();
            busyUntil_ = {};
            inboundUntil_ = {};
            closePty();
            // As an unplugged device's node, the link is gone until the
            // reader is back; left behind, it would name whichever pty
            // takes the number next.
            removeLink();
            reopenAt = now + kReopenDelay;
        }

        // Paced bytes are due at exact times: wait to the microsecond, not
        // to the next millisecond.
        timespec timeout{};
        timespec *wait = nullptr;
        Clock::time_point next = Clock::time_point::max();
        if (master_ < 0)
            next = reopenAt;
        else if (!queue_.empty())
            next = queue_.front().at;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<microseconds>(next - Clock::now());
            const long long us = std::clamp<long long>(left.count(), 0, 1'000'000);
            timeout.tv_sec = static_cast<time_t>(us / 1'000'000);
            timeout.tv_nsec = static_cast<long>(us % 1'000'000) * 1000;
            wait = &timeout;
        }

        pollfd fds[2] = {{wake_, POLLIN, 0}, {master_, POLLIN, 0}};
        if (master_ >= 0 && !queue_.empty() && queue_.front().at <= Clock::now())
            fds[1].events |= POLLOUT; // blocked by a full buffer
        const int ready = ::ppoll(fds, master_ >= 0 ? 2 : 1, wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return; // stop() asked
        if (master_ >= 0 && (fds[1].revents & POLLIN)) {
            const ssize_t n = ::read(master_, buffer.data(), buffer.size());
            if (n > 0) {
                const std::uint32_t rate = clientRate();
                // The host's write lands here at once; on a wire the SAM
                // has the last byte only after the bytes' own time.
                Clock::time_point received = Clock::now();
                if (reader_->pacesWire() && rate != 0) {
                    received = std::max(received, inboundUntil_) +
                               proto::wireTimeUs(static_cast<std::size_t>(n), rate);
                    inboundUntil_ = received;
                }
                schedule(
                    reader_->receive(std::span(buffer.data(), static_cast<std::size_t>(n)), rate),
                    received);
            }
        }
    }
}

} // namespace kav::virt
