#include "devicemap.h"

#include "protocol/protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace kav {
namespace {

std::string_view trim(std::string_view s) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

std::optional<int> parsePort(std::string_view text) {
    int port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size() || port <= 0)
        return std::nullopt;
    return port;
}

bool hostCharacterOk(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// Edits from a to b, a swap of two neighbours counting as one (the usual
// slips of typing), letters compared without case.
std::size_t distance(std::string_view a, std::string_view b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string misspeltKeyword(std::string_view target) {
    // A scheme: whatever stands before "://".
    if (const std::size_t scheme = target.find("://"); scheme != std::string_view::npos) {
        const std::string_view word = target.substr(0, scheme);
        for (std::string_view known : {"rfc2217", "tcp"})
            if (distance(word, known) <= (known.size() > 3 ? 2u : 1u))
                return std::string(known) + "://";
        return {};
    }
    // "virtual:<card file>": the word before a colon that comes before any
    // slash.
    const std::size_t colon = target.find(':');
    if (colon != std::string_view::npos && colon < target.find('/'))
        return distance(target.substr(0, colon), "virtual") <= 2 ? "virtual:" : std::string();
    // A path names a node wherever it is; a bare word is a keyword or a
    // file in the current folder, which no serial device is.
    if (target.find('/') != std::string_view::npos)
        return {};
    const std::string_view word = target;
    if (distance(word, "virtual") <= 2)
        return "virtual";
    if (word.size() >= 3 && distance(word, "none") <= 1)
        return "none";
    return {};
}

std::string Device::text() const {
    switch (kind) {
    case Kind::Path:
        return path;
    case Kind::Virtual:
        return (cardFile.empty() ? "virtual" : "virtual:" + cardFile) +
               (samId.empty() ? "" : "?sam-id=" + samId);
    case Kind::Replay:
        return "replay:" + path;
    case Kind::Rfc2217:
    case Kind::Tcp: {
        const bool v6 = host.find(':') != std::string::npos;
        return std::string(kind == Kind::Rfc2217 ? "rfc2217://" : "tcp://") +
               (v6 ? "[" + host + "]" : host) + ":" + std::to_string(tcpPort) +
               (serverBaud != 0 ? "?baud=" + std::to_string(serverBaud) : "");
    }
    }
    return path;
}

std::optional<Device> parseNetworkDevice(std::string_view text, std::string &why) {
    why.clear();
    Device device;
    constexpr std::string_view kRfc2217 = "rfc2217://", kTcp = "tcp://";
    if (text.substr(0, kRfc2217.size()) == kRfc2217) {
        device.kind = Device::Kind::Rfc2217;
        text.remove_prefix(kRfc2217.size());
    } else if (text.substr(0, kTcp.size()) == kTcp) {
        device.kind = Device::Kind::Tcp;
        text.remove_prefix(kTcp.size());
    } else {
        return std::nullopt;
    }
    std::string_view query;
    if (const std::size_t mark = text.find('?'); mark != std::string_view::npos) {
        query = text.substr(mark + 1);
        text = text.substr(0, mark);
        if (device.kind != Device::Kind::Tcp) {
            why = "only a tcp:// port names its server's rate; an rfc2217:// server follows the "
                  "SAM's";
            return std::nullopt;
        }
        constexpr std::string_view kBaud = "baud=";
        unsigned rate = 0;
        const std::string_view value = query.substr(0, kBaud.size()) == kBaud
                                           ? query.substr(kBaud.size())
                                           : std::string_view{};
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), rate);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() ||
            !proto::baudCode(rate)) {
            why = "expected ?baud= with one of the SAM's rates: 115200, 57600, 38400, 19200, 9600";
            return std::nullopt;
        }
        device.serverBaud = rate;
    }
    std::string_view host, port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            why = "an IPv6 address goes in brackets, followed by :PORT";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        const bool v6ok = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.' ||
                   c == '%' || std::isalnum(static_cast<unsigned char>(c)) != 0;
        });
        if (!v6ok || host.find(':') == std::string_view::npos) {
            why = "not an IPv6 address in the brackets";
            return std::nullopt;
        }
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) {
            why = "expected HOST:PORT";
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.empty() || !std::all_of(host.begin(), host.end(), hostCharacterOk)) {
            why = "not a host name or IPv4 address (an IPv6 address goes in brackets)";
            return std::nullopt;
        }
    }
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || number == 0 ||
        number > 65535) {
        why = "the TCP port must be a number from 1 to 65535";
        return std::nullopt;
    }
    device.host = std::string(host);
    device.tcpPort = static_cast<std::uint16_t>(number);
    return device;
}

