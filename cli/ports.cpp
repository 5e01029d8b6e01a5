// kav ports: the port map, and for each device whether this user may open
// it, and if not, what to do about it; kav find: the first reader there.
#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "commands.h"
#include "exit_codes.h"
#include "host/port_session.h"
#include "library/device_names.h"
#include "optional_exports.h"
#include "platform/system.h"
#include "port_set.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace kav::cli {
namespace {

constexpr auto kSerialSettle =
    std::chrono::milliseconds{200}; // as the dialog, before the baud query

bool isNetworkDevice(const std::string &device) {
    return device.rfind("rfc2217://", 0) == 0 || device.rfind("tcp://", 0) == 0;
}

// Why a call on the port failed with `code`: the code's text, and the
// library's own words when they say more.
std::string reasonText(int port, int code) {
    const std::string text = resultText(code);
    const std::string detail = lastFailureText(port);
    if (detail.empty() || detail == text)
        return text;
    return text + ": " + detail;
}

// A network port: connected, and does a SAM answer? Fills entry and line.
void askNetworkPort(int port, Json &entry, std::string &line) {
    int opened = KAV_OK;
    int status = KAV_OK;
    std::string reason;
    {
        const host::PortSession open(port);
        opened = open.openResult();
        status = open.isOpen() ? Kav_GetSAMStatus(port, 0) : opened;
        if (!open.isOpen() || status < KAV_OK)
            reason = reasonText(port, status);
    }
    const std::string device = entry["device"].get<std::string>();
    line = std::to_string(port) + "  " + device + "  ";
    if (opened != KAV_OK) {
        entry["access"] = "no connection";
        entry["answers"] = false;
        entry["reason"] = reason;
        line += "no connection: " + reason;
    } else if (status < KAV_OK) {
        entry["access"] = "ok";
        entry["answers"] = false;
        entry["reason"] = reason;
        line += "connected, no reader answers: " + reason;
    } else {
        entry["access"] = "ok";
        entry["answers"] = true;
        line += "reader answers";
    }
}

Json describe(const Output &out, int port, const std::string &deviceGbk, std::string &human) {
    const std::string device = cp936::toUtf8(deviceGbk);
    Json entry{{"port", port}, {"device", device}};
    human = std::to_string(port) + "  " + device + "  ";
    if (deviceGbk.rfind("virtual", 0) == 0) {
        // In the library itself: always there, never refused; but its card
        // file may be missing or bad, which the library warns about.
        entry["exists"] = true;
        const Json warned = out.warningsJson(port);
        if (warned.empty()) {
            entry["access"] = "ok";
            human += "ok";
            return entry;
        }
        entry["access"] = "bad card file";
        entry["reason"] = warned[0]["text"];
        human += "bad card file: " + warned[0]["text"].get<std::string>();
        return entry;
    }
    if (isNetworkDevice(device)) {
        // Whether it answers is asked by runPorts, of every network port at once.
        entry["exists"] = true;
        entry["access"] = "network";
        human += "network";
        return entry;
    }
    platform::describeLocalDevice(deviceGbk, entry, human);
    // A port mapped by hand is the user's: shown even without its device.
    entry["byHand"] = defaultDevicePath(port).value_or("") != deviceGbk;
    for (const Json &warned : out.warningsJson(port)) {
        const std::string text = warned["text"].get<std::string>();
        entry["warning"] = text;
        human += ": " + text;
    }
    return entry;
}

// Each mapped port, as describe() sees it; false when the library gives no
// port map.
template <typename Visit> bool forEachMappedPort(const Output &out, Visit visit, int &failure) {
    const GetMappedPortFn getMappedPort = getMappedPortExport();
    if (getMappedPort == nullptr)
        return false;
    for (int index = 0;; ++index) {
        int port = 0;
        char device[4096] = {};
        const int r = getMappedPort(index, &port, device, static_cast<int>(sizeof device));
        if (r == KAV_E_NO_DEVICE)
            return true;
        if (r != KAV_OK) {
            failure = r;
            return true;
        }
        std::string human;
        visit(describe(out, port, device, human), human);
    }
}

// The rates a search asks at on a port with this device, as a text.
Json searchRates(int port, const std::string &device, std::string &text) {
    if (port > KAV_LAST_SERIAL_PORT) {
        text = " (USB: no rate)";
        return Json::array();
    }
    if (device.rfind("tcp://", 0) == 0) {
        const std::size_t at = device.find("?baud=");
        const std::string rate = at != std::string::npos ? device.substr(at + 6) : "115200";
        text = " at " + rate + " baud (its server's)";
        return Json::array({std::stoi(rate)});
    }
    text = " at 115200, 57600, 38400, 19200 and 9600 baud";
    return Json::array({115200, 57600, 38400, 19200, 9600});
}

// The ports a search goes through: those kav ports lists.
Json triedPorts(const Output &out, std::string &human) {
    Json tried = Json::array();
    int failure = KAV_OK;
    std::string pending; // ports whose rates the next port's text names
    std::string lastRates;
    forEachMappedPort(
        out,
        [&](Json entry, const std::string &) {
            if (!entry["exists"].get<bool>() && !entry.value("byHand", false))
                return;
            const int port = entry["port"].get<int>();
            const std::string device = entry["device"].get<std::string>();
            std::string rates;
            Json item{
                {"port", port}, {"device", device}, {"rates", searchRates(port, device, rates)}};
            if (!pending.empty() && rates != lastRates) {
                human += (human.empty() ? "" : "; ") + pending + lastRates;
                pending.clear();
            }
            pending += (pending.empty() ? "" : ", ") +
                       ("port " + std::to_string(port) + " (" + device + ")");
            lastRates = rates;
            tried.push_back(std::move(item));
        },
        failure);
    if (!pending.empty())
        human += (human.empty() ? "" : "; ") + pending + lastRates;
    return tried;
}

} // namespace

