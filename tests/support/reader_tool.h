// kav-virtual-reader serving a pty, reached through a symlink of its own:
// a restart serves the same path again, as a replugged adapter does.
#pragma once

#include "process.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ToolReader {
  public:
    explicit ToolReader(std::vector<std::string> options = {});
    ~ToolReader();
    ToolReader(const ToolReader &) = delete;
    ToolReader &operator=(const ToolReader &) = delete;

    // The symlink to the pty: map ports to this.
    const std::string &path() const { return link_; }
    // The pty the tool serves now.
    const std::string &pty() const { return pty_; }
    Vars devices(int port = 1) const;
    bool running() const { return child_ != nullptr; }
    // What the tool said on standard error so far.
    std::string err() { return child_ ? child_->err() : std::string(); }
    // Waits for the tool to end by itself: its exit code (see Child::wait).
    int wait(std::chrono::milliseconds limit);
    // The reader goes away; SIGKILL: pulled out without a goodbye.
    void stop(int sig = SIGTERM);
    // Back again, with the same options, at the same path.
    void start();

  private:
    std::vector<std::string> options_;
    std::string link_;
    std::string pty_;
    std::unique_ptr<Child> child_;
};

} // namespace test
