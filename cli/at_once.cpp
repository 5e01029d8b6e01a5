#include "command_parts.h"

#include "exit_codes.h"
#include "host/sam_id.h"
#include "port_set.h"

#include <algorithm>

namespace kav::cli {

std::optional<std::string> samIdOf(int port) {
    PortSession open(port);
    KavSamId id{};
    if (open.openResult() != KAV_OK || Kav_GetSAMID(port, id.bytes, 0) != KAV_OK)
        return std::nullopt;
    return host::samIdText(id);
}

int printPortResults(const Output &out, const std::vector<PortResult> &results) {
    int worst = kExitOk;
    Json array = Json::array();
    for (const PortResult &r : results) {
        worst = std::max(worst, r.capture.exitCode);
        if (out.json()) {
            Json entry{{"port", r.port}, {"samId", r.samId ? Json(*r.samId) : Json(nullptr)}};
            for (const auto &[key, value] : r.capture.body.items())
                entry[key] = value;
            array.push_back(std::move(entry));
            continue;
        }
        std::string line = "port " + std::to_string(r.port) +
                           (r.samId ? " (SAM " + *r.samId + ")" : std::string()) + ": ";
        std::string text = r.capture.human;
        // One line a port: the read's field lines and a soak's failure
        // lines joined.
        for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;) {
            std::size_t end = at + 1;
            while (end < text.size() && text[end] == ' ')
                ++end;
            text.replace(at, end - at, "; ");
        }
        printOut(line + text);
    }
    if (out.json())
        printOut(jsonLine(array));
    return worst;
}

int runOnPortsAtOnce(const Output &out, const std::vector<int> &ports, const PortCommand &command) {
    const std::vector<PortResult> results = runOnPorts<PortResult>(ports, [&](int port) {
        PortResult r;
        r.port = port;
        r.samId = samIdOf(port);
        const Output captured(out, r.capture);
        command(captured, port);
        return r;
    });
    return printPortResults(out, results);
}

} // namespace kav::cli
