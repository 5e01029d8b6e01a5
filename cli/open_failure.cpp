#include "open_failure.h"

#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "platform/system.h"

#include <string_view>
#include <vector>

namespace kav::cli {
namespace {

constexpr std::string_view kSeePorts = " (kav ports lists what is there)";

bool isNetwork(const std::string &device) {
    return device.rfind("rfc2217://", 0) == 0 || device.rfind("tcp://", 0) == 0;
}

// Who holds a local device: the system's word, then the ports of this
// program the library names ("...; port 1001 of this program has it open").
std::string holders(const std::string &device, const std::string &detail) {
    std::string text;
    for (const std::string &holder : platform::deviceHolders(device))
        text += (text.empty() ? "" : ", ") + holder;
    constexpr std::string_view kOwn = " of this program has it open";
    for (std::size_t at = 0; (at = detail.find("; port ", at)) != std::string::npos;) {
        at += 2;
        const std::size_t end = detail.find(kOwn, at);
        if (end == std::string::npos)
            break;
        text += (text.empty() ? "" : ", ") + detail.substr(at, end - at) + " of this program";
    }
    return text;
}

} // namespace

std::optional<std::string> mappedDevice(int port) {
    const GetMappedPortFn getMappedPort = getMappedPortExport();
    if (getMappedPort == nullptr)
        return std::nullopt;
    for (int index = 0;; ++index) {
        int mapped = 0;
        char device[4096] = {};
        if (getMappedPort(index, &mapped, device, static_cast<int>(sizeof device)) != KAV_OK)
            return std::nullopt;
        if (mapped == port)
            return cp936::toUtf8(device);
        if (mapped > port) // ascending
            return std::nullopt;
    }
}

std::string openFailureText(int port, int code, const std::string &detail) {
    const std::optional<std::string> device = mappedDevice(port);
    std::string text = "port " + std::to_string(port);
    if (!device) {
        if (code == KAV_E_NO_DEVICE)
            return text + ": no device is mapped to it: map one in KAVIDCARD_DEVICES" +
                   std::string(kSeePorts);
    } else {
        text += " (" + *device + ")";
    }
    const bool network = device && isNetwork(*device);
    const bool local = device && !network && device->rfind("virtual", 0) != 0;
    // The library's words where they say more than the code.
    const std::string because = detail.empty() ? std::string() : " (" + detail + ")";
    switch (code) {
    case KAV_E_NO_DEVICE:
        if (network) // connected, but no serial-port server of that kind
            return text + ": " + (detail.empty() ? Kav_ResultText(code) : detail);
        return text + ": no such device: is the reader plugged in?" + std::string(kSeePorts);
    case KAV_E_PERMISSION: {
        std::string reason;
        if (local) {
            nlohmann::ordered_json entry;
            std::string ignored;
            platform::describeLocalDevice(*device, entry, ignored);
            if (entry.contains("reason"))
                reason = entry["reason"].get<std::string>();
        }
        return text + ": permission denied: " +
               (reason.empty() ? "ask an administrator to give your user the device's group "
                                 "(on most systems dialout)"
                               : reason);
    }
    case KAV_E_BUSY: {
        const std::string by = local ? holders(*device, detail) : std::string();
        return text + ": busy: " +
               (by.empty() ? "another program has it open (the system does not say which)"
                           : "held by " + by) +
               ": close that program, or wait for it to finish";
    }
    case KAV_E_UNKNOWN_HOST:
        return text + ": unknown host: check the host name in KAVIDCARD_DEVICES" + because;
    case KAV_E_REFUSED:
        return text +
               ": the server refused the connection: is the serial-port server running, "
               "on that TCP port?" +
               because;
    case KAV_E_UNREACHABLE:
        return text +
               ": the server was not reached: check the network, the address and any "
               "firewall" +
               because;
    default:
        return text + ": " + (detail.empty() ? Kav_ResultText(code) : detail);
    }
}

} // namespace kav::cli
