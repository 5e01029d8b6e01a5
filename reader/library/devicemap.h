// Which device a port number names.
//
// Ports 1 to 1000 are serial, above 1000 USB. By default:
//
//   ports   1-100   /dev/ttyUSB0 - /dev/ttyUSB99  (USB-serial adapters: the
//                                                  usual way readers attach)
//   ports 101-200   /dev/ttyACM0 - /dev/ttyACM99
//   ports 201-300   /dev/ttyS0   - /dev/ttyS99
//
// On Windows port N is COMN (\\.\COMN), for every serial port number.
//
// The variable KAVIDCARD_DEVICES adds or overrides pairs, separated by
// commas or semicolons:
//
//   KAVIDCARD_DEVICES="1=virtual,5=/dev/pts/7,1001=virtual:/path/card.json,3=none"
//
// A device is a path, "virtual" (the in-process virtual reader with its
// sample card), "virtual:<card file>" (either may end in "?sam-id=ID", the
// SAM ID as kav prints it, so simulated readers are distinct units), a serial port on another
// machine behind a serial-port server, "replay:<capture>" (an in-process reader answering as the
// capture or text trace recorded), or "none" (the port names nothing). The entry "defaults=off"
// turns the default rule off, so that only the ports of the variable exist.
//
// A network port is "rfc2217://HOST:PORT" (Telnet with COM port control:
// the library sets the server's rate, so it works as a local port does) or
// "tcp://HOST:PORT" (raw bytes: the server's rate is fixed, taken to be
// the SAM's default 115200 unless "?baud=RATE" names the server's, and a
// rate change is refused). HOST is a name, an IPv4 address or an IPv6
// address in brackets:
//
//   KAVIDCARD_DEVICES="2=rfc2217://bench-3:3001,3=tcp://[fd00::7]:4001?baud=57600"
#pragma once

#include "library/device_names.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kav {

struct Device {
    enum class Kind { Path, Virtual, Rfc2217, Tcp, Replay };
    Kind kind = Kind::Path;
    std::string path;     // the device node, for Kind::Path; the capture, for Kind::Replay
    std::string cardFile; // for Kind::Virtual; empty: the sample card
    std::string host;     // for the network kinds, without brackets
    std::uint16_t tcpPort = 0;
    std::uint32_t serverBaud = 0; // Kind::Tcp: the rate ?baud= names; 0: the SAM's default
    std::string samId{};          // Kind::Virtual: the SAM ID ?sam-id= gives; empty: the default

    bool isNetwork() const { return kind == Kind::Rfc2217 || kind == Kind::Tcp; }
    // The device as the variable names it ("rfc2217://[::1]:3001").
    std::string text() const;

    bool operator==(const Device &) const = default;
};

class DeviceMap {
  public:
    // The default rule plus the pairs of a KAVIDCARD_DEVICES value. Entries
    // that cannot be read are skipped and described in errors().
    static DeviceMap fromVariable(std::string_view value);

    std::optional<Device> deviceFor(int port) const;
    // Every port the map names, in ascending order: the ports of the default
    // rule whose node exists (exists decides) and every port of the variable.
    template <typename Exists> std::vector<int> candidatePorts(Exists exists) const;

    const std::vector<std::string> &errors() const { return errors_; }
    // Entries taken as device paths that look like a misspelt keyword
    // ("1=virtal"): the port and what to say, in the order of the variable.
    struct Hint {
        int port = 0;
        std::string text;
    };
    const std::vector<Hint> &hints() const { return hints_; }

  private:
    std::map<int, std::optional<Device>> overrides_; // nullopt: "none"
    bool defaults_ = true;
    std::vector<std::string> errors_;
    std::vector<Hint> hints_;
};

// The keyword or scheme a device text seems to misspell ("virtal" ->
// "virtual", "tpc://h:1" -> "tcp://"), or empty when it looks like none.
std::string misspeltKeyword(std::string_view target);

// How the trace names a port: "port 5".
inline std::string portName(int port) {
    return "port " + std::to_string(port);
}

// A network device from "rfc2217://HOST:PORT" or "tcp://HOST:PORT";
// nullopt with `why` set when the text has one of those schemes but is not
// well formed, nullopt with `why` empty when it has neither scheme.
std::optional<Device> parseNetworkDevice(std::string_view text, std::string &why);

inline constexpr int kFirstDefaultPort = 1;
inline constexpr int kLastDefaultPort = 300;

template <typename Exists> std::vector<int> DeviceMap::candidatePorts(Exists exists) const {
    std::vector<int> ports;
    for (int port = kFirstDefaultPort; defaults_ && port <= kLastDefaultPort; ++port) {
        if (overrides_.count(port) != 0)
            continue;
        if (auto path = defaultDevicePath(port); path && exists(*path))
            ports.push_back(port);
    }
    for (const auto &[port, device] : overrides_)
        if (device.has_value())
            ports.push_back(port);
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace kav
