// kav ports: the port map, and for each device whether this user may open
// it, and if not, what to do about it.
#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "commands.h"
#include "exit_codes.h"
#include "optional_exports.h"
#include "port_set.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kav::cli {
namespace {

struct GroupCheck {
    std::string name;
    bool inGroup = false;      // this process has the group now
    bool listedMember = false; // the group lists the user: a new login brings it
};

GroupCheck checkGroup(gid_t gid) {
    GroupCheck check;
    const group *g = getgrgid(gid);
    check.name = g != nullptr ? g->gr_name : std::to_string(gid);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    check.inGroup =
        getegid() == gid || std::find(groups.begin(), groups.end(), gid) != groups.end();
    if (g != nullptr) {
        const passwd *user = getpwuid(geteuid());
        for (char **member = g->gr_mem; user != nullptr && *member != nullptr; ++member)
            check.listedMember = check.listedMember || std::strcmp(*member, user->pw_name) == 0;
    }
    return check;
}

bool isNetworkDevice(const std::string &device) {
    return device.rfind("rfc2217://", 0) == 0 || device.rfind("tcp://", 0) == 0;
}

// A network port: connected, and does a SAM answer? Fills entry and line.
void askNetworkPort(int port, Json &entry, std::string &line) {
    const int opened = Kav_OpenPort(port);
    const int status = opened == KAV_OK ? Kav_GetSAMStatus(port, 0) : opened;
    Kav_ClosePort(port);
    const std::string device = entry["device"].get<std::string>();
    line = std::to_string(port) + "  " + device + "  ";
    if (opened != KAV_OK) {
        entry["access"] = "no connection";
        entry["answers"] = false;
        entry["reason"] = resultText(opened);
        line += "no connection: " + resultText(opened);
    } else if (status < KAV_OK) {
        entry["access"] = "ok";
        entry["answers"] = false;
        entry["reason"] = resultText(status);
        line += "connected, no reader answers: " + resultText(status);
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
    struct stat info {};
    if (stat(deviceGbk.c_str(), &info) != 0) {
        entry["exists"] = false;
        entry["access"] = "missing";
        human += "missing";
        return entry;
    }
    entry["exists"] = true;
    if (access(deviceGbk.c_str(), R_OK | W_OK) == 0) {
        entry["access"] = "ok";
        human += "ok";
        return entry;
    }
    const int error = errno;
    entry["access"] = "denied";
    if (error != EACCES) {
        entry["reason"] = std::strerror(error);
        human += std::string("denied: ") + std::strerror(error);
        return entry;
    }
    const GroupCheck group = checkGroup(info.st_gid);
    entry["group"] = group.name;
    entry["inGroup"] = group.inGroup;
    const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    std::string reason;
    // Joining the group helps only when the group may read and write, and
    // nobody should be told to join root's.
    const passwd *owner = getpwuid(info.st_uid);
    const std::string ownerName = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
    if (!groupMayUse)
        reason = std::string("mode ") + mode + " lets only its owner " + ownerName +
                 " open it: ask an administrator for a udev rule giving it to a group";
    else if (info.st_gid == 0)
        reason = "only the owner and group root may open it: ask an administrator for a udev rule";
    else if (group.inGroup)
        reason = "the group " + group.name + " may use it, yet it was refused";
    else if (group.listedMember)
        reason = "you joined group " + group.name + " after logging in: log in again";
    else
        reason = "the device belongs to group " + group.name +
                 ", you are not in it: sudo usermod -aG " + group.name +
                 " $USER, then log in again";
    entry["reason"] = reason;
    human += "denied: " + reason;
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
        // The default rule maps hundreds of absent nodes: list only what is there.
        if (ports[i]["exists"].get<bool>())
            lines += (lines.empty() ? "" : "\n") + humans[i];
        else
            ++missing;
    }
    if (missing > 0)
        lines += (lines.empty() ? "" : "\n") + std::to_string(missing) +
                 " more mapped ports have no device";
    if (lines.empty())
        lines = "no ports mapped";
    Json warnings = Json::array();
    for (const LibraryWarning &w : out.warnings()) {
        warnings.push_back(Json{{"port", w.port}, {"text", w.text}});
        if (w.port == KAV_NO_PORT)
            lines += "\nwarning: " + w.text;
    }
    return out.success(Json{{"ports", ports}, {"warnings", warnings}}, lines);
}

} // namespace kav::cli