Json refusedPorts(const Output &out, std::string &human) {
    Json refused = Json::array();
    int failure = KAV_OK;
    forEachMappedPort(
        out,
        [&](Json entry, const std::string &line) {
            if (entry["access"] == "denied") {
                human += "\n  " + line;
                refused.push_back(std::move(entry));
            }
        },
        failure);
    return refused;
}

int runPorts(const Output &out) {
    const GetMappedPortFn getMappedPort = getMappedPortExport();
    if (getMappedPort == nullptr) {
        if (!out.json())
            std::fputs("kav: this library gives no port map (it has no Kav_GetMappedPort)\n",
                       stderr);
        else
            out.result(Json{{"error", Json{{"operation", "Kav_GetMappedPort"},
                                           {"code", nullptr},
                                           {"text", "the library gives no port map"}}}},
                       "", kExitOther);
        return kExitOther;
    }
    Json ports = Json::array();
    std::vector<std::string> humans;
    int missing = 0;
    int failure = KAV_OK;
    forEachMappedPort(
        out,
        [&](Json entry, const std::string &human) {
            ports.push_back(std::move(entry));
            humans.push_back(human);
        },
        failure);
    if (failure != KAV_OK)
        return out.failure("Kav_GetMappedPort", failure);
    // Network ports are asked all at once: a server that does not answer
    // costs its connection's time limit once, not once per port.
    std::vector<int> network;
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i]["access"] == "network")
            network.push_back(static_cast<int>(i));
    struct Asked {
        Json entry;
        std::string line;
    };
    const std::vector<Asked> asked = runOnPorts<Asked>(network, [&](int i) {
        Asked a{ports[static_cast<std::size_t>(i)], {}};
        askNetworkPort(a.entry["port"].get<int>(), a.entry, a.line);
        return a;
    });
    for (std::size_t k = 0; k < network.size(); ++k) {
        ports[static_cast<std::size_t>(network[k])] = asked[k].entry;
        humans[static_cast<std::size_t>(network[k])] = asked[k].line;
    }
    std::string lines;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        // The default rule maps hundreds of absent nodes: list only what is
        // there, and every port mapped by hand.
        if (ports[i]["exists"].get<bool>() || ports[i].value("byHand", false))
            lines += (lines.empty() ? "" : "\n") + humans[i];
        else
            ++missing;
    }
    if (missing > 0)
        lines += (lines.empty() ? "" : "\n") + std::to_string(missing) +
                 " more ports of the default rule have no device";
    if (lines.empty())
        lines = "no ports mapped";
    // The entries the library ignored are on standard error already, as for
    // every command; the port's own show on its line.
    Json warnings = Json::array();
    for (const LibraryWarning &w : out.warnings())
        warnings.push_back(Json{{"port", w.port}, {"text", w.text}});
    return out.success(Json{{"ports", ports}, {"warnings", warnings}}, lines);
}

int runFind(const Output &out) {
    const int port = Kav_FindReader();
    if (port <= KAV_NO_PORT) {
        // A reader may well be behind a port this user may not open.
        std::string refusedText;
        const Json refused = refusedPorts(out, refusedText);
        Json body{{"port", 0}};
        std::string human = "no reader found";

        if (!refused.empty()) {
            body["refused"] = refused;
            human += "; " + std::to_string(refused.size()) +
                     (refused.size() == 1 ? " port" : " ports") +
                     " could not be opened:" + refusedText;
        }
        std::string triedText;
        if (const Json tried = triedPorts(out, triedText); !tried.empty()) {
            body["tried"] = tried;
            human += "\ntried " + triedText;
        } else {
            human += "\nno port to try: map one in KAVIDCARD_DEVICES";
        }
        return out.result(body, human, kExitNoDevice);
    }
    if (port > KAV_LAST_SERIAL_PORT)
        return out.success(Json{{"port", port}, {"kind", "usb"}},
                           "reader on USB port " + std::to_string(port));
    std::this_thread::sleep_for(kSerialSettle);
    unsigned int baud = 0;
    if (const int r = Kav_GetCOMBaud(port, &baud); r != KAV_OK)
        return out.failure("Kav_GetCOMBaud", r, port);
    return out.success(Json{{"port", port}, {"kind", "serial"}, {"baud", baud}},
                       "reader on serial port " + std::to_string(port) + ", SAM at " +
                           std::to_string(baud) + " baud");
}

} // namespace kav::cli
