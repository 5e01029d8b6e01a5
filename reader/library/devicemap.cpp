#include "devicemap.h"

#include <charconv>

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

} // namespace

std::optional<std::string> defaultDevicePath(int port) {
    struct Range {
        int first;
        const char *prefix;
    };
    static constexpr Range kRanges[] = {{1, "/dev/ttyUSB"}, {101, "/dev/ttyACM"}, {201, "/dev/ttyS"}};
    for (const Range &r : kRanges)
        if (port >= r.first && port < r.first + 100)
            return std::string(r.prefix) + std::to_string(port - r.first);
    return std::nullopt;
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
        if (target == "none") {
            map.overrides_[*port] = std::nullopt;
        } else if (target == kVirtual) {
            map.overrides_[*port] = Device{Device::Kind::Virtual, {}, {}};
        } else if (target.substr(0, kVirtual.size() + 1) == "virtual:") {
            map.overrides_[*port] =
                Device{Device::Kind::Virtual, {}, std::string(target.substr(kVirtual.size() + 1))};
        } else {
            map.overrides_[*port] = Device{Device::Kind::Path, std::string(target), {}};
        }
    }
    return map;
}

std::optional<Device> DeviceMap::deviceFor(int port) const {
    if (auto it = overrides_.find(port); it != overrides_.end())
        return it->second;
    if (auto path = defaultDevicePath(port); path && defaults_)
        return Device{Device::Kind::Path, *path, {}};
    return std::nullopt;
}

} // namespace kav
