// Fuzz target: DeviceMap::fromVariable on any text as the value of
// KAVIDCARD_DEVICES, and the lookups over the map it gives.
//
// Ports probed: every number written in the input and its neighbours, the
// edges of the port ranges, and a few taken from the input's raw bytes.
// Which default device nodes "exist" is decided by the input too.
//
// Checks:
//  - candidatePorts is strictly ascending, and every port in it names a
//    device; a probed port that names a device but is not a candidate is a
//    default port whose node does not exist;
//  - no port below 1 names a device; a device read from the variable is
//    trimmed and holds no separator;
//  - empty entries change nothing (a separator before and after);
//  - with "defaults=off" appended, only the variable's ports remain, with
//    the same devices and the same errors, and they are the candidates the
//    map gives when no default node exists;
//  - more existing nodes never remove a candidate;
//  - a network device has a host and a port, and its text reads back as it.
#include "check.h"
#include "devicemap.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kav::Device;
using kav::DeviceMap;

std::vector<int> probePorts(std::string_view text, const std::uint8_t *data, std::size_t size) {
    std::vector<int> ports{INT_MIN, -1,  0,   1,   2,    99,   100,    101,
                           200,     201, 300, 301, 1000, 1001, INT_MAX};
    for (std::size_t i = 0; i < text.size() && ports.size() < 96;) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        long long value = 0;
        const auto [ptr, ec] = std::from_chars(text.data() + i, text.data() + end, value);
        (void)ptr;
        if (ec == std::errc() && value >= INT_MIN + 1 && value <= INT_MAX - 1) {
            const int port = static_cast<int>(value);
            ports.insert(ports.end(), {port - 1, port, port + 1});
        }
        i = end;
    }
    for (std::size_t i = 0; i + 4 <= size && i < 16; i += 4) {
        std::int32_t raw = 0;
        std::memcpy(&raw, data + i, sizeof raw);
        ports.push_back(raw);
    }
    return ports;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void checkDevice(const Device &d) {
    if (d.isNetwork()) {
        // A network device: a host and a port, and it reads back as itself.
        FUZZ_CHECK(d.path.empty() && d.cardFile.empty() && !d.host.empty() && d.tcpPort != 0);
        FUZZ_CHECK(d.host.find_first_of(",;[] \t") == std::string::npos);
        std::string why;
        const std::optional<Device> again = kav::parseNetworkDevice(d.text(), why);
        FUZZ_CHECK(again.has_value() && *again == d && why.empty());
        return;
    }
    const std::string &text = d.kind == Device::Kind::Virtual ? d.cardFile : d.path;
    FUZZ_CHECK(text.find_first_of(",;") == std::string::npos);
    if (d.kind == Device::Kind::Replay) {
        // A replayed capture: its file, which is never empty.
        FUZZ_CHECK(!d.path.empty() && d.cardFile.empty());
    } else if (d.kind == Device::Kind::Path) {
        FUZZ_CHECK(!d.path.empty() && d.cardFile.empty());
        FUZZ_CHECK(!isSpace(d.path.front()) && !isSpace(d.path.back()));
        FUZZ_CHECK(d.path != "none" && d.path != "virtual" && d.path.rfind("virtual:", 0) != 0);
        FUZZ_CHECK(d.path.rfind("rfc2217://", 0) != 0 && d.path.rfind("tcp://", 0) != 0);
    } else {
        FUZZ_CHECK(d.path.empty());
        FUZZ_CHECK(d.cardFile.empty() || !isSpace(d.cardFile.back()));
    }
}

// Returns the candidates, so each list is built once: the default rule's
// 300 node names make candidatePorts the slow part of a run.
template <typename Exists>
std::vector<int> checkCandidates(const DeviceMap &map, const std::vector<int> &probes,
                                 Exists exists) {
    std::vector<int> ports = map.candidatePorts(exists);
    FUZZ_CHECK(std::adjacent_find(ports.begin(), ports.end(),
                                  [](int a, int b) { return a >= b; }) == ports.end());
    for (int port : ports) {
        FUZZ_CHECK(port >= 1);
        FUZZ_CHECK(map.deviceFor(port).has_value());
    }
    for (int port : probes) {
        const auto device = map.deviceFor(port);
        if (port < 1)
            FUZZ_CHECK(!device.has_value());
        if (!device)
            continue;
        checkDevice(*device);
        if (!std::binary_search(ports.begin(), ports.end(), port)) {
            const auto node = kav::defaultDevicePath(port);
            FUZZ_CHECK(node.has_value() && device->kind == Device::Kind::Path &&
                       device->path == *node && !exists(*node));
        }
    }
    return ports;
}

bool sameMap(const DeviceMap &a, const std::vector<int> &aPorts, const DeviceMap &b,
             const std::vector<int> &probes) {
    const auto all = [](const std::string &) { return true; };
    if (a.errors() != b.errors() || aPorts != b.candidatePorts(all))
        return false;
    return std::all_of(probes.begin(), probes.end(),
                       [&](int port) { return a.deviceFor(port) == b.deviceFor(port); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::vector<int> probes = probePorts(text, data, size);
    const DeviceMap map = DeviceMap::fromVariable(text);

    const unsigned salt = size > 0 ? data[0] : 0;
    const auto some = [salt](const std::string &node) { return (node.size() + salt) % 3 != 0; };
    const auto none = [](const std::string &) { return false; };
    const auto all = [](const std::string &) { return true; };
    const std::vector<int> fewest = checkCandidates(map, probes, none);
    const std::vector<int> between = checkCandidates(map, probes, some);
    const std::vector<int> most = checkCandidates(map, probes, all);
    FUZZ_CHECK(std::includes(between.begin(), between.end(), fewest.begin(), fewest.end()));
    FUZZ_CHECK(std::includes(most.begin(), most.end(), between.begin(), between.end()));

    FUZZ_CHECK(sameMap(map, most, DeviceMap::fromVariable(";" + text + ","), probes));

    const DeviceMap variableOnly = DeviceMap::fromVariable(text + ",defaults=off");
    FUZZ_CHECK(variableOnly.errors() == map.errors());
    FUZZ_CHECK(variableOnly.candidatePorts(all) == fewest);
    FUZZ_CHECK(variableOnly.candidatePorts(none) == fewest);
    for (int port : probes) {
        const auto device = variableOnly.deviceFor(port);
        if (device)
            FUZZ_CHECK(device == map.deviceFor(port));
        FUZZ_CHECK(device.has_value() == std::binary_search(fewest.begin(), fewest.end(), port));
    }
    for (int port : fewest)
        FUZZ_CHECK(variableOnly.deviceFor(port) == map.deviceFor(port));
    return 0;
}