DeviceMap DeviceMap::fromVariable(std::string_view value) {
    DeviceMap map;
    while (!value.empty()) {
        const std::size_t cut = value.find_first_of(",;");
        const std::string_view entry = trim(value.substr(0, cut));
        value = cut == std::string_view::npos ? std::string_view{} : value.substr(cut + 1);
        if (entry.empty())
            continue;
        if (entry == "defaults=off") {
            map.defaults_ = false;
            continue;
        }
        const std::size_t eq = entry.find('=');
        const std::optional<int> port =
            eq == std::string_view::npos ? std::nullopt : parsePort(trim(entry.substr(0, eq)));
        const std::string_view target =
            eq == std::string_view::npos ? std::string_view{} : trim(entry.substr(eq + 1));
        if (!port || target.empty()) {
            map.errors_.push_back("ignored \"" + std::string(entry) +
                                  "\": expected <port>=<device>, port a positive number");
            continue;
        }
        constexpr std::string_view kVirtual = "virtual";
        std::string why;
        std::optional<Device> network = parseNetworkDevice(target, why);
        if (!why.empty()) {
            map.errors_.push_back("ignored \"" + std::string(entry) + "\": " + why);
            continue;
        }
        // A virtual reader's own SAM ID ends its entry: a card file's name
        // ending so would be a strange one.
        std::string_view device = target;
        std::string samId;
        constexpr std::string_view kSamId = "?sam-id=";
        if (const std::size_t at = target.rfind(kSamId);
            !network && at != std::string_view::npos &&
            (target.substr(0, at) == kVirtual || target.starts_with("virtual:"))) {
            samId = std::string(target.substr(at + kSamId.size()));
            device = target.substr(0, at);
            if (!proto::samIdFromText(samId)) {
                map.errors_.push_back(
                    "ignored \"" + std::string(entry) +
                    "\": not a SAM ID such as 05-01-20069995-12345-1234567890 after ?sam-id=");
                continue;
            }
        }
        if (network) {
            map.overrides_[*port] = std::move(*network);
        } else if (target == "none") {
            map.overrides_[*port] = std::nullopt;
        } else if (device == kVirtual) {
            map.overrides_[*port] = Device{Device::Kind::Virtual, {}, {}, {}, 0, 0, samId};
        } else if (target.starts_with("replay:")) {
            if (target.size() == 7) {
                map.errors_.push_back("ignored \"" + std::string(entry) +
                                      "\": replay: names no capture");
                continue;
            }
            map.overrides_[*port] =
                Device{Device::Kind::Replay, std::string(target.substr(7)), {}, {}, 0};
        } else if (device.substr(0, kVirtual.size() + 1) == "virtual:") {
            map.overrides_[*port] = Device{Device::Kind::Virtual,
                                           {},
                                           std::string(device.substr(kVirtual.size() + 1)),
                                           {},
                                           0,
                                           0,
                                           samId};
        } else {
            map.overrides_[*port] = Device{Device::Kind::Path, std::string(target), {}, {}, 0};
            if (const std::string keyword = misspeltKeyword(target); !keyword.empty())
                map.hints_.push_back(
                    {*port, "\"" + std::string(entry) + "\" is taken as the device path \"" +
                                std::string(target) + "\": did you mean `" + keyword + "`?"});
        }
    }
    return map;
}

std::optional<Device> DeviceMap::deviceFor(int port) const {
    if (auto it = overrides_.find(port); it != overrides_.end())
        return it->second;
    if (auto path = defaultDevicePath(port); path && defaults_)
        return Device{Device::Kind::Path, *path, {}, {}, 0};
    return std::nullopt;
}

} // namespace kav
