// Serves a VirtualReader on a pseudo-terminal, so the serial link can be
// tested on a real tty. The server owns the master side; clients open the
// slave path as they would a serial device.
#pragma once

#include "virtual/virtual_reader.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kav::virt {

class PtyServer {
  public:
    explicit PtyServer(std::shared_ptr<VirtualReader> reader);
    // Any peer (a replayed recording); `rate` is the rate its line starts at.
    PtyServer(std::shared_ptr<Peer> peer, std::function<std::uint32_t()> rate);
    ~PtyServer();
    PtyServer(const PtyServer &) = delete;
    PtyServer &operator=(const PtyServer &) = delete;

    // Keep a symlink at `path` to the current slave (removed while a
    // disconnect fault keeps the pty closed, replaced when it is reopened,
    // removed on stop). Call before start().
    void setLinkPath(std::string path);
    // Called on the server's thread with the new slave path whenever a
    // disconnect fault made it reopen the pty. It must not block for long:
    // stop() waits for it.
    void setReopenHandler(std::function<void(const std::string &)> handler);

    // Opens the pty and starts serving on a thread of its own.
    bool start(std::string *error = nullptr);
    // Stops serving and closes the pty: a client sees its link fail.
    void stop();

    std::string slavePath() const;

    // Whether the master sees the rate the client set on the slave, which
    // is what lets the server model a rate mismatch (see pty_server.cpp).
    bool seesClientRate() const { return seesClientRate_; }

    // After a disconnect fault the pty comes back (under a new path) after this.
    static constexpr std::chrono::milliseconds kReopenDelay{200};

  private:
    using Clock = std::chrono::steady_clock;
    struct Output {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
        bool disconnect = false;
    };

    bool openPty(std::string *error);
    void closePty();
    void run();
    void schedule(std::vector<Reply> replies, Clock::time_point received);
    // Writes what is due; false when a disconnect came due.
    bool flushDue(Clock::time_point now);
    std::uint32_t clientRate() const;
    void removeLink();
    void updateLink();

    std::shared_ptr<Peer> reader_;
    std::function<std::uint32_t()> rate_;
    std::string linkPath_;
    std::function<void(const std::string &)> onReopen_;

    int master_ = -1;
    int slaveHold_ = -1; // keeps the line up while no client has it open
    int wake_ = -1;      // eventfd: stop() wakes the thread
    bool seesClientRate_ = false;
    mutable std::mutex pathMutex_;
    std::string slavePath_;

    std::deque<Output> queue_;
    Clock::time_point busyUntil_{};
    Clock::time_point inboundUntil_{}; // the host's bytes are all at the SAM
    std::thread thread_;
    bool running_ = false;
};

} // namespace kav::virt
