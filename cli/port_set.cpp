#include "port_set.h"

#include "KavIDCardAPI.h"
#include "host/port_session.h"
#include "optional_exports.h"
#include "platform/system.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace kav::cli {
namespace {

// Each port gets a thread: a list is a bench's, not every number there is.
constexpr long kMaxPorts = 1024;

std::optional<int> number(std::string_view text, std::string &error) {
    const std::string shown(text);
    if (text.empty()) {
        error = "a port list has an empty part";
        return std::nullopt;
    }
    if (text.front() == '-') {
        error = shown + " is not a port number (1 or more)";
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1) {
        error = shown + " is not a port number (1 or more)";
        return std::nullopt;
    }
    return value;
}

// A device the library may reach: a node that exists, or no node at all
// (virtual and network devices).
bool mayBeThere(const std::string &device) {
    return platform::mayBeThere(device);
}

} // namespace

std::optional<std::vector<int>> parsePortList(std::string_view text, std::string &error) {
    std::vector<int> ports;
    std::set<int> seen;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view part = text.substr(0, comma);
        // A range's dash comes after its first number: "-3" is a negative number.
        const std::size_t dash = part.find('-', 1);
        std::optional<int> first, last;
        if (dash == std::string_view::npos) {
            if (!(first = number(part, error)))
                return std::nullopt;
            last = first;
        } else {
            if (!(first = number(part.substr(0, dash), error)) ||
                !(last = number(part.substr(dash + 1), error)))
                return std::nullopt;
            if (*last < *first) {
                error = std::string(part) + " is a reversed range (write " + std::to_string(*last) +
                        "-" + std::to_string(*first) + ")";
                return std::nullopt;
            }
        }
        if (static_cast<long>(*last) - *first >= kMaxPorts ||
            ports.size() + static_cast<std::size_t>(*last - *first) >= kMaxPorts) {
            error = "more than " + std::to_string(kMaxPorts) + " ports in one list";
            return std::nullopt;
        }
        for (long port = *first; port <= *last; ++port) {
            if (!seen.insert(static_cast<int>(port)).second) {
                error = "port " + std::to_string(port) + " is named twice";
                return std::nullopt;
            }
            ports.push_back(static_cast<int>(port));
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::vector<int> portsWithReaders() {
    std::vector<int> mapped;
    if (const GetMappedPortFn getMappedPort = getMappedPortExport()) {
        for (int index = 0;; ++index) {
            int port = 0;
            char device[4096] = {};
            if (getMappedPort(index, &port, device, static_cast<int>(sizeof device)) != KAV_OK)
                break;
            if (mayBeThere(device))
                mapped.push_back(port);
        }
    }
    const std::vector<bool> answered = runOnPorts<bool>(mapped, [](int port) {
        const host::PortSession open(port);
        // Any answer of the SAM, a failing status too, means a reader.
        return open.isOpen() && Kav_GetSAMStatus(port, 0) >= KAV_OK;
    });
    std::vector<int> found;
    for (std::size_t i = 0; i < mapped.size(); ++i)
        if (answered[i])
            found.push_back(mapped[i]);
    return found;
}

} // namespace kav::cli
