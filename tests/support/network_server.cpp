#include "network_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {
namespace {

int listenOn(std::uint16_t &port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        throw std::runtime_error("bind or listen on 127.0.0.1");
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

// A non-blocking connection to 127.0.0.1:port; whether it completed within limit.
int connectTo(std::uint16_t port, std::chrono::milliseconds limit, bool &completed) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    completed = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (!completed) {
        pollfd p{fd, POLLOUT, 0};
        completed = ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
    }
    return fd;
}

} // namespace

ScriptedServer::ScriptedServer(Serve serve) : serve_(std::move(serve)) {
    listener_ = listenOn(port_, 8);
    thread_ = std::thread([this] {
        while (!stopping_.load()) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++connections_;
            serve_(fd, stopping_);
            ::close(fd);
        }
    });
}

ScriptedServer::~ScriptedServer() {
    stopping_.store(true);
    thread_.join();
    ::close(listener_);
}

std::vector<std::uint8_t> receiveSome(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return {};
    std::vector<std::uint8_t> bytes(4096);
    const ssize_t n = ::recv(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

bool sendAll(int fd, const std::vector<std::uint8_t> &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

std::uint32_t bigEndian32(const std::vector<std::uint8_t> &b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
           std::uint32_t{b[at + 2]} << 8 | std::uint32_t{b[at + 3]};
}

// The size of the whole message at `at` in a PostgreSQL stream, or 0 when
// it has not all arrived. Before the startup message (and after a request
// for encryption, which the test server declines) messages have no type byte.
std::size_t messageSize(const std::vector<std::uint8_t> &b, std::size_t at, bool untyped) {
    const std::size_t head = untyped ? 0 : 1;
    if (b.size() < at + head + 4)
        return 0;
    const std::size_t size = head + bigEndian32(b, at + head);
    return b.size() >= at + size ? size : 0;
}

// The statement of a simple query ('Q') or a parse ('P'), else "".
std::string statementOf(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t size) {
    const char *body = reinterpret_cast<const char *>(b.data() + at + 5);
    const std::size_t length = size - 5;
    std::string text;
    if (b[at] == 'Q') {
        text.assign(body, strnlen(body, length));
    } else if (b[at] == 'P') {
        const std::size_t name = strnlen(body, length);
        if (name + 1 < length)
            text.assign(body + name + 1, strnlen(body + name + 1, length - name - 1));
    }
    while (!text.empty() && (text.back() == ';' || text.back() == ' ' || text.back() == '\n'))
        text.pop_back();
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool connectedTo(int fd, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

} // namespace

CommitCutter::CommitCutter(std::uint16_t target, int cuts, std::string marker)
    : target_(target), marker_(std::move(marker)), cutsLeft_(cuts),
      server_([this](int fd, const std::atomic<bool> &stopping) { relay(fd, stopping); }) {}

void CommitCutter::relay(int client, const std::atomic<bool> &stopping) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || !connectedTo(server, target_)) {
        if (server >= 0)
            ::close(server);
        return;
    }
    std::vector<std::uint8_t> fromClient, fromServer;
    bool untyped = true;
    bool marked = marker_.empty(); // the transaction under way had the marker
    bool cutting = false;          // a COMMIT went on: its answer is not relayed
    bool answered = false;         // the server's ReadyForQuery after it came
    std::size_t serverParsed = 0;  // while cutting: the server's messages read
    while (!stopping.load() && !answered) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0)
            continue;
        if (p[1].revents != 0) {
            const std::vector<std::uint8_t> bytes =
                receiveSome(server, std::chrono::milliseconds{0});
            if (bytes.empty())
                break;
            if (!cutting) {
                if (!sendAll(client, bytes))
                    break;
            } else {
                fromServer.insert(fromServer.end(), bytes.begin(), bytes.end());
                while (const std::size_t size = messageSize(fromServer, serverParsed, false)) {
                    answered = answered || fromServer[serverParsed] == 'Z';
                    serverParsed += size;
                }
            }
        }
        if (p[0].revents != 0) {
            const std::vector<std::uint8_t> bytes =
                receiveSome(client, std::chrono::milliseconds{0});
            if (bytes.empty())
                break;
            fromClient.insert(fromClient.end(), bytes.begin(), bytes.end());
            std::size_t whole = 0;
            while (const std::size_t size = messageSize(fromClient, whole, untyped)) {
                if (untyped) {
                    // SSL (80877103) and GSS (80877104) requests come before the startup.
                    const std::uint32_t code = bigEndian32(fromClient, whole + 4);
                    untyped = code == 80877103 || code == 80877104;
                } else if (const std::string statement = statementOf(fromClient, whole, size);
                           !cutting && statement == "COMMIT") {
                    int left = marked ? cutsLeft_.load() : 0;
                    while (left > 0 && !cutsLeft_.compare_exchange_weak(left, left - 1)) {
                    }
                    cutting = left > 0;
                    marked = marker_.empty();
                } else if (!marker_.empty() && statement.find(marker_) != std::string::npos) {
                    marked = true;
                }
                whole += size;
            }
            if (!sendAll(server, {fromClient.begin(), fromClient.begin() + whole}))
                break;
            fromClient.erase(fromClient.begin(), fromClient.begin() + whole);
        }
    }
    if (answered)
        ++cut_;
    ::close(server);
}

