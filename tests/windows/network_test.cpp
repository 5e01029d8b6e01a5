// Network ports on Windows: the library reads a card through a serial-port
// server of the test's own on 127.0.0.1 (a Winsock thread in front of the
// virtual reader), by RFC 2217 and by raw TCP, and a port where nobody
// listens reads as no device.
#include "KavIDCardAPI.h"
#include "link/network_link.h"
#include "link/telnet.h"
#include "virtual/virtual_reader.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace telnet = kav::telnet;

SOCKET listenOnLoopback(std::uint16_t &port) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (s == INVALID_SOCKET ||
        ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &size) != 0 || ::listen(s, 4) != 0)
        return INVALID_SOCKET;
    port = ntohs(address.sin_port);
    return s;
}

// Whether `s` has something to read within `ms`.
bool readable(SOCKET s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{0, ms * 1000};
    return ::select(0, &set, nullptr, nullptr, &wait) > 0;
}

bool sendAll(SOCKET s, const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = ::send(s, reinterpret_cast<const char *>(bytes.data() + done),
                             static_cast<int>(bytes.size() - done), 0);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A serial-port server on 127.0.0.1 with the virtual reader behind it: for
// rfc2217 it agrees to COM port control and acknowledges every rate.
class LoopbackServer {
  public:
    explicit LoopbackServer(bool rfc2217) : rfc2217_(rfc2217) {
        listener_ = listenOnLoopback(port_);
        if (listener_ != INVALID_SOCKET)
            thread_ = std::thread([this] { run(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        ::closesocket(listener_);
    }
    std::uint16_t port() const { return port_; }
    bool listening() const { return listener_ != INVALID_SOCKET; }
    std::shared_ptr<kav::virt::VirtualReader> reader = std::make_shared<kav::virt::VirtualReader>();

  private:
    void run() {
        while (!stopping_) {
            if (!readable(listener_, 20))
                continue;
            const SOCKET s = ::accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                continue;
            serve(s);
            ::closesocket(s);
        }
    }

    void serve(SOCKET s) {
        telnet::Parser parser;
        std::uint32_t baud = kav::proto::kDefaultBaud;
        while (!stopping_) {
            if (!readable(s, 20))
                continue;
            char chunk[4096];
            const int n = ::recv(s, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            const Bytes got(chunk, chunk + n);
            Bytes data = got;
            if (rfc2217_) {
                data.clear();
                parser.feed(got, data);
                for (const telnet::Event &e : parser.takeEvents()) {
                    if (e.kind == telnet::Event::Kind::Will && e.option == telnet::kComPort)
                        sendAll(s, telnet::negotiation(telnet::kDo, telnet::kComPort));
                    if (e.kind == telnet::Event::Kind::Sub && e.payload.size() == 5 &&
                        e.payload[0] == telnet::kSetBaudRate) {
                        const Bytes value(e.payload.begin() + 1, e.payload.end());
                        baud = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
                               std::uint32_t{value[2]} << 8 | value[3];
                        sendAll(s, telnet::comPortCommand(
                                       telnet::kSetBaudRate + telnet::kServerOffset, value));
                    }
                }
            }
            if (data.empty())
                continue;
            for (const kav::PeerReply &reply : reader->receive(data, baud))
                for (const auto &segment : reply.segments)
                    sendAll(s, rfc2217_ ? telnet::escape(segment.bytes) : segment.bytes);
        }
    }

    bool rfc2217_;
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

TEST(NetworkPortsWin32, ACardIsReadThroughEachKindOfNetworkPort) {
    LoopbackServer rfc2217(true), tcp(false);
    ASSERT_TRUE(rfc2217.listening() && tcp.listening());
    const std::string devices =
        "defaults=off,2=rfc2217://127.0.0.1:" + std::to_string(rfc2217.port()) +
        ",3=tcp://127.0.0.1:" + std::to_string(tcp.port());
    ASSERT_EQ(::_putenv_s("KAVIDCARD_DEVICES", devices.c_str()), 0);

    char warning[KAV_WARNING_TEXT_SIZE] = {};
    int warned = 0;
    EXPECT_NE(Kav_GetWarning(0, &warned, warning, sizeof warning), KAV_OK)
        << "port " << warned << ": " << warning;
    for (LoopbackServer *server : {&rfc2217, &tcp}) {
        const int port = server == &rfc2217 ? 2 : 3;
        SCOPED_TRACE(port);
        ASSERT_EQ(Kav_OpenPort(port), KAV_OK);
        EXPECT_EQ(Kav_GetSAMStatus(port, 0), KAV_OK);
        unsigned char samId[KAV_SAM_ID_SIZE] = {};
        ASSERT_EQ(Kav_GetSAMID(port, samId, 0), KAV_OK);
        const auto expected = server->reader->samId();
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), samId));
        ASSERT_EQ(Kav_StartFindIDCard(port, nullptr, 0), KAV_OK);
        ASSERT_EQ(Kav_SelectIDCard(port, nullptr, 0), KAV_OK);
        IDCardRecord record{};
        EXPECT_EQ(Kav_ReadMsg(port, 0, &record), KAV_OK);
        Kav_ClosePort(port);
    }
}

TEST(NetworkPortsWin32, APortNobodyListensOnIsRefused) {
    std::uint16_t port = 0;
    const SOCKET s = listenOnLoopback(port);
    ASSERT_NE(s, INVALID_SOCKET);
    ::closesocket(s); // free again: connections are refused
    for (const auto mode : {kav::NetworkLink::Mode::Rfc2217, kav::NetworkLink::Mode::Tcp}) {
        kav::NetworkLink link(mode, "127.0.0.1", port);
        SCOPED_TRACE(link.name());
        EXPECT_EQ(link.open(115200, kav::Link::Clock::now() + std::chrono::seconds{5}),
                  KAV_E_REFUSED)
            << link.lastError();
        EXPECT_NE(link.lastError().find("cannot connect"), std::string::npos) << link.lastError();
        EXPECT_FALSE(link.isOpen());
    }
}

} // namespace
