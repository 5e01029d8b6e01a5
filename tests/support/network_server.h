// Servers on 127.0.0.1 for the network link's tests: a scripted server
// (hostile or broken on request), an address whose connections never
// complete, and ser2net itself in front of a device.
#pragma once

#include "process.h"
#include "required_part.h"
#include "test_files.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace test {

// Listens on 127.0.0.1 on a free port and runs `serve` for each connection,
// one at a time, on a thread of its own. `serve` gets the connected socket
// (blocking) and a flag that turns true when the server is being torn down;
// it should return then. The socket is closed after `serve` returns.
class ScriptedServer {
  public:
    using Serve = std::function<void(int fd, const std::atomic<bool> &stopping)>;
    explicit ScriptedServer(Serve serve);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    std::uint16_t port() const { return port_; }
    // Connections accepted so far.
    int connections() const { return connections_.load(); }

  private:
    Serve serve_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Helpers for a ScriptedServer's script.
// Reads what has arrived, waiting up to `limit`; empty at the end or limit.
std::vector<std::uint8_t> receiveSome(int fd, std::chrono::milliseconds limit);
// Sends all of bytes; false when the peer is gone.
bool sendAll(int fd, const std::vector<std::uint8_t> &bytes);

// A relay to a PostgreSQL server on 127.0.0.1:target, one connection at a
// time, that forwards both ways; for the first `cuts` COMMITs a client sends
// (as a simple query or a parsed statement) of transactions with a
// statement containing `marker` (upper case; "" for any) it forwards the
// COMMIT, waits for the server's answer and drops both ends without
// relaying it: a link that broke between a COMMIT and its acknowledgement.
class CommitCutter {
  public:
    CommitCutter(std::uint16_t target, int cuts, std::string marker = {});
    std::uint16_t port() const { return server_.port(); }
    // COMMITs cut so far (each after the server answered it).
    int cut() const { return cut_.load(); }

  private:
    void relay(int client, const std::atomic<bool> &stopping);
    std::uint16_t target_;
    std::string marker_;
    std::atomic<int> cutsLeft_;
    std::atomic<int> cut_{0};
    ScriptedServer server_; // last: its thread uses the members above
};

// A port on 127.0.0.1 where connections are never completed: its listen
// queue is full and the kernel drops new connection requests, as a
// firewall that drops packets does.
class BlackHole {
  public:
    BlackHole();
    ~BlackHole();
    BlackHole(const BlackHole &) = delete;
    BlackHole &operator=(const BlackHole &) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int listener_ = -1;
    std::vector<int> fillers_;
    std::uint16_t port_ = 0;
};

// A free TCP port on 127.0.0.1 (free when asked).
std::uint16_t freePort();
// Whether something listens on 127.0.0.1:port.
bool listening(std::uint16_t port);

// Whether the ser2net program is installed, and where.
bool ser2netInstalled();
std::string ser2netPath();

// In a test that needs ser2net: skips without it, but fails where the
// variable CI is set (CI installs it; a missing one is a broken set-up).
#define KAV_REQUIRE_SER2NET()                                                                      \
    KAV_REQUIRE_PART(::test::ser2netInstalled(),                                                   \
                     "ser2net is not installed (scripts/setup.sh installs it)")

// ser2net serving `device` on 127.0.0.1 with a configuration of the test's
// own: RFC 2217 (telnet) or raw TCP, at 115200 8N1.
class Ser2net {
  public:
    enum class Mode { Rfc2217, Tcp };
    explicit Ser2net(const std::string &device, Mode mode = Mode::Rfc2217);
    ~Ser2net();
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    std::uint16_t port() const { return port_; }
    // "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT".
    std::string url() const;
    // The configuration it was started with (YAML), as a technician writes it.
    std::string configuration() const;
    bool running() const { return child_ != nullptr; }
    // Waits until it listens; false when it did not come up.
    bool start();
    void stop();

  private:
    std::string device_;
    Mode mode_;
    std::uint16_t port_;
    TempFolder folder_;
    std::unique_ptr<Child> child_;
};

} // namespace test
