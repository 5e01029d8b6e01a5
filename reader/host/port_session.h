// A port held open for one sequence of calls: opened when made, closed when
// gone, however the sequence ended (a failed open is closed too, as every
// host of the library has always done).
#pragma once

namespace kav::host {

class PortSession {
  public:
    explicit PortSession(int port);
    ~PortSession();
    PortSession(const PortSession &) = delete;
    PortSession &operator=(const PortSession &) = delete;

    int port() const { return port_; }
    // What Kav_OpenPort returned.
    int openResult() const { return openResult_; }
    bool isOpen() const;

  private:
    int port_;
    int openResult_;
};

} // namespace kav::host