BlackHole::BlackHole() {
    // Backlog 0: the queue takes one connection nobody accepts; once it is
    // full the kernel drops further requests and their connects hang.
    listener_ = listenOn(port_, 0);
    for (int i = 0; i < 8; ++i) {
        bool completed = false;
        fillers_.push_back(connectTo(port_, std::chrono::milliseconds{100}, completed));
        if (!completed)
            return;
    }
    throw std::runtime_error("the listen queue never filled");
}

BlackHole::~BlackHole() {
    for (int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}

std::uint16_t freePort() {
    std::uint16_t port = 0;
    ::close(listenOn(port, 1));
    return port;
}

bool listening(std::uint16_t port) {
    // Asked of the kernel's table rather than by connecting, which the
    // server would take for a client.
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

std::string ser2netPath() {
    for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"})
        if (const std::string path = std::string(dir) + "ser2net";
            ::access(path.c_str(), X_OK) == 0)
            return path;
    return {};
}

bool ser2netInstalled() {
    return !ser2netPath().empty();
}

Ser2net::Ser2net(const std::string &device, Mode mode)
    : device_(device), mode_(mode), port_(freePort()) {
    start();
}

Ser2net::~Ser2net() {
    stop();
}

std::string Ser2net::url() const {
    return std::string(mode_ == Mode::Rfc2217 ? "rfc2217://" : "tcp://") +
           "127.0.0.1:" + std::to_string(port_);
}

std::string Ser2net::configuration() const {
    // chardelay off: ser2net otherwise holds bytes up to 20 ms waiting
    // for more, which the reader's answers do not need.
    return "connection: &fixture\n"
           "    accepter: " +
           std::string(mode_ == Mode::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") + "127.0.0.1," +
           std::to_string(port_) +
           "\n"
           "    enable: on\n"
           "    options:\n"
           "      kickolduser: true\n"
           "      chardelay: false\n"
           "    connector: serialdev," +
           device_ + ",115200n81,local\n";
}

bool Ser2net::start() {
    if (child_)
        return true;
    const std::string config = (folder_.path() / "ser2net.yaml").string();
    std::ofstream(config) << configuration();
    // -n: in the foreground; -d: log to standard error, not syslog; -P: no
    // pid file of the system's.
    child_ = std::make_unique<Child>(
        ser2netPath().empty() ? "/nonexistent/ser2net" : ser2netPath(),
        std::vector<std::string>{"-n", "-d", "-c", config, "-P",
                                 (folder_.path() / "ser2net.pid").string()});
    if (!child_->started() || !waitUntil([&] { return listening(port_); })) {
        child_.reset();
        return false;
    }
    return true;
}

void Ser2net::stop() {
    if (!child_)
        return;
    child_->signal(SIGTERM);
    child_->wait();
    child_.reset();
}

} // namespace test
