// A bare pseudo-terminal whose master side the test drives: a device the
// virtual reader does not play (one that hangs up, one that never stops).
#pragma once

#include <string>

namespace test {

class Pty {
  public:
    Pty(); // the master non-blocking, so a full line never blocks the test
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return master_; }
    const std::string &slave() const { return slave_; }
    // Holding the slave open keeps the line up between the host's opens.
    void holdSlave();
    // Closes the master (and a held slave): the device is gone.
    void hangUp();

  private:
    int master_ = -1;
    int held_ = -1;
    std::string slave_;
};

} // namespace test
